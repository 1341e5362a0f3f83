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
#include <initializer_list>

namespace {

const char* const kLockFolders[] = {"/run/lock", "/var/lock", nullptr};
const char* const kLinkFolders[] = {"/dev/serial/by-id", "/dev/serial/by-path", nullptr};

// This run's own lock file, while it has one; empty otherwise.
char ownLock[kLockPathCapacity];

// A lock file's name is one path component.
constexpr std::size_t kNameCapacity = NAME_MAX + 1;
// As given and as resolved, each as its base name and its /dev path; SVR4's.
constexpr std::size_t kMostNames = 5;
constexpr const char* kDevPrefix = "/dev/";

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

// Whether process `pid` has the device `device` open, from its /proc/PID/fd:
// a live pid holds the port unless every one of its descriptors can be read
// and none is the port. No clock is compared: a clock stepped after the lock
// was written (a Raspberry Pi's, set by NTP after boot) must not make a live
// holder's lock stale.
bool MayHoldDevice(const char* proc, pid_t pid, bool isDevice, dev_t device) {
  if (!isDevice) return true;
  char path[64];
  std::size_t length = Append(path, sizeof path, 0, proc);
  length = AppendNumber(path, sizeof path, Append(path, sizeof path, length, "/"),
                        static_cast<unsigned long long>(pid), 1);
  if (Append(path, sizeof path, length, "/fd") >= sizeof path) return true;
  const int folder = ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) return true;  // hidepid, another user's process: cannot tell
  alignas(struct dirent64) char entries[2048];
  bool mayHold = false;
  ssize_t read;
  while (!mayHold && (read = ::getdents64(folder, entries, sizeof entries)) > 0) {
    for (ssize_t at = 0; at < read && !mayHold;) {
      const struct dirent64* entry = reinterpret_cast<const struct dirent64*>(entries + at);
      at += entry->d_reclen;
      if (entry->d_name[0] == '.') continue;
      struct stat target;
      if (::fstatat(folder, entry->d_name, &target, 0) != 0) {
        mayHold = errno != ENOENT;  // closed since: not the port
        continue;
      }
      mayHold = S_ISCHR(target.st_mode) && target.st_rdev == device;
    }
  }
  if (read < 0) mayHold = true;
  ::close(folder);
  return mayHold;
}

bool IsAsciiPid(const unsigned char* bytes, ssize_t length) {
  for (ssize_t i = 0; i < length; ++i) {
    const unsigned char c = bytes[i];
    const bool blank = c == ' ' || (c >= '\t' && c <= '\r');
    if (!(blank || c == '+' || c == '-' || (c >= '0' && c <= '9'))) return false;
  }
  return true;
}

// HDB lock files hold the pid as ten ASCII digits and a newline; older
// programs wrote the binary int itself, four bytes. As the programs that
// write them read them, leading white space (newlines too) and a sign may
// come first. An empty or garbled file names no pid (0). False when the file
// cannot be read.
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
  while (i < length && (bytes[i] == ' ' || (bytes[i] >= '\t' && bytes[i] <= '\r'))) ++i;
  if (i < length && bytes[i] == '-') return true;  // no pid a process can have
  if (i < length && bytes[i] == '+') ++i;
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

