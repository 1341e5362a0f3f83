#include "doctor/doctor_posix.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "serial/port_holders_posix.h"
#include "serial/serial_port_posix.h"

namespace {

constexpr const char* kListFix = "kavnori-doctor (without a port) lists the ports there are";
// Someone who reads with a Braille display needs brltty: the fix says so.
constexpr const char* kBrlttyFix =
    "sudo apt remove brltty (unless a Braille display is used here), then plug the adapter in "
    "again";

// Built one problem at a time as the checks find them.
struct Findings {
  std::string root;
  std::string port;    // as given
  std::string device;  // where it leads
  PortReport* report;
};

Problem& Add(Findings* found, const char* code, Severity severity, const std::string& message,
             const std::string& fix) {
  found->report->problems.push_back({code, severity, message, fix, {}});
  return found->report->problems.back();
}

std::string ErrorText(int error) { return std::strerror(error); }

void AddHolderDetails(Problem* problem, pid_t pid, const std::string& command) {
  problem->details.push_back(NumberDetail("pid", pid));
  problem->details.push_back(TextDetail("command", command));
}

// kill is never the advice for pid 1, the first process of the system (or
// container), nor for the virtual board, which keeps its end of the port open.
std::string StopFix(pid_t pid, const std::string& command) {
  const std::string program = command.empty() ? std::string("that program") : command;
  if (pid == 1) {
    return "close " + program + "; pid 1 is the system's first process, not one to kill";
  }
  if (command == "relay-board-sim") {
    return "relay-board-sim is the virtual board itself: close the other program that holds the "
           "port, or start the board again";
  }
  return "close " + program + ", or: kill " + std::to_string(pid);
}

std::vector<Opener> OpenersOf(const Findings& found) {
  const auto openers = Openers(found.root, {found.device});
  const auto at = openers.find(found.device);
  return at == openers.end() ? std::vector<Opener>() : at->second;
}

// ---- Names that lead nowhere ----

// COM3, com12: a name from Windows, which Linux never gives a port.
bool IsWindowsPortName(const std::string& port) {
  if (port.size() < 4 || (port[0] | 0x20) != 'c' || (port[1] | 0x20) != 'o' ||
      (port[2] | 0x20) != 'm') {
    return false;
  }
  return port.find_first_not_of("0123456789", 3) == std::string::npos;
}

std::string PortsThereAre(const std::string& root) {
  std::string names;
  for (const PortListing& listed : ListPortsUnder(root)) {
    names += (names.empty() ? "" : ", ") + listed.name;
  }
  return names.empty() ? "none is plugged in now" : "the ports there are: " + names;
}

void CheckMissing(Findings* found, int error) {
  if (error == ENAMETOOLONG) {
    Add(found, "name-too-long", Severity::kBlocks,
        "the name is longer than the system takes (" + std::to_string(found->port.size()) +
            " bytes)",
        kListFix);
    return;
  }
  if (error == ELOOP) {
    Add(found, "link-loop", Severity::kBlocks,
        found->port + " is a link that leads back to itself and to no device",
        "ls -l " + found->port + "; name the device itself, e.g. /dev/ttyUSB0");
    return;
  }
  if (error == EACCES) {
    Add(found, "permission", Severity::kBlocks,
        "a folder on the way to " + found->port + " may not be looked into by this user",
        "ls -ld each folder of " + found->port);
    return;
  }
  if (IsWindowsPortName(found->port)) {
    Add(found, "missing", Severity::kBlocks,
        found->port +
            " is a Windows name: Linux names its serial ports like /dev/ttyUSB0, "
            "/dev/ttyACM0 or /dev/ttyS0",
        "name one of " + PortsThereAre(found->root));
    return;
  }
  Add(found, "missing", Severity::kBlocks,
      found->port.empty() ? std::string("no port was named (an empty name)")
                          : found->port + " does not exist (" + ErrorText(error) + ")",
      kListFix);
}

std::string LinkTarget(const std::string& link) {
  char target[PATH_MAX];
  const ssize_t length = ::readlink(link.c_str(), target, sizeof target - 1);
  return length > 0 ? std::string(target, static_cast<std::size_t>(length)) : "?";
}

// fs.protected_symlinks: in a sticky, world-writable folder (/tmp) the kernel
// follows a link only for its owner or the folder's owner. Any other user,
// root too, gets EACCES, as if a folder on the way were closed.
bool CheckRefusedLink(Findings* found, const struct stat& link) {
  const std::size_t slash = found->port.rfind('/');
  const std::string folder = slash == std::string::npos ? "."
                             : slash == 0               ? "/"
                                                        : found->port.substr(0, slash);
  struct stat parent;
  if (!S_ISLNK(link.st_mode) || ::stat(folder.c_str(), &parent) != 0 ||
      (parent.st_mode & (S_ISVTX | S_IWOTH)) != (S_ISVTX | S_IWOTH) ||
      link.st_uid == parent.st_uid || link.st_uid == ::geteuid()) {
    return false;
  }
  const std::string owner = UserName(found->root, link.st_uid);
  Add(found, "protected-symlink", Severity::kBlocks,
      found->port + " is a link of user " + owner + " in the sticky, world-writable folder " +
          folder + ": the kernel refuses to follow another user's link there " +
          "(fs.protected_symlinks)",
      "name the device itself (" + LinkTarget(found->port) +
          "), or make the link in a folder of your own")
      .details.push_back(TextDetail("owner", owner));
  return true;
}

void CheckDanglingLink(Findings* found) {
  const std::string to = LinkTarget(found->port);
  Add(found, "dangling-link", Severity::kBlocks,
      found->port + " is a link to " + to +
          ", which does not exist: the adapter is unplugged, or came back under another name",
      "plug the adapter in; " + std::string(kListFix));
}

// brltty takes adapters whose chips Braille displays use (CH340, CP210x, ...):
// the port appears and is gone a moment later, while the adapter itself stays
// plugged in on the USB bus.
void CheckBrltty(Findings* found) {
  for (const std::string& id : UsbDeviceIds(found->root)) {
    const std::string rules = BrlttyRuleClaiming(found->root, id);
    if (rules.empty()) continue;
    Add(found, "brltty", Severity::kBlocks,
        "a USB adapter " + id + " is plugged in, and brltty's udev rules (" + rules +
            ") claim it: brltty takes it, and its serial port is gone",
        kBrlttyFix);
    return;
  }
  if (!ProcessRuns(found->root, "brltty")) return;
  Add(found, "brltty", Severity::kBlocks,
      "brltty runs: it takes USB serial adapters that look like Braille displays, so the port "
      "appears and vanishes",
      kBrlttyFix);
}

const char* FileKind(mode_t mode) {
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISREG(mode)) return "an ordinary file";
  if (S_ISFIFO(mode)) return "a FIFO (named pipe)";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISBLK(mode)) return "a block device (a disk)";
  return "a device that is no terminal";
}

