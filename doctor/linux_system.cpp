#include <dirent.h>
#include <errno.h>
#include <grp.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "doctor/doctor_posix.h"
#include "serial/port_holders_posix.h"

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string FirstLine(const std::string& path) {
  const std::string text = ReadFile(path);
  return text.substr(0, text.find('\n'));
}

std::vector<std::string> FolderEntries(const std::string& path) {
  std::vector<std::string> names;
  DIR* folder = ::opendir(path.c_str());
  if (folder == nullptr) return names;
  while (const struct dirent* entry = ::readdir(folder)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(folder);
  std::sort(names.begin(), names.end());
  return names;
}

std::string RealPath(const std::string& path) {
  char resolved[PATH_MAX];
  return ::realpath(path.c_str(), resolved) == nullptr ? "" : resolved;
}

std::string BaseName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

bool IsNumber(const std::string& text) {
  return !text.empty() && text.size() < 10 &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::vector<pid_t> ProcessIds(const std::string& root) {
  std::vector<pid_t> pids;
  for (const std::string& name : FolderEntries(root + "/proc")) {
    if (IsNumber(name)) pids.push_back(static_cast<pid_t>(std::atol(name.c_str())));
  }
  return pids;
}

std::vector<std::string> Words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> words;
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

// The USB device is the first folder above the tty's device with an idVendor.
void ReadUsbAdapter(const std::string& deviceFolder, const std::string& sysRoot, TtyDevice* tty) {
  for (std::string folder = deviceFolder; folder.size() > sysRoot.size();
       folder = folder.substr(0, folder.rfind('/'))) {
    const std::string vendor = FirstLine(folder + "/idVendor");
    if (vendor.empty()) continue;
    tty->usbId = vendor + ":" + FirstLine(folder + "/idProduct");
    tty->usbSerial = FirstLine(folder + "/serial");
    tty->usbProductName = FirstLine(folder + "/product");
    tty->usbLocation = BaseName(folder);
    return;
  }
}

// Since Linux 6.5 a UART's tty hangs below serial-base's own port and ctrl
// devices; the driver that tells the hardware is the one above them.
std::string DriverOf(std::string device, const std::string& sysRoot) {
  for (; device.size() > sysRoot.size(); device = device.substr(0, device.rfind('/'))) {
    const std::string driver = RealPath(device + "/driver");
    if (driver.find("/bus/serial-base/") == std::string::npos) return BaseName(driver);
  }
  return "";
}

bool ReadTtyFolder(const std::string& root, const std::string& classFolder, TtyDevice* tty) {
  const std::string folder = RealPath(classFolder);
  if (folder.empty()) return false;
  *tty = TtyDevice();
  tty->name = BaseName(folder);
  tty->subsystem = BaseName(RealPath(folder + "/subsystem"));
  tty->uartType = FirstLine(folder + "/type");
  const std::string device = RealPath(folder + "/device");
  tty->hasDevice = !device.empty();
  if (!tty->hasDevice) return true;
  const std::string sysRoot = RealPath(root + "/sys");
  tty->driver = DriverOf(device, sysRoot);
  ReadUsbAdapter(device, sysRoot, tty);
  return true;
}

bool InGroup(gid_t gid, const Identity& who) {
  return gid == who.gid || std::find(who.groups.begin(), who.groups.end(), gid) != who.groups.end();
}

const GroupEntry* GroupById(const std::vector<GroupEntry>& groups, gid_t gid) {
  for (const GroupEntry& group : groups) {
    if (group.gid == gid) return &group;
  }
  return nullptr;
}

// A rule names an adapter either as ENV{PRODUCT}=="1a86/7523/*" (numbers in
// hex without leading zeros) or as ATTRS{idVendor}=="1a86", ATTRS{idProduct}=="7523".
bool RuleLineClaims(const std::string& line, unsigned vendor, unsigned product) {
  unsigned ruleVendor = 0, ruleProduct = 0;
  const std::size_t productAt = line.find("ENV{PRODUCT}==\"");
  if (productAt != std::string::npos &&
      std::sscanf(line.c_str() + productAt, "ENV{PRODUCT}==\"%x/%x", &ruleVendor, &ruleProduct) ==
          2) {
    return ruleVendor == vendor && ruleProduct == product;
  }
  const std::size_t vendorAt = line.find("ATTRS{idVendor}==\"");
  const std::size_t productIdAt = line.find("ATTRS{idProduct}==\"");
  return vendorAt != std::string::npos && productIdAt != std::string::npos &&
         std::sscanf(line.c_str() + vendorAt, "ATTRS{idVendor}==\"%x", &ruleVendor) == 1 &&
         std::sscanf(line.c_str() + productIdAt, "ATTRS{idProduct}==\"%x", &ruleProduct) == 1 &&
         ruleVendor == vendor && ruleProduct == product;
}

bool RulesClaim(const std::string& text, unsigned vendor, unsigned product) {
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    const std::size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line[start] == '#') continue;
    if (RuleLineClaims(line, vendor, product)) return true;
  }
  return false;
}

}  // namespace

