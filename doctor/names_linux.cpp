#include <errno.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "doctor/doctor_linux.h"
#include "serial/com_name.h"

namespace {

std::string PortsThereAre(const std::string& root) {
  std::vector<std::string> ports;
  for (const PortListing& listed : ListPortsUnder(root, false)) ports.push_back(listed.name);
  const std::string names = Joined(ports);
  return names.empty() ? "none is plugged in now" : "the ports there are: " + names;
}

}  // namespace

void CheckMissing(CheckedPort* checked, int error) {
  if (error == ENAMETOOLONG) {
    AddProblem(checked->report, ProblemCode::kNameTooLong,
               "The name is longer than the system takes (" +
                   std::to_string(checked->given.size()) + " bytes).",
               kListFix);
    return;
  }
  if (error == ELOOP) {
    AddProblem(
        checked->report, ProblemCode::kLinkLoop,
        checked->given + " is a link that leads back to itself and to no device.",
        "ls -l " + ShellWord(checked->given) + "; name the device itself, e.g. /dev/ttyUSB0");
    return;
  }
  if (error == EACCES) {
    AddProblem(checked->report, ProblemCode::kPermission,
               "A folder on the way to " + checked->given + " may not be looked into by this user.",
               "ls -ld each folder of " + ShellWord(checked->given));
    return;
  }
  // COM3, com12: a name from Windows, which Linux never gives a port.
  if (IsComName(checked->given.c_str())) {
    AddProblem(checked->report, ProblemCode::kMissing,
               checked->given +
                   " is a Windows name: Linux names its serial ports like /dev/ttyUSB0, "
                   "/dev/ttyACM0 or /dev/ttyS0.",
               "name one of " + PortsThereAre(checked->root));
    return;
  }
  AddProblem(checked->report, ProblemCode::kMissing,
             checked->given.empty()
                 ? std::string("No port was named (an empty name).")
                 : checked->given + " does not exist (" + SystemMessage(error) + ").",
             kListFix);
}

namespace {

std::string LinkTarget(const std::string& link) {
  char target[PATH_MAX];
  const ssize_t length = ::readlink(link.c_str(), target, sizeof target - 1);
  return length > 0 ? std::string(target, static_cast<std::size_t>(length)) : "?";
}

}  // namespace

// fs.protected_symlinks: in a sticky, world-writable folder (/tmp) the kernel
// follows a link only for its owner or the folder's owner. Any other user,
// root too, gets EACCES, as if a folder on the way were closed.
bool CheckRefusedLink(CheckedPort* checked, const struct stat& link) {
  const std::size_t slash = checked->given.rfind('/');
  const std::string folder = slash == std::string::npos ? "."
                             : slash == 0               ? "/"
                                                        : checked->given.substr(0, slash);
  struct stat parent;
  if (!S_ISLNK(link.st_mode) || ::stat(folder.c_str(), &parent) != 0 ||
      (parent.st_mode & (S_ISVTX | S_IWOTH)) != (S_ISVTX | S_IWOTH) ||
      link.st_uid == parent.st_uid || link.st_uid == ::geteuid()) {
    return false;
  }
  const std::string owner = UserName(checked->root, link.st_uid);
  AddProblem(checked->report, ProblemCode::kProtectedSymlink,
             checked->given + " is a link of user " + owner +
                 " in the sticky, world-writable folder " + folder +
                 ": the kernel refuses to follow another user's link there " +
                 "(fs.protected_symlinks).",
             "name the device itself (" + ShellWord(LinkTarget(checked->given)) +
                 "), or make the link in a folder of your own")
      .details.push_back(TextDetail("owner", owner));
  return true;
}

void CheckDanglingLink(CheckedPort* checked) {
  const std::string to = LinkTarget(checked->given);
  AddProblem(
      checked->report, ProblemCode::kDanglingLink,
      checked->given + " is a link to " + to +
          ", which does not exist: the adapter is unplugged, or came back under another name.",
      PlugInFix());
}

const char* FileKind(mode_t mode) {
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISREG(mode)) return "an ordinary file";
  if (S_ISFIFO(mode)) return "a FIFO (named pipe)";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISBLK(mode)) return "a block device (a disk)";
  return "a device that is no terminal";
}

void NotATerminal(CheckedPort* checked, const std::string& kind) {
  AddProblem(checked->report, ProblemCode::kNotATerminal,
             checked->given + " is " + kind + ", not a serial port.", NameTheDeviceFix());
}

// This session's own terminal, the console, the virtual consoles and the
// pseudo-terminal multiplexer are terminals, yet no cable leads from them.
bool IsConsole(dev_t number) {
  const unsigned kind = major(number), index = minor(number);
  return (kind == 5 && index <= 2) || (kind == 4 && index < 64);
}

namespace {

bool IsNumberedName(const std::string& path) {
  const std::string name = BaseName(path);
  return name.rfind("ttyUSB", 0) == 0 || name.rfind("ttyACM", 0) == 0;
}

}  // namespace

// ttyUSB and ttyACM numbers follow the order of plugging in. A by-id name
// stays with the adapter, but only when the adapter has a serial number.
void CheckStableName(CheckedPort* checked, const TtyDevice& tty) {
  const auto names = ReadStableNames(checked->root);
  const auto at = names.find(tty.name);
  if (at == names.end() || tty.vendorId.empty()) return;
  const StableNames& stable = at->second;
  const bool givenById = checked->given.find("/serial/by-id/") != std::string::npos;
  if (tty.serial.empty() && givenById && !stable.byPath.empty()) {
    AddProblem(checked->report, ProblemCode::kByIdNotUnique,
               "The adapter (" + tty.vendorId + ":" + tty.productId +
                   ") has no serial number: every such adapter gets this same by-id name.",
               "name it by its USB socket instead: " + ShellWord(stable.byPath.front()));
  } else if (IsNumberedName(checked->given)) {
    const std::vector<std::string>& better = tty.serial.empty() ? stable.byPath : stable.byId;
    if (better.empty()) return;
    AddProblem(checked->report, ProblemCode::kUnstableName,
               checked->given + " may name another adapter after the next boot or plug-in.",
               "name it " + ShellWord(better.front()) + " instead");
  }
}