void NotATerminal(Findings* found, const std::string& kind) {
  Add(found, "not-a-terminal", Severity::kBlocks,
      found->port + " is " + kind + ", not a serial port",
      "name the serial device, e.g. /dev/ttyUSB0; " + std::string(kListFix));
}

// This session's own terminal, the console, the virtual consoles and the
// pseudo-terminal multiplexer are terminals, yet no cable leads from them.
bool IsConsole(dev_t number) {
  const unsigned kind = major(number), index = minor(number);
  return (kind == 5 && index <= 2) || (kind == 4 && index < 64);
}

// ---- Who may open it ----

// The device node is made anew at every replug and boot, by udev: a chmod
// is gone then, a rule stays.
std::string OwnerOnlyFix(const std::string& device) {
  const std::string kernelName =
      device.compare(0, 5, "/dev/") == 0 ? device.substr(5) : device.substr(device.rfind('/') + 1);
  return "sudo chgrp dialout " + device + " && sudo chmod 660 " + device +
         "; to keep it, add the line KERNEL==\"" + kernelName +
         "\", GROUP=\"dialout\", MODE=\"0660\" to /etc/udev/rules.d/60-kavnori.rules";
}

void CheckPermission(Findings* found, const struct stat& node) {
  const Identity who = CurrentIdentity(found->root);
  const AccessVerdict verdict = JudgeAccess(node, who, ReadGroups(found->root));
  const std::string user = who.user.empty() ? "uid " + std::to_string(who.uid) : who.user;
  char mode[8];
  std::snprintf(mode, sizeof mode, "%03o", static_cast<unsigned>(node.st_mode & 0777));
  const std::string owned = " (mode " + std::string(mode) + ", group " + verdict.group + ")";
  switch (verdict.access) {
    case Access::kNotInGroup:
      Add(found, "permission", Severity::kBlocks,
          user + " may not open " + found->device + owned + ": only members of group " +
              verdict.group + " may",
          "sudo usermod -aG " + verdict.group + " $USER, then log out and in again");
      return;
    case Access::kGroupNotActive:
      Add(found, "group-not-active", Severity::kBlocks,
          user + " is in group " + verdict.group + ", but this session started before that" + owned,
          "log out and in again (or, for this shell only: newgrp " + verdict.group + ")");
      return;
    case Access::kOwnerOnly:
      Add(found, "permission", Severity::kBlocks,
          found->device + " may be opened by its owner only" + owned +
              "; a mode set by hand lasts until the next replug or reboot",
          OwnerOnlyFix(found->device));
      return;
    case Access::kAllowed:
      Add(found, "permission", Severity::kBlocks,
          "opening " + found->device + " was refused though its mode allows it" + owned +
              " (an ACL or a security module)",
          "getfacl " + found->device);
      return;
  }
}