bool ReadTtyByName(const std::string& root, const std::string& name, TtyDevice* tty) {
  return ReadTtyFolder(root, root + "/sys/class/tty/" + name, tty);
}

bool ReadTtyByNumber(const std::string& root, dev_t number, TtyDevice* tty) {
  const std::string link =
      root + "/sys/dev/char/" + std::to_string(major(number)) + ":" + std::to_string(minor(number));
  return ReadTtyFolder(root, link, tty);
}

std::vector<std::string> TtyNames(const std::string& root) {
  return FolderEntries(root + "/sys/class/tty");
}

std::vector<std::string> UsbDeviceIds(const std::string& root) {
  std::vector<std::string> ids;
  for (const std::string& device : FolderEntries(root + "/sys/bus/usb/devices")) {
    const std::string folder = root + "/sys/bus/usb/devices/" + device;
    const std::string vendor = FirstLine(folder + "/idVendor");
    if (!vendor.empty()) ids.push_back(vendor + ":" + FirstLine(folder + "/idProduct"));
  }
  return ids;
}

std::map<std::string, StableNames> ReadStableNames(const std::string& root) {
  std::map<std::string, StableNames> names;
  for (const char* kind : {"by-id", "by-path"}) {
    const std::string folder = std::string("/dev/serial/") + kind;
    for (const std::string& link : FolderEntries(root + folder)) {
      const std::string target = BaseName(RealPath(root + folder + "/" + link));
      if (target.empty()) continue;
      StableNames& found = names[target];
      (std::string(kind) == "by-id" ? found.byId : found.byPath).push_back(folder + "/" + link);
    }
  }
  return names;
}

// A user's line in root/etc/passwd, read as /etc/group is: no NSS, so that
// the statically linked doctor works the same on Alpine. Empty when none.
std::vector<std::string> PasswdFields(const std::string& root, uid_t uid) {
  std::istringstream in(ReadFile(root + "/etc/passwd"));
  for (std::string line; std::getline(in, line);) {
    std::vector<std::string> fields;
    std::istringstream parts(line);
    for (std::string field; std::getline(parts, field, ':');) fields.push_back(field);
    if (fields.size() < 4 || !IsNumber(fields[2]) || !IsNumber(fields[3])) continue;
    if (static_cast<uid_t>(std::atol(fields[2].c_str())) == uid) return fields;
  }
  return {};
}

void ReadUserEntry(const std::string& root, Identity* who) {
  const std::vector<std::string> fields = PasswdFields(root, who->uid);
  if (fields.empty()) return;
  who->user = fields[0];
  who->loginGid = static_cast<gid_t>(std::atol(fields[3].c_str()));
}

Identity CurrentIdentity(const std::string& root) {
  Identity who = {::getuid(), ::getegid(), ::getgid(), {}, ""};
  const int count = ::getgroups(0, nullptr);
  if (count > 0) {
    who.groups.resize(static_cast<std::size_t>(count));
    const int got = ::getgroups(count, who.groups.data());
    who.groups.resize(got < 0 ? 0 : static_cast<std::size_t>(got));
  }
  ReadUserEntry(root, &who);
  return who;
}