// Judges the node at lock name NAME, its folder already in lock->path up
// to `folder`; false when there is none. Whatever stands at a lock's name
// and cannot be judged (a directory, a FIFO, a link, an empty or garbled
// file, one this user may not read) holds: the port is never taken from
// under a program whose mark we cannot read.
bool ReadLock(std::size_t folder, const char* name, const LockPlaces& places, bool isDevice,
              dev_t device, UucpLock* lock) {
  if (Append(lock->path, kLockPathCapacity, folder, name) >= kLockPathCapacity) return false;
  struct stat file;
  if (::fstatat(AT_FDCWD, lock->path, &file, AT_SYMLINK_NOFOLLOW) != 0) return false;
  lock->owner = file.st_uid;
  lock->written = file.st_mtime;
  lock->isFile = S_ISREG(file.st_mode);
  lock->pid = 0;
  lock->readable = true;
  lock->holdsNoPort = false;
  if (lock->isFile) {
    const int fd = ::open(lock->path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    const int error = errno;
    if (fd < 0 && error == ENOENT) return false;  // removed since
    // A lock that exists but may not be read is another user's: it holds.
    lock->readable = fd >= 0 && ReadLockPid(fd, &lock->pid);
    if (fd >= 0) ::close(fd);
  }
  // This run's own lock; one renamed over it since names another pid.
  if (lock->isFile && lock->pid == ::getpid() && SameText(lock->path, ownLock)) return false;
  lock->judged = lock->isFile && lock->readable && lock->pid > 0;
  lock->held = !lock->judged || ProcessExists(lock->pid);
  if (lock->judged && lock->held && !MayHoldDevice(places.proc, lock->pid, isDevice, device)) {
    lock->holdsNoPort = true;
    lock->held = false;
  }
  return true;
}

// Looks for each name in each lock folder, keeping the first lock found or
// a held one over a stale one; true once one holds, which ends the look-up.
// /var/lock is mostly a link to /run/lock: a folder that is the first one
// again is not looked into twice.
bool LookFor(const LockPlaces& places, const char (*names)[kNameCapacity], std::size_t count,
             bool isDevice, dev_t device, bool* any, UucpLock* found) {
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
      if (!ReadLock(prefix, names[i], places, isDevice, device, &lock)) continue;
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
      held = LookFor(places, name, 1, true, device, any, found);
    }
  }
  ::close(fd);
  return held;
}

// A program given a /dev link of a udev rule (SYMLINK+="relay1") writes
// LCK..relay1: each LCK..NAME in the lock folders whose /dev/NAME leads to
// the device counts, whatever name Kavnori was given.
bool LookThroughLockNames(const LockPlaces& places, dev_t device, bool* any, UucpLock* found) {
  bool held = false;
  for (const char* const* folder = places.lockFolders; !held && *folder != nullptr; ++folder) {
    const int fd = ::open(*folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) continue;
    alignas(struct dirent64) char entries[2048];
    ssize_t length;
    while (!held && (length = ::getdents64(fd, entries, sizeof entries)) > 0) {
      for (ssize_t at = 0; at < length && !held;) {
        const struct dirent64* entry = reinterpret_cast<const struct dirent64*>(entries + at);
        at += entry->d_reclen;
        char path[kLockPathCapacity];
        struct stat target;
        char name[1][kNameCapacity];
        if (!StartsWith(entry->d_name, "LCK..") ||
            Append(path, sizeof path, Append(path, sizeof path, 0, places.dev),
                   entry->d_name + 5) >= sizeof path ||
            ::fstatat(AT_FDCWD, path, &target, 0) != 0 || !S_ISCHR(target.st_mode) ||
            target.st_rdev != device ||
            Append(name[0], kNameCapacity, 0, entry->d_name) >= kNameCapacity) {
          continue;
        }
        held = LookFor(places, name, 1, true, device, any, found);
      }
    }
    ::close(fd);
  }
  return held;
}

}  // namespace

const LockPlaces kUucpLockPlaces = {kLockFolders, kLinkFolders, "/proc", "/dev/"};

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
  if (LookFor(places, names.names, names.count, isDevice, device.st_rdev, &any, found)) return true;
  for (const char* const* folder = places.linkFolders; isDevice && *folder != nullptr; ++folder) {
    if (LookThroughLinks(places, *folder, device.st_rdev, &any, found)) return true;
  }
  if (isDevice && LookThroughLockNames(places, device.st_rdev, &any, found)) return true;
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

bool HeldByRecordLock(int fd) {
  // Any lock another process has that would stand against a write lock of
  // the whole file: F_SETLK and lockf take POSIX locks, F_OFD_SETLK open-file
  // ones, and OFD's query sees both. A kernel or emulator without it answers
  // EINVAL; the POSIX query then sees the POSIX ones.
  struct flock query = {};
  query.l_type = F_WRLCK;
  query.l_whence = SEEK_SET;
#ifdef F_OFD_GETLK
  if (::fcntl(fd, F_OFD_GETLK, &query) == 0) return query.l_type != F_UNLCK;
  query = {};
  query.l_type = F_WRLCK;
  query.l_whence = SEEK_SET;
#endif
  return ::fcntl(fd, F_GETLK, &query) == 0 && query.l_type != F_UNLCK;
}

bool IsPseudoTerminalMaster(int fd) {
#ifdef TIOCGPTN
  unsigned int number = 0;
  return ::ioctl(fd, TIOCGPTN, &number) == 0;
#else
  (void)fd;
  return false;
#endif
}