// ---- Programs that hold it ----

// The open file that holds the lock names its process best: the pid in
// /proc/locks is the one that took it, which may have gone since.
Holder FlockHolder(const Findings& found, const struct stat& node) {
  for (const Opener& opener : OpenersOf(found)) {
    if (opener.holdsFlock) return {opener.pid, ProcessCommand(found.root, opener.pid)};
  }
  for (pid_t pid : FlockHolders(found.root, node.st_dev, node.st_ino)) {
    const std::string command = ProcessCommand(found.root, pid);
    if (pid > 0 && !command.empty()) return {pid, command};
  }
  return {0, ""};
}

void CheckFlock(Findings* found, int fd, const struct stat& node) {
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
    ::flock(fd, LOCK_UN);
    return;
  }
  const int error = errno;
  if (error != EWOULDBLOCK) return;
  const Holder holder = FlockHolder(*found, node);
  if (holder.pid <= 0) {
    Add(found, "held-by-lock", Severity::kBlocks,
        "another program holds " + found->device + " locked (flock); this user cannot see which",
        "sudo kavnori-doctor " + found->port + " names it");
    return;
  }
  Problem& problem = Add(
      found, "held-by-lock", Severity::kBlocks,
      DescribeProcess(holder.pid, holder.command) + " holds " + found->device + " locked (flock)",
      StopFix(holder.pid, holder.command));
  AddHolderDetails(&problem, holder.pid, holder.command);
}

// TIOCEXCL turns away every later opener but root. Nothing tells which of
// the programs that have the port open set it, so all of them are named. The
// virtual board never sets it, but its own end of its terminal keeps a mark
// that a program left behind: the board is no holder to stop.
void AddExclusive(Findings* found) {
  const std::string what = found->device +
                           " was made exclusive (TIOCEXCL): only root may open it, and Kavnori "
                           "turns it away even as root";
  std::vector<Opener> openers = OpenersOf(*found);
  std::string board;
  for (auto opener = openers.begin(); opener != openers.end();) {
    const std::string command = ProcessCommand(found->root, opener->pid);
    if (command != "relay-board-sim") {
      ++opener;
      continue;
    }
    board = DescribeProcess(opener->pid, command);
    opener = openers.erase(opener);
  }
  if (openers.empty() && !board.empty()) {
    Add(found, "exclusive", Severity::kBlocks,
        what + "; only the virtual board " + board +
            " has it open, whose terminal keeps the mark after the program that set it has gone",
        "start relay-board-sim anew for a terminal without the mark (sudo kavnori-doctor " +
            found->port + " names any other program that has it open)");
    return;
  }
  if (openers.empty()) {
    Add(found, "exclusive", Severity::kBlocks, what + "; this user cannot see which program did",
        "sudo kavnori-doctor " + found->port + " names it");
    return;
  }
  std::string names, pids;
  for (const Opener& opener : openers) {
    names += (names.empty() ? "" : ", ") +
             DescribeProcess(opener.pid, ProcessCommand(found->root, opener.pid));
    pids += " " + std::to_string(opener.pid);
  }
  const std::string command = ProcessCommand(found->root, openers.front().pid);
  Problem& problem =
      Add(found, "exclusive", Severity::kBlocks, what + "; open by " + names,
          openers.size() == 1 ? StopFix(openers.front().pid, command)
                              : "close the program that did (screen, say), or: kill" + pids);
  if (openers.size() == 1) AddHolderDetails(&problem, openers.front().pid, command);
}

