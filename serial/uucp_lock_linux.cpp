#include "serial/uucp_lock_linux.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "serial/fixed_text.h"
#include "serial/folder_entries_linux.h"
#include "serial/lock_holder_linux.h"
#include "serial/uucp_lock_names_linux.h"

namespace {

constexpr char kLockPrefix[] = "LCK..";  // of a lock named after its device

const char* const kLockFolders[] = {"/run/lock", "/var/lock", nullptr};
const char* const kLinkFolders[] = {"/dev/serial/by-id", "/dev/serial/by-path", nullptr};

// Judges the node at lock name NAME, its folder already in lock->path up
// to `folder`; false when there is none. Whatever stands at a lock's name
// and cannot be judged (a directory, a FIFO, a link, an empty or garbled
// file, one this user may not read) holds: the port is never taken from
// under a program whose mark we cannot read.
bool ReadLock(std::size_t folder, const char* name, const LockPlaces& places,
              const OwnLockMark& own, UucpLock* lock) {
  if (Append(lock->path, kLockPathCapacity, folder, name) >= kLockPathCapacity) return false;
  struct stat file;
  if (::fstatat(AT_FDCWD, lock->path, &file, AT_SYMLINK_NOFOLLOW) != 0) return false;
  lock->owner = file.st_uid;
  lock->written = file.st_mtime;
  lock->isFile = S_ISREG(file.st_mode);
  lock->pid = 0;
  lock->readable = true;
  if (lock->isFile) {
    const int fd = ::open(lock->path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    const int error = errno;
    if (fd < 0 && error == ENOENT) return false;  // removed since
    // A lock that exists but may not be read is another user's: it holds.
    lock->readable = fd >= 0 && ReadLockPid(fd, &lock->pid);
    if (fd >= 0) ::close(fd);
  }
  // This run's own lock; one renamed over it since names another pid.
  if (lock->isFile && own.path != nullptr && lock->pid == own.pid &&
      SameText(lock->path, own.path)) {
    return false;
  }
  lock->judged = lock->isFile && lock->readable && lock->pid > 0;
  lock->held = !lock->judged || ProcessLives(places.proc, lock->pid);
  return true;
}

// /var/lock is mostly a link to /run/lock: a folder that is the first one
// again is not looked into twice.
bool IsFirstAgain(const char* const* folders, const char* const* folder) {
  struct stat first, here;
  return folder != folders && ::fstatat(AT_FDCWD, *folders, &first, 0) == 0 &&
         ::fstatat(AT_FDCWD, *folder, &here, 0) == 0 && first.st_dev == here.st_dev &&
         first.st_ino == here.st_ino;
}

// Looks for each name in each lock folder, keeping the first lock found or
// a held one over a stale one; true once one holds, which ends the look-up.
bool LookFor(const LockPlaces& places, const OwnLockMark& own,
             const char (*names)[kLockNameCapacity], std::size_t count, bool* any,
             UucpLock* found) {
  for (const char* const* folder = places.lockFolders; *folder != nullptr; ++folder) {
    if (IsFirstAgain(places.lockFolders, folder)) continue;
    UucpLock lock;
    const std::size_t prefix =
        Append(lock.path, kLockPathCapacity, Append(lock.path, kLockPathCapacity, 0, *folder), "/");
    for (std::size_t i = 0; i < count; ++i) {
      if (!ReadLock(prefix, names[i], places, own, &lock)) continue;
      if (!*any || (lock.held && !found->held)) *found = lock;
      *any = true;
      if (lock.held) return true;
    }
  }
  return false;
}

// Where a look through a folder stands.
struct Search {
  const LockPlaces& places;
  const OwnLockMark& own;
  dev_t device;
  bool* any;
  UucpLock* found;
};

// The lock `lockName` when `target`, looked up from `at`, is the device;
// true once one holds.
bool LookForLockOf(int at, const char* target, const char* lockName, const Search& search) {
  struct stat node;
  char name[kLockNameCapacity];
  if (::fstatat(at, target, &node, 0) != 0 || !S_ISCHR(node.st_mode) ||
      node.st_rdev != search.device || Append(name, sizeof name, 0, lockName) >= sizeof name) {
    return false;
  }
  return LookFor(search.places, search.own, &name, 1, search.any, search.found);
}

// A program given /dev/serial/by-id/usb-FTDI_... names its lock after that
// link: each link in the folder that leads to the device counts.
bool LookForLinkLock(int folder, const char* link, void* context) {
  char lockName[kLockNameCapacity];
  return Append(lockName, sizeof lockName, Append(lockName, sizeof lockName, 0, kLockPrefix),
                link) < sizeof lockName &&
         LookForLockOf(folder, link, lockName, *static_cast<Search*>(context));
}

// A program given a /dev link of a udev rule (SYMLINK+="relay1") writes
// LCK..relay1: each LCK..NAME in the lock folders whose /dev/NAME leads to
// the device counts, whatever name Kavnori was given.
bool LookForDevNameLock(int, const char* lock, void* context) {
  const Search& search = *static_cast<Search*>(context);
  char path[kLockPathCapacity];
  return StartsWith(lock, kLockPrefix) &&
         Append(path, sizeof path, Append(path, sizeof path, 0, search.places.dev),
                lock + sizeof kLockPrefix - 1) < sizeof path &&
         LookForLockOf(AT_FDCWD, path, lock, search);
}

bool LookThrough(const char* const* folders, bool (*visit)(int, const char*, void*),
                 Search* search) {
  for (const char* const* folder = folders; *folder != nullptr; ++folder) {
    if (IsFirstAgain(folders, folder)) continue;
    const int fd = ::open(*folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) continue;
    const bool held = VisitEntries(fd, visit, search) == 1;
    ::close(fd);
    if (held) return true;
  }
  return false;
}

}  // namespace

const LockPlaces kUucpLockPlaces = {kLockFolders, kLinkFolders, "/proc", "/dev/"};

void NameLockTarget(const char* devicePath, LockTarget* target) {
  target->names.count = 0;
  AddNamesOf(&target->names, devicePath);
  // Only a link's target can give the device another name; a name that is
  // no link is taken as it is, without resolving every folder on its way.
  struct stat device;
  bool isDevice = ::fstatat(AT_FDCWD, devicePath, &device, AT_SYMLINK_NOFOLLOW) == 0;
  if (isDevice && S_ISLNK(device.st_mode)) {
    char resolved[PATH_MAX];
    isDevice = ::realpath(devicePath, resolved) != nullptr &&
               ::fstatat(AT_FDCWD, resolved, &device, AT_SYMLINK_NOFOLLOW) == 0;
    if (isDevice) AddNamesOf(&target->names, resolved);
  }
  target->isDevice = isDevice && S_ISCHR(device.st_mode);
  target->device = target->isDevice ? device.st_rdev : 0;
  if (target->isDevice) AddSvr4Name(&target->names, device);
}

bool FindUucpLockOf(const LockTarget& target, const LockPlaces& places, const OwnLockMark& own,
                    UucpLock* found) {
  bool any = false;
  if (LookFor(places, own, target.names.names, target.names.count, &any, found)) return true;
  Search search = {places, own, target.device, &any, found};
  if (target.isDevice && (LookThrough(places.linkFolders, LookForLinkLock, &search) ||
                          LookThrough(places.lockFolders, LookForDevNameLock, &search))) {
    return true;
  }
  return any;
}

bool FindUucpLock(const char* devicePath, const LockPlaces& places, UucpLock* found) {
  LockTarget target;
  NameLockTarget(devicePath, &target);
  return FindUucpLockOf(target, places, OwnLockMark{nullptr, 0}, found);
}
