// A tty's settings as the checks judge them: its termios flags, and what
// the driver tells of its modem lines and output queue. Only read, never set.
#include <sys/ioctl.h>

#include "doctor/doctor_linux.h"

TtySettings ReadTtySettings(int fd, const struct termios& line) {
  TtySettings settings;
  settings.hardwareFlow = (line.c_cflag & CRTSCTS) != 0;
  settings.softwareFlow = (line.c_iflag & IXON) != 0;
  settings.hangupOnClose = (line.c_cflag & HUPCL) != 0;
  int lines = 0;
  settings.ctsKnown = ::ioctl(fd, TIOCMGET, &lines) == 0;
  settings.ctsHigh = settings.ctsKnown && (lines & TIOCM_CTS) != 0;
  int queued = 0;
  if (::ioctl(fd, TIOCOUTQ, &queued) == 0) settings.queued = queued;
  return settings;
}
