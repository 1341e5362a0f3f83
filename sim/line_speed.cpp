// Apart from line_settings.cpp: the kernel's <asm/termbits.h>, which has
// termios2, declares a struct termios that clashes with glibc's.
#include "sim/line_speed.h"

#include <asm/termbits.h>
#include <errno.h>
#include <sys/ioctl.h>

int ReadLineSpeeds(int fd, std::uint32_t* outputBaud, std::uint32_t* inputBaud) {
  struct termios2 settings;
  const int result = ioctl(fd, TCGETS2, &settings);
  const int error = errno;
  // qemu-user and some other emulation layers have no TCGETS2. The speeds
  // then stay as tcgetattr (TCGETS) gave them through the B constants.
  if (result != 0 && (error == ENOSYS || error == EINVAL || error == ENOTTY)) return 0;
  if (result != 0) return error;
  *outputBaud = settings.c_ospeed;
  *inputBaud = settings.c_ispeed;
  return 0;
}