// A lock file this user may not read counts as held, as Kavnori counts it:
// only its owner or root can tell whose it is, and it is never to be removed
// unseen.
void CheckUucpLock(Findings* found) {
  UucpLock lock;
  if (!FindLockFile(found->root, found->device, &lock)) return;
  const std::string path = LockPath(found->root, lock);
  if (!lock.readable) {
    const std::string owner = UserName(found->root, lock.owner);
    Problem& problem =
        Add(found, "uucp-lock", Severity::kBlocks,
            "the lock file " + path + " of user " + owner + " marks " + found->device +
                " as held; this user may not read which program holds it",
            "ask " + owner + " to close the program that uses the port (sudo kavnori-doctor " +
                found->port + " names it)");
    problem.details.push_back(TextDetail("lock", path));
    problem.details.push_back(TextDetail("owner", owner));
    return;
  }
  if (!lock.held) {
    const std::string pid = "pid " + std::to_string(lock.pid);
    Add(found, "uucp-lock-stale", Severity::kNote,
        "the lock file " + path + " names " + pid +
            (lock.pidReused ? ", which was given to a process started after the lock was written: "
                              "the program that wrote it has ended"
                            : ", which no longer runs") +
            "; minicom and others refuse the port while it is there",
        "sudo rm " + path);
    return;
  }
  const std::string command = ProcessCommand(found->root, lock.pid);
  Problem& problem = Add(
      found, "uucp-lock", Severity::kBlocks,
      DescribeProcess(lock.pid, command) + " holds " + found->device + " by its lock file " + path,
      StopFix(lock.pid, command));
  AddHolderDetails(&problem, lock.pid, command);
  problem.details.push_back(TextDetail("lock", path));
}

// ---- The line as the driver holds it ----

void CheckFlowControl(Findings* found, int fd, const struct termios& line) {
  if ((line.c_cflag & CRTSCTS) != 0) {
    int lines = 0;
    const bool known = ::ioctl(fd, TIOCMGET, &lines) == 0;
    if (!known || (lines & TIOCM_CTS) == 0) {
      Add(found, "hardware-flow", Severity::kMayHold,
          std::string("hardware flow control (CRTSCTS) is on and CTS is ") +
              (known ? "low" : "unknown (the driver does not tell)") +
              ": a write waits until the other end raises CTS, which relay boards do not",
          "stty -F " + found->device + " -crtscts");
    }
  }
  if ((line.c_iflag & IXON) != 0) {
    Add(found, "software-flow", Severity::kNote,
        "software flow control (IXON) is on: an XOFF byte from the board would hold writes",
        "stty -F " + found->device + " -ixon");
  }
}

// Opens it as a Kavnori run does (which raises DTR and RTS, as any open does),
// looks, and closes. Nothing is written and nothing set.
void CheckOpen(Findings* found, const struct stat& node) {
  const int fd = ::open(found->device.c_str(), kPortOpenFlags);
  const int error = errno;
  if (fd < 0) {
    if (error == EACCES || error == EPERM) {
      CheckPermission(found, node);
    } else if (error == EBUSY) {
      AddExclusive(found);
    } else if (error == ENOENT || error == ENXIO || error == ENODEV || error == EIO) {
      Add(found, "missing", Severity::kBlocks,
          found->device + " is there, but no device answers behind it (" + ErrorText(error) + ")",
          "plug the adapter in; " + std::string(kListFix));
    } else {
      Add(found, "open-failed", Severity::kBlocks,
          "opening " + found->device + " failed: " + ErrorText(error), kListFix)
          .details.push_back(NumberDetail("error", error));
    }
    return;
  }
  struct termios line;
  if (::tcgetattr(fd, &line) != 0) {
    const int readError = errno;
    ::close(fd);
    NotATerminal(found, "a device that is no terminal (" + ErrorText(readError) + ")");
    return;
  }
  CheckFlock(found, fd, node);
  if (TerminalIsExclusive(fd)) AddExclusive(found);
  CheckFlowControl(found, fd, line);
  ::close(fd);
}

