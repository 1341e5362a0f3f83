#include "sim/pty.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

void CloseSlave(Pty* pty) {
  if (pty->slave >= 0) close(pty->slave);
  pty->slave = -1;
}

namespace {

void CloseDescriptors(Pty* pty) {
  CloseSlave(pty);
  if (pty->master >= 0) close(pty->master);
  pty->master = -1;
}

bool GivePtyUp(Pty* pty, PtyFailure* failure, const char* call, int error) {
  *failure = PtyFailure{call, error};
  CloseDescriptors(pty);
  return false;
}

}  // namespace

bool OpenPty(Pty* pty, PtyFailure* failure) {
  *pty = Pty{-1, -1, ""};
  pty->master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (pty->master < 0) return GivePtyUp(pty, failure, "posix_openpt", errno);
  if (grantpt(pty->master) != 0) return GivePtyUp(pty, failure, "grantpt", errno);
  if (unlockpt(pty->master) != 0) return GivePtyUp(pty, failure, "unlockpt", errno);
  char path[128];
  const int nameError = ptsname_r(pty->master, path, sizeof path);
  if (nameError != 0) return GivePtyUp(pty, failure, "ptsname_r", nameError);
  pty->path = path;
  const int flags = fcntl(pty->master, F_GETFL);
  if (flags < 0) return GivePtyUp(pty, failure, "fcntl", errno);
  if (fcntl(pty->master, F_SETFL, flags | O_NONBLOCK) != 0) {
    return GivePtyUp(pty, failure, "fcntl", errno);
  }
  pty->slave = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (pty->slave < 0) return GivePtyUp(pty, failure, "open", errno);
  return true;
}

void ClosePty(Pty* pty) {
  CloseDescriptors(pty);
  pty->path.clear();
}
