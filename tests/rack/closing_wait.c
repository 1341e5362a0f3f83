/* closing-wait PORT CENTISECONDS: sets how long a close of PORT waits for
 * output that flow control holds (the tty's closing wait, 30 s by default),
 * as setserial's closing_wait does; busybox has no setserial. */
#include <fcntl.h>
#include <linux/serial.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/ioctl.h>

int main(int argc, char** argv) {
  struct serial_struct serial;
  const int fd = argc == 3 ? open(argv[1], O_RDWR | O_NOCTTY | O_NONBLOCK) : -1;
  if (fd < 0 || ioctl(fd, TIOCGSERIAL, &serial) != 0) return perror("closing-wait"), 1;
  serial.closing_wait = (unsigned short)atoi(argv[2]);
  if (ioctl(fd, TIOCSSERIAL, &serial) != 0) return perror("closing-wait"), 1;
  return 0;
}