// ---- What sysfs and udev know of the adapter ----

void CheckAdapter(Findings* found, const TtyDevice& tty, dev_t number) {
  if (!tty.usbId.empty()) {
    const std::string rules = BrlttyRuleClaiming(found->root, tty.usbId);
    if (!rules.empty()) {
      Add(found, "brltty", Severity::kBlocks,
          "brltty's udev rules (" + rules + ") claim USB adapters " + tty.usbId +
              ": brltty takes the port as it appears",
          kBrlttyFix);
    }
  }
  if (tty.hasDevice && !ModemManagerIgnores(found->root, number) &&
      ProcessRuns(found->root, "ModemManager")) {
    Add(found, "modemmanager", Severity::kNote,
        "ModemManager runs and " + found->device +
            " is not marked to be ignored: it may open the port and send AT commands to the board",
        "sudo systemctl disable --now ModemManager (or a udev rule setting "
        "ENV{ID_MM_DEVICE_IGNORE}=\"1\" for this adapter)");
  }
}

bool IsNumberedName(const std::string& path) {
  const std::string name = path.substr(path.rfind('/') + 1);
  return name.rfind("ttyUSB", 0) == 0 || name.rfind("ttyACM", 0) == 0;
}

// ttyUSB and ttyACM numbers follow the order of plugging in. A by-id name
// stays with the adapter, but only when the adapter has a serial number.
void CheckStableName(Findings* found, const TtyDevice& tty) {
  const auto names = ReadStableNames(found->root);
  const auto at = names.find(tty.name);
  if (at == names.end() || tty.usbId.empty()) return;
  const StableNames& stable = at->second;
  const bool givenById = found->port.find("/serial/by-id/") != std::string::npos;
  if (tty.usbSerial.empty() && givenById && !stable.byPath.empty()) {
    Add(found, "by-id-not-unique", Severity::kNote,
        "the adapter (" + tty.usbId +
            ") has no serial number: every such adapter gets this same by-id name",
        "name it by its USB socket instead: " + stable.byPath.front());
  } else if (IsNumberedName(found->port)) {
    const std::vector<std::string>& better = tty.usbSerial.empty() ? stable.byPath : stable.byId;
    if (better.empty()) return;
    Add(found, "unstable-name", Severity::kNote,
        found->port + " may name another adapter after the next boot or plug-in",
        "name it " + better.front() + " instead");
  }
}

}  // namespace

PortReport CheckPortUnder(const std::string& root, const std::string& port) {
  PortReport report = {port, "", {}};
  Findings found = {root, port, "", &report};
  struct stat node;
  if (::lstat(port.c_str(), &node) != 0) {
    const int error = errno;
    CheckMissing(&found, error);
    if (error == ENOENT) CheckBrltty(&found);
    return report;
  }
  if (::stat(port.c_str(), &node) != 0) {
    const int error = errno;
    if (error == ENOENT) {
      CheckDanglingLink(&found);
      CheckBrltty(&found);
    } else if (error != EACCES || !CheckRefusedLink(&found, node)) {
      CheckMissing(&found, error);
    }
    return report;
  }
  char resolved[PATH_MAX];
  found.device = ::realpath(port.c_str(), resolved) != nullptr ? resolved : port;
  report.device = found.device;
  if (!S_ISCHR(node.st_mode)) {
    NotATerminal(&found, FileKind(node.st_mode));
    return report;
  }
  TtyDevice tty;
  const bool known = ReadTtyByNumber(root, node.st_rdev, &tty);
  if (known && tty.subsystem != "tty") {
    NotATerminal(&found, "a device of another kind (" + tty.subsystem + ")");
    return report;
  }
  if (IsConsole(node.st_rdev)) {
    Add(&found, "not-a-serial-port", Severity::kBlocks,
        found.device + " is a console or this session's own terminal, not a serial port",
        "name the serial device, e.g. /dev/ttyUSB0; " + std::string(kListFix));
    return report;
  }
  CheckOpen(&found, node);
  CheckUucpLock(&found);
  if (known) {
    CheckAdapter(&found, tty, node.st_rdev);
    CheckStableName(&found, tty);
  }
  return report;
}

PortReport CheckPort(const std::string& port) { return CheckPortUnder("", port); }
