#include "serial/port_holders_posix.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

namespace {

const char* const kLockFolders[] = {"/run/lock", "/var/lock", nullptr};
const char* const kLinkFolders[] = {"/dev/serial/by-id", "/dev/serial/by-path", nullptr};

// A lock file's name is one path component.
constexpr std::size_t kNameCapacity = NAME_MAX + 1;
// As given and as resolved, each as its base name and its /dev path; SVR4's.
constexpr std::size_t kMostNames = 5;
constexpr const char* kDevPrefix = "/dev/";
// /proc counts in USER_HZ, which Linux keeps at 100 on x86, arm and arm64.
constexpr unsigned long long kClockTicksPerSecond = 100;
constexpr int kStartTimeField = 22;  // in /proc/PID/stat
// The boot time is whole seconds and a file's time may lag a clock tick: a
// holder that wrote its lock at once must never look as if it started later.
constexpr long long kClockSlackSeconds = 1;

// Appends text (each '/' as '_' when flattening) to buffer[length]; the new
// length, or the capacity when it does not fit. Fixed buffers, no snprintf:
// this runs before every switch.
std::size_t Append(char* buffer, std::size_t capacity, std::size_t length, const char* text,
                   bool flatten = false) {
  if (length >= capacity) return capacity;
  for (; *text != '\0'; ++text) {
    if (length + 1 >= capacity) return capacity;
    buffer[length++] = flatten && *text == '/' ? '_' : *text;
  }
  buffer[length] = '\0';
  return length;
}

// At least `width` (1 or more) digits, zero-padded, as %0*u writes them.
std::size_t AppendNumber(char* buffer, std::size_t capacity, std::size_t length,
                         unsigned long long number, int width) {
  char text[24];
  char* digits = text + sizeof text - 1;
  *digits = '\0';
  for (int count = 0; count < width || number != 0; ++count) {
    *--digits = static_cast<char>('0' + number % 10);
    number /= 10;
  }
  return Append(buffer, capacity, length, digits);
}

bool SameText(const char* a, const char* b) {
  while (*a != '\0' && *a == *b) ++a, ++b;
  return *a == *b;
}

bool StartsWith(const char* text, const char* prefix) {
  while (*prefix != '\0' && *text == *prefix) ++text, ++prefix;
  return *prefix == '\0';
}

const char* BaseName(const char* path) {
  const char* base = path;
  for (const char* c = path; *c != '\0'; ++c) {
    if (*c == '/') base = c + 1;
  }
  return base;
}

// Lock file names, each once.
struct LockNames {
  char names[kMostNames][kNameCapacity];
  std::size_t count;
};

void AddName(LockNames* names, const char* prefix, const char* name, bool flatten) {
  if (name[0] == '\0' || names->count == kMostNames) return;
  char* slot = names->names[names->count];
  if (Append(slot, kNameCapacity, Append(slot, kNameCapacity, 0, prefix), name, flatten) >=
      kNameCapacity) {
    return;
  }
  for (std::size_t i = 0; i < names->count; ++i) {
    if (SameText(names->names[i], slot)) return;
  }
  ++names->count;
}

// ttyUSB0 for /dev/ttyUSB0; pts_3 and 3 for /dev/pts/3. Lock-taking
// programs differ on which form they write.
void AddNamesOf(LockNames* names, const char* path) {
  if (StartsWith(path, kDevPrefix)) AddName(names, "LCK..", path + 5, true);
  AddName(names, "LCK..", BaseName(path), false);
}

// SVR4 names a lock by the numbers of the file system holding the device
// node and of the device itself: LK.000.188.000.
void AddSvr4Name(LockNames* names, const struct stat& device) {
  if (names->count == kMostNames) return;
  char* slot = names->names[names->count];
  std::size_t length = Append(slot, kNameCapacity, 0, "LK.");
  length = AppendNumber(slot, kNameCapacity, length, major(device.st_dev), 3);
  length = Append(slot, kNameCapacity, length, ".");
  length = AppendNumber(slot, kNameCapacity, length, major(device.st_rdev), 3);
  length = Append(slot, kNameCapacity, length, ".");
  if (AppendNumber(slot, kNameCapacity, length, minor(device.st_rdev), 3) < kNameCapacity) {
    ++names->count;
  }
}

// Reads a file's start into buffer, NUL-terminated; false when it cannot.
bool ReadStart(const char* path, char* buffer, std::size_t capacity) {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return false;
  const ssize_t length = ::read(fd, buffer, capacity - 1);
  ::close(fd);
  if (length < 0) return false;
  buffer[length] = '\0';
  return true;
}

const char* ParseNumber(const char* text, unsigned long long* number) {
  *number = 0;
  const char* start = text;
  for (; *text >= '0' && *text <= '9' && text - start < 19; ++text) {
    *number = *number * 10 + static_cast<unsigned long long>(*text - '0');
  }
  return text == start ? nullptr : text;
}

// When the process started, in clock ticks since boot: field 22 of
// /proc/PID/stat, counted after the command in parentheses, which may itself
// hold spaces and parentheses.
bool ReadStartTicks(const char* proc, pid_t pid, unsigned long long* ticks) {
  char path[64];
  std::size_t length = Append(path, sizeof path, 0, proc);
  length = AppendNumber(path, sizeof path, Append(path, sizeof path, length, "/"),
                        static_cast<unsigned long long>(pid), 1);
  char stat[1024];
  if (Append(path, sizeof path, length, "/stat") >= sizeof path ||
      !ReadStart(path, stat, sizeof stat)) {
    return false;
  }
  const char* fields = nullptr;
  for (const char* c = stat; *c != '\0'; ++c) {
    if (*c == ')') fields = c + 1;
  }
  if (fields == nullptr) return false;
  for (int field = 3; field < kStartTimeField; ++field) {
    while (*fields == ' ') ++fields;
    while (*fields != ' ' && *fields != '\0') ++fields;
  }
  while (*fields == ' ') ++fields;
  return ParseNumber(fields, ticks) != nullptr;
}

// The wall-clock second the machine booted: /proc/stat's "btime" line, which
// comes after one line per processor, so the file is read in pieces.
bool ReadBootTime(const char* proc, long long* seconds) {
  char path[64];
  if (Append(path, sizeof path, Append(path, sizeof path, 0, proc), "/stat") >= sizeof path) {
    return false;
  }
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return false;
  static const char kKey[] = "\nbtime ";
  std::size_t matched = 1;  // the file's start is a line's start
  unsigned long long value = 0;
  int digits = 0;
  bool done = false;
  char piece[1024];
  ssize_t length;
  while (!done && (length = ::read(fd, piece, sizeof piece)) > 0) {
    for (ssize_t i = 0; i < length && !done; ++i) {
      const char c = piece[i];
      if (matched == sizeof kKey - 1) {  // in the number, which may span two pieces
        done = c < '0' || c > '9' || digits == 19;
        if (!done) value = value * 10 + static_cast<unsigned long long>(c - '0'), ++digits;
      } else if (c == kKey[matched]) {
        ++matched;
      } else {
        matched = c == '\n' ? 1 : 0;
      }
    }
  }
  ::close(fd);
  *seconds = static_cast<long long>(value);
  return digits > 0;
}

// A pid is given again once its process has ended: a process that started
// after the lock was last written did not write it. False when /proc does not
// tell (hidepid, say), so that the lock holds.
bool StartedAfter(const char* proc, pid_t pid, time_t written) {
  unsigned long long ticks = 0;
  long long boot = 0;
  if (!ReadStartTicks(proc, pid, &ticks) || !ReadBootTime(proc, &boot)) return false;
  return boot + static_cast<long long>(ticks / kClockTicksPerSecond) >
         static_cast<long long>(written) + kClockSlackSeconds;
}

bool IsAsciiPid(const unsigned char* bytes, ssize_t length) {
  for (ssize_t i = 0; i < length; ++i) {
    const unsigned char c = bytes[i];
    if (!(c == ' ' || c == '\n' || c == '\t' || (c >= '0' && c <= '9'))) return false;
  }
  return true;
}

// HDB lock files hold the pid as ten ASCII digits and a newline; older
// programs wrote the binary int itself, four bytes. An empty or garbled file
// names no pid (0). False when the file cannot be read.
bool ReadLockPid(int fd, pid_t* pid) {
  unsigned char bytes[32];
  const ssize_t length = ::read(fd, bytes, sizeof bytes);
  *pid = 0;
  if (length < 0) return false;
  if (length == static_cast<ssize_t>(sizeof(int)) && !IsAsciiPid(bytes, length)) {
    int binary = 0;
    std::memcpy(&binary, bytes, sizeof binary);
    *pid = binary > 0 ? static_cast<pid_t>(binary) : 0;
    return true;
  }
  long number = 0;
  ssize_t i = 0;
  while (i < length && (bytes[i] == ' ' || bytes[i] == '\t')) ++i;
  for (; i < length && bytes[i] >= '0' && bytes[i] <= '9'; ++i) {
    number = number * 10 + (bytes[i] - '0');
    if (number > INT_MAX) return true;
  }
  *pid = static_cast<pid_t>(number);
  return true;
}

// EPERM: the process is there but belongs to another user.
bool ProcessExists(pid_t pid) {
  if (pid <= 0) return false;
  const int result = ::kill(pid, 0);
  const int error = errno;
  return result == 0 || error == EPERM;
}

// Judges the lock file NAME, its folder already in lock->path up to
// `folder`; false when there is none.
bool ReadLock(std::size_t folder, const char* name, const char* proc, UucpLock* lock) {
  if (Append(lock->path, kLockPathCapacity, folder, name) >= kLockPathCapacity) return false;
  struct stat file;
  if (::fstatat(AT_FDCWD, lock->path, &file, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(file.st_mode)) {
    return false;
  }
  const int fd = ::open(lock->path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  const int error = errno;
  if (fd < 0 && error == ENOENT) return false;  // removed since
  lock->owner = file.st_uid;
  lock->pid = 0;
  lock->pidReused = false;
  // A lock that exists but may not be read is another user's: it holds.
  lock->readable = fd >= 0 && ReadLockPid(fd, &lock->pid);
  if (fd >= 0) ::close(fd);
  lock->held = !lock->readable || ProcessExists(lock->pid);
  if (lock->readable && lock->held && StartedAfter(proc, lock->pid, file.st_mtime)) {
    lock->pidReused = true;
    lock->held = false;
  }
  return true;
}

// Looks for each name in each lock folder, keeping the first lock found or
// a held one over a stale one; true once one holds, which ends the look-up.
// /var/lock is mostly a link to /run/lock: a folder that is the first one
// again is not looked into twice.
bool LookFor(const LockPlaces& places, const char (*names)[kNameCapacity], std::size_t count,
             bool* any, UucpLock* found) {
  dev_t firstDevice = 0;
  ino_t firstInode = 0;
  for (const char* const* folder = places.lockFolders; *folder != nullptr; ++folder) {
    struct stat status;
    const bool known = ::fstatat(AT_FDCWD, *folder, &status, 0) == 0;
    if (folder == places.lockFolders) {
      firstDevice = known ? status.st_dev : 0;
      firstInode = known ? status.st_ino : 0;
    } else if (known && firstInode != 0 && status.st_dev == firstDevice &&
               status.st_ino == firstInode) {
      continue;
    }
    UucpLock lock;
    const std::size_t prefix =
        Append(lock.path, kLockPathCapacity, Append(lock.path, kLockPathCapacity, 0, *folder), "/");
    for (std::size_t i = 0; i < count; ++i) {
      if (!ReadLock(prefix, names[i], places.proc, &lock)) continue;
      if (!*any || (lock.held && !found->held)) *found = lock;
      *any = true;
      if (lock.held) return true;
    }
  }
  return false;
}

// A program given /dev/serial/by-id/usb-FTDI_... names its lock after that
// link: each link in the folder that leads to the device counts.
bool LookThroughLinks(const LockPlaces& places, const char* folder, dev_t device, bool* any,
                      UucpLock* found) {
  const int fd = ::open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  alignas(struct dirent64) char entries[2048];
  bool held = false;
  ssize_t length;
  while (!held && (length = ::getdents64(fd, entries, sizeof entries)) > 0) {
    for (ssize_t at = 0; at < length && !held;) {
      const struct dirent64* entry = reinterpret_cast<const struct dirent64*>(entries + at);
      at += entry->d_reclen;
      struct stat target;
      char name[1][kNameCapacity];
      if (entry->d_name[0] == '.' || ::fstatat(fd, entry->d_name, &target, 0) != 0 ||
          !S_ISCHR(target.st_mode) || target.st_rdev != device ||
          Append(name[0], kNameCapacity, Append(name[0], kNameCapacity, 0, "LCK.."),
                 entry->d_name) >= kNameCapacity) {
        continue;
      }
      held = LookFor(places, name, 1, any, found);
    }
  }
  ::close(fd);
  return held;
}

}  // namespace

const LockPlaces kUucpLockPlaces = {kLockFolders, kLinkFolders, "/proc"};

bool FindUucpLock(const char* devicePath, const LockPlaces& places, UucpLock* found) {
  LockNames names;
  names.count = 0;
  AddNamesOf(&names, devicePath);
  // Only a link's target can give the device another name; a name that is
  // no link is taken as it is, without resolving every folder on its way.
  struct stat device;
  bool isDevice = ::fstatat(AT_FDCWD, devicePath, &device, AT_SYMLINK_NOFOLLOW) == 0;
  if (isDevice && S_ISLNK(device.st_mode)) {
    char resolved[PATH_MAX];
    isDevice = ::realpath(devicePath, resolved) != nullptr &&
               ::fstatat(AT_FDCWD, resolved, &device, AT_SYMLINK_NOFOLLOW) == 0;
    if (isDevice) AddNamesOf(&names, resolved);
  }
  isDevice = isDevice && S_ISCHR(device.st_mode);
  if (isDevice) AddSvr4Name(&names, device);

  bool any = false;
  if (LookFor(places, names.names, names.count, &any, found)) return true;
  for (const char* const* folder = places.linkFolders; isDevice && *folder != nullptr; ++folder) {
    if (LookThroughLinks(places, *folder, device.st_rdev, &any, found)) return true;
  }
  return any;
}

bool TerminalIsExclusive(int fd) {
#ifdef TIOCGEXCL
  int exclusive = 0;
  return ::ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0;
#else
  (void)fd;
  return false;
#endif
}