namespace {

// The pid in the plain file at `lock`; 0 when there is none or it names none.
pid_t LockPid(const char* lock) {
  const int fd = ::open(lock, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return 0;
  pid_t pid = 0;
  const bool read = ReadLockPid(fd, &pid);  // a directory or FIFO reads nothing
  ::close(fd);
  return read ? pid : 0;
}

// Removes the run's lock unless another program's replaced it (renamed its
// own over it). Safe in a signal handler: open, read, unlink.
void RemoveOwnLock() {
  if (ownLock[0] != '\0' && LockPid(ownLock) == ::getpid()) ::unlink(ownLock);
}

// A run stopped by a signal (timeout, Ctrl-C, a hangup) takes its lock with
// it; only SIGKILL leaves one, whose pid has then gone, so the next run
// calls it stale.
void ReleaseAndStop(int signal) {
  RemoveOwnLock();
  ::signal(signal, SIG_DFL);
  ::kill(::getpid(), signal);
}

// A lock at our own name whose pid runs no process: a run killed with
// SIGKILL left it. Only ever asked once this run has the port's flock.
bool LeftByDeadRun(const char* lock) {
  const pid_t pid = LockPid(lock);
  return pid > 0 && !ProcessExists(pid);
}

// Writes this process's pid, HDB's ten characters and a newline, into a new
// file of its own in `folder`, and links it to the lock's name: link() never
// replaces a file, so of two programs only one gets the name. Its link count
// tells when link() answers wrongly (NFS). 0 once taken, else the reason.
int LinkOwnLock(const char* folder, const char* name) {
  char temporary[kLockPathCapacity], lock[kLockPathCapacity];
  const unsigned long long self = static_cast<unsigned long long>(::getpid());
  std::size_t length = Append(temporary, sizeof temporary, 0, folder);
  if (AppendNumber(temporary, sizeof temporary,
                   Append(temporary, sizeof temporary, length, "/LTMP."), self,
                   1) >= sizeof temporary ||
      Append(lock, sizeof lock,
             Append(lock, sizeof lock, Append(lock, sizeof lock, 0, folder), "/"),
             name) >= sizeof lock) {
    return ENAMETOOLONG;
  }
  char text[12] = "          \n";
  for (unsigned long long rest = self, at = 10; rest != 0 && at != 0; rest /= 10) {
    text[--at] = static_cast<char>('0' + rest % 10);
  }
  ::unlink(temporary);  // one a killed run of this pid left
  const int fd = ::open(temporary, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) return EACCES;  // a folder this user may not write
  const bool written = ::write(fd, text, 11) == 11;
  ::close(fd);
  int linked = written ? ::link(temporary, lock) : -1;
  int error = written ? errno : EIO;
  if (linked != 0 && error == EEXIST && LeftByDeadRun(lock)) {
    ::unlink(lock);
    linked = ::link(temporary, lock);
    error = errno;
  }
  struct stat count;
  const bool taken = linked == 0 || (written && ::fstatat(AT_FDCWD, temporary, &count, 0) == 0 &&
                                     count.st_nlink == 2);
  ::unlink(temporary);
  if (!taken) return error;
  Append(ownLock, sizeof ownLock, 0, lock);
  return 0;
}

}  // namespace

bool TakeUucpLock(const char* devicePath) {
  ReleaseUucpLock();
  char resolved[PATH_MAX];
  const char* device = ::realpath(devicePath, resolved) != nullptr ? resolved : devicePath;
  LockNames names;
  names.count = 0;
  AddNamesOf(&names, device);  // LCK..ttyUSB0, LCK..pts_3: the first, as minicom names it
  if (names.count == 0) return false;
  static bool cleanupSet = false;
  if (!cleanupSet) {
    cleanupSet = true;
    // A signal the caller had ignored (nohup, a background job's SIGINT)
    // stays ignored.
    for (const int stop : {SIGTERM, SIGINT, SIGHUP}) {
      if (::signal(stop, ReleaseAndStop) == SIG_IGN) ::signal(stop, SIG_IGN);
    }
  }
  for (const char* const* folder = kLockFolders; *folder != nullptr; ++folder) {
    const int result = LinkOwnLock(*folder, names.names[0]);
    if (result == 0) return true;
    if (result == EEXIST) return false;  // a lock stands there: judged again before the write
  }
  return false;
}

void ReleaseUucpLock() {
  RemoveOwnLock();
  ownLock[0] = '\0';
}