std::string UserName(const std::string& root, uid_t uid) {
  const std::vector<std::string> fields = PasswdFields(root, uid);
  return fields.empty() ? "uid " + std::to_string(uid) : fields[0];
}

std::vector<GroupEntry> ReadGroups(const std::string& root) {
  std::vector<GroupEntry> groups;
  std::istringstream in(ReadFile(root + "/etc/group"));
  for (std::string line; std::getline(in, line);) {
    std::vector<std::string> fields;
    std::istringstream parts(line);
    for (std::string field; std::getline(parts, field, ':');) fields.push_back(field);
    if (fields.size() < 3 || !IsNumber(fields[2])) continue;
    GroupEntry group = {fields[0], static_cast<gid_t>(std::atol(fields[2].c_str())), {}};
    std::istringstream members(fields.size() > 3 ? fields[3] : "");
    for (std::string member; std::getline(members, member, ',');) group.members.push_back(member);
    groups.push_back(group);
  }
  return groups;
}

AccessVerdict JudgeAccess(const struct stat& node, const Identity& who,
                          const std::vector<GroupEntry>& groups) {
  const GroupEntry* group = GroupById(groups, node.st_gid);
  AccessVerdict verdict = {Access::kAllowed,
                           group != nullptr ? group->name : std::to_string(node.st_gid)};
  const mode_t mode = node.st_mode;
  const bool ownerMay = (mode & (S_IRUSR | S_IWUSR)) == (S_IRUSR | S_IWUSR);
  const bool groupMay = (mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
  const bool othersMay = (mode & (S_IROTH | S_IWOTH)) == (S_IROTH | S_IWOTH);
  // The kernel takes the first class that fits: owner, then group, then others.
  if (who.uid == 0) return verdict;
  if (node.st_uid == who.uid) {
    if (!ownerMay) verdict.access = Access::kOwnerOnly;
    return verdict;
  }
  if (InGroup(node.st_gid, who)) {
    if (!groupMay) verdict.access = Access::kOwnerOnly;
    return verdict;
  }
  if (othersMay) return verdict;
  if (!groupMay) {
    verdict.access = Access::kOwnerOnly;
    return verdict;
  }
  const bool member =
      (!who.user.empty() && group != nullptr &&
       std::find(group->members.begin(), group->members.end(), who.user) != group->members.end()) ||
      (!who.user.empty() && who.loginGid == node.st_gid);
  verdict.access = member ? Access::kGroupNotActive : Access::kNotInGroup;
  return verdict;
}

std::string ProcessCommand(const std::string& root, pid_t pid) {
  return FirstLine(root + "/proc/" + std::to_string(pid) + "/comm");
}

bool ProcessRuns(const std::string& root, const std::string& command) {
  for (pid_t pid : ProcessIds(root)) {
    if (ProcessCommand(root, pid) == command) return true;
  }
  return false;
}

// Lines as "1: FLOCK  ADVISORY  WRITE 1234 00:05:87 0 EOF": the lock holder's
// pid, then the file's filesystem (major:minor in hex) and inode. A waiter's
// line has "->" after the number and holds nothing.
std::vector<pid_t> FlockHolders(const std::string& root, dev_t filesystem, ino_t inode) {
  std::vector<pid_t> pids;
  std::istringstream in(ReadFile(root + "/proc/locks"));
  for (std::string line; std::getline(in, line);) {
    const std::vector<std::string> words = Words(line);
    if (words.size() < 6 || words[1] != "FLOCK") continue;
    unsigned fsMajor = 0, fsMinor = 0;
    unsigned long long fileInode = 0;
    if (std::sscanf(words[5].c_str(), "%x:%x:%llu", &fsMajor, &fsMinor, &fileInode) != 3) continue;
    if (fsMajor != major(filesystem) || fsMinor != minor(filesystem) || fileInode != inode)
      continue;
    pids.push_back(static_cast<pid_t>(std::atol(words[4].c_str())));
  }
  return pids;
}

std::map<std::string, std::vector<Opener>> Openers(const std::string& root,
                                                   const std::vector<std::string>& paths) {
  std::map<std::string, std::vector<Opener>> found;
  const pid_t self = ::getpid();
  for (pid_t pid : ProcessIds(root)) {
    if (pid == self) continue;
    const std::string process = root + "/proc/" + std::to_string(pid);
    for (const std::string& fd : FolderEntries(process + "/fd")) {
      char target[PATH_MAX];
      const ssize_t length = ::readlink((process + "/fd/" + fd).c_str(), target, sizeof target - 1);
      if (length <= 0) continue;
      const std::string path(target, static_cast<std::size_t>(length));
      if (std::find(paths.begin(), paths.end(), path) == paths.end()) continue;
      const bool locks = ReadFile(process + "/fdinfo/" + fd).find(" FLOCK ") != std::string::npos;
      std::vector<Opener>& openers = found[path];
      const auto same = std::find_if(openers.begin(), openers.end(),
                                     [&](const Opener& o) { return o.pid == pid; });
      if (same == openers.end()) {
        openers.push_back({pid, locks});
      } else {
        same->holdsFlock = same->holdsFlock || locks;
      }
    }
  }
  return found;
}

bool ModemManagerIgnores(const std::string& root, dev_t number) {
  const std::string data = ReadFile(root + "/run/udev/data/c" + std::to_string(major(number)) +
                                    ":" + std::to_string(minor(number)));
  std::istringstream in(data);
  for (std::string line; std::getline(in, line);) {
    if (line == "E:ID_MM_DEVICE_IGNORE=1" || line == "E:ID_MM_PORT_IGNORE=1") return true;
  }
  return false;
}

// A rules file in /etc/udev/rules.d replaces one of the same name in /run or
// /usr/lib (a link to /dev/null there turns it off); the first folder wins.
std::string BrlttyRuleClaiming(const std::string& root, const std::string& usbId) {
  unsigned vendor = 0, product = 0;
  if (std::sscanf(usbId.c_str(), "%x:%x", &vendor, &product) != 2) return "";
  std::vector<std::string> seen;
  for (const char* folder :
       {"/etc/udev/rules.d", "/run/udev/rules.d", "/usr/lib/udev/rules.d", "/lib/udev/rules.d"}) {
    for (const std::string& name : FolderEntries(root + folder)) {
      if (name.find("brltty") == std::string::npos || name.size() < 6 ||
          name.compare(name.size() - 6, 6, ".rules") != 0 ||
          std::find(seen.begin(), seen.end(), name) != seen.end()) {
        continue;
      }
      seen.push_back(name);
      const std::string path = std::string(folder) + "/" + name;
      if (RulesClaim(ReadFile(root + path), vendor, product)) return path;
    }
  }
  return "";
}

std::string DescribeProcess(pid_t pid, const std::string& command) {
  return (command.empty() ? std::string("a process") : command) + " (pid " + std::to_string(pid) +
         ")";
}

bool FindLockFile(const std::string& root, const std::string& device, UucpLock* lock) {
  const auto below = [&](const char* const* paths) {
    std::vector<std::string> folders;
    for (const char* const* path = paths; *path != nullptr; ++path) folders.push_back(root + *path);
    return folders;
  };
  const std::vector<std::string> lockFolders = below(kUucpLockPlaces.lockFolders);
  const std::vector<std::string> linkFolders = below(kUucpLockPlaces.linkFolders);
  const auto pointers = [](const std::vector<std::string>& folders) {
    std::vector<const char*> list;
    for (const std::string& folder : folders) list.push_back(folder.c_str());
    list.push_back(nullptr);
    return list;
  };
  const std::vector<const char*> locks = pointers(lockFolders), links = pointers(linkFolders);
  const std::string proc = root + kUucpLockPlaces.proc;
  return FindUucpLock(device.c_str(), {locks.data(), links.data(), proc.c_str()}, lock);
}

std::string LockPath(const std::string& root, const UucpLock& lock) {
  return lock.path + std::min(root.size(), std::strlen(lock.path));
}
