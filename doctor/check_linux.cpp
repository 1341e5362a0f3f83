#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "doctor/doctor_linux.h"
#include "serial/serial_port_linux.h"
#include "serial/terminal_marks_linux.h"

namespace {

std::vector<Opener> OpenersOf(const CheckedPort& checked) {
  const auto openers = Openers(checked.root, {checked.device});
  const auto at = openers.find(checked.device);
  return at == openers.end() ? std::vector<Opener>() : at->second;
}

// Opens it as a Kavnori run does (which raises DTR and RTS, as any open does),
// looks, and closes. Nothing is written and nothing set.
void CheckOpen(CheckedPort* checked, const struct stat& node, const PortHolders& holders) {
  const int fd = ::open(checked->device.c_str(), kPortOpenFlags);
  const int error = errno;
  if (fd < 0) {
    if (error == EACCES || error == EPERM) {
      const Problem refused = AccessProblem(checked->root, checked->device, node);
      AddProblem(checked->report, refused.code, refused.message, refused.fix);
    } else if (error == EBUSY) {
      CheckExclusive(checked, holders);
    } else if (error == ENOENT || error == ENXIO || error == ENODEV || error == EIO) {
      AddProblem(checked->report, ProblemCode::kMissing,
                 checked->device + " is there, but no device answers behind it (" +
                     SystemMessage(error) + ").",
                 PlugInFix());
    } else {
      AddProblem(checked->report, ProblemCode::kOpenFailed,
                 "Opening " + checked->device + " failed: " + SystemMessage(error) + ".", kListFix)
          .details.push_back(NumberDetail("error", error));
    }
    return;
  }
  struct termios line;
  if (::tcgetattr(fd, &line) != 0) {
    const int readError = errno;
    ::close(fd);
    NotATerminal(checked, "a device that is no terminal (" + SystemMessage(readError) + ")");
    return;
  }
  CheckFlock(checked, holders);
  if (TerminalIsExclusive(fd)) CheckExclusive(checked, holders);
  const TtySettings settings = ReadTtySettings(fd, line);
  CheckFlowControl(checked, settings);
  CheckHangupOnClose(checked, settings);
  ::close(fd);
}

}  // namespace

PortReport CheckPortUnder(const std::string& root, const std::string& port) {
  PortReport report = {port, "", {}};
  CheckedPort checked = {root, port, "", &report};
  struct stat node;
  if (::lstat(port.c_str(), &node) != 0) {
    const int error = errno;
    CheckMissing(&checked, error);
    if (error == ENOENT) CheckPortlessAdapters(&checked);
    return report;
  }
  if (::stat(port.c_str(), &node) != 0) {
    const int error = errno;
    if (error == ENOENT) {
      CheckDanglingLink(&checked);
      CheckPortlessAdapters(&checked);
    } else if (error != EACCES || !CheckRefusedLink(&checked, node)) {
      CheckMissing(&checked, error);
    }
    return report;
  }
  char resolved[PATH_MAX];
  checked.device = ::realpath(port.c_str(), resolved) != nullptr ? resolved : port;
  report.device = checked.device;
  if (!S_ISCHR(node.st_mode)) {
    NotATerminal(&checked, FileKind(node.st_mode));
    return report;
  }
  TtyDevice tty;
  const bool known = ReadTtyByNumber(root, node.st_rdev, &tty);
  if (known && tty.subsystem != "tty") {
    NotATerminal(&checked, "a device of another kind (" + tty.subsystem + ")");
    return report;
  }
  if (IsConsole(node.st_rdev)) {
    AddProblem(&report, ProblemCode::kNotASerialPort,
               checked.device + " is a console or this session's own terminal, not a serial port.",
               NameTheDeviceFix());
    return report;
  }
  // The name as given, as Kavnori looks its locks up: a lock under a link's own
  // name (LCK..board1 for ~/relays/board1) holds for both.
  const PortHolders holders = FindPortHolders(root, port, node, OpenersOf(checked));
  CheckOpen(&checked, node, holders);
  CheckUucpLock(&checked, holders);
  CheckLockFolder(&checked);
  CheckOtherOpeners(&checked, known ? tty : TtyDevice(), holders);
  if (known) {
    CheckAdapter(&checked, tty, node.st_rdev);
    CheckStableName(&checked, tty);
  }
  return report;
}

PortReport CheckPort(const std::string& port) { return CheckPortUnder("", port); }
