#include "serial/own_uucp_lock_linux.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

#include "serial/fixed_text.h"
#include "serial/folder_entries_linux.h"
#include "serial/kernel_calls_linux.h"
#include "serial/lock_holder_linux.h"
#include "serial/uucp_lock_linux.h"
#include "serial/uucp_lock_names_linux.h"

namespace {

// This run's own lock file and the file it writes first, named before either
// is made, so that a signal at any step removes what was made; empty while
// the run has none. Here rather than in the SerialPort record: the handler of
// a signal that stops the run reaches no record.
char ownLock[kLockPathCapacity];
char ownTemporary[kLockPathCapacity];
// Set once both names are whole: a signal may come while they are written.
volatile sig_atomic_t namesKnown = 0;
// The file this run wrote: only that one, at the lock's name, is its lock.
dev_t ownFolder;
ino_t ownFile;

// The pid in the plain file at `lock`; 0 when there is none or it names none.
pid_t LockPid(const char* lock) {
  const int fd = ::open(lock, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return 0;
  pid_t pid = 0;
  const bool read = ReadLockPid(fd, &pid);  // a directory or FIFO reads nothing
  ::close(fd);
  return read ? pid : 0;
}

// Removes the run's files, but a lock another program has put in its place
// (renamed over it) or that stood there before. The temporary name holds
// this pid: no one else makes it. Safe in a signal handler: stat, open,
// read, unlink.
void RemoveOwnLock() {
  if (namesKnown == 0) return;
  if (ownTemporary[0] != '\0') KernelUnlink(ownTemporary);
  struct stat lock;
  if (ownLock[0] != '\0' && ::fstatat(AT_FDCWD, ownLock, &lock, AT_SYMLINK_NOFOLLOW) == 0 &&
      lock.st_dev == ownFolder && lock.st_ino == ownFile && LockPid(ownLock) == KernelGetPid()) {
    KernelUnlink(ownLock);
  }
}

// A lock at our own name whose pid runs no process or a zombie: a run killed
// with SIGKILL left it. Only ever asked once this run has the port's flock.
bool LeftByDeadRun(const char* lock) {
  const pid_t pid = LockPid(lock);
  return pid > 0 && !ProcessLives(kUucpLockPlaces.proc, pid);
}

// LTMP.PID of a run killed with SIGKILL while it locked: no process of that
// pid is left to remove it. A live one's is its own.
bool RemoveIfDeadRunsTemporary(int, const char* name, void* folder) {
  static const char kTemporaryPrefix[] = "LTMP.";
  if (!StartsWith(name, kTemporaryPrefix)) return false;
  long pid = 0;
  for (const char* digit = name + sizeof kTemporaryPrefix - 1; *digit != '\0'; ++digit) {
    if (*digit < '0' || *digit > '9' || pid > INT_MAX / 10) return false;
    pid = pid * 10 + (*digit - '0');
  }
  char path[kLockPathCapacity];
  const std::size_t length = Append(path, sizeof path, 0, static_cast<const char*>(folder));
  if (pid > 0 && !ProcessExists(static_cast<pid_t>(pid)) &&
      Append(path, sizeof path, Append(path, sizeof path, length, "/"), name) < sizeof path) {
    KernelUnlink(path);
  }
  return false;
}

// Writes this process's pid, HDB's ten characters and a newline, into a new
// file of its own in `folder`, and links it to the lock's name: link() never
// replaces a file, so of two programs only one gets the name. Its link count
// tells when link() answers wrongly (NFS). 0 once taken, else the reason.
int LinkOwnLock(const char* folder, const char* name) {
  const unsigned long long self = static_cast<unsigned long long>(KernelGetPid());
  const std::size_t length = Append(ownLock, sizeof ownLock, 0, folder);
  if (AppendNumber(ownTemporary, sizeof ownTemporary,
                   Append(ownTemporary, sizeof ownTemporary,
                          Append(ownTemporary, sizeof ownTemporary, 0, folder), "/LTMP."),
                   self, 1) >= sizeof ownTemporary ||
      Append(ownLock, sizeof ownLock, Append(ownLock, sizeof ownLock, length, "/"), name) >=
          sizeof ownLock) {
    ReleaseUucpLock();
    return ENAMETOOLONG;
  }
  std::atomic_signal_fence(std::memory_order_seq_cst);  // the names whole before the mark
  namesKnown = 1;
  const int entries = ::open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (entries >= 0) {
    VisitEntries(entries, RemoveIfDeadRunsTemporary, const_cast<char*>(folder));
    ::close(entries);
  }
  char text[12] = "          \n";
  for (unsigned long long rest = self, at = 10; rest != 0 && at != 0; rest /= 10) {
    text[--at] = static_cast<char>('0' + rest % 10);
  }
  KernelUnlink(ownTemporary);  // one a killed run of this pid left
  const int fd = ::open(ownTemporary, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  const int opened = errno;
  if (fd < 0) {
    ReleaseUucpLock();
    return opened == EEXIST ? EIO : EACCES;  // most often a folder this user may not write
  }
  struct stat made;
  const bool written = ::fstatat(fd, "", &made, AT_EMPTY_PATH) == 0 && ::write(fd, text, 11) == 11;
  ::close(fd);
  ownFolder = written ? made.st_dev : 0;
  ownFile = written ? made.st_ino : 0;
  int linked = written ? KernelLink(ownTemporary, ownLock) : -1;
  int error = written ? errno : EIO;
  if (linked != 0 && error == EEXIST && LeftByDeadRun(ownLock)) {
    // Another user's, in sticky /run/lock, stays: a lock that holds nothing
    // and that this user cannot replace is as a folder this user may not
    // write.
    const bool removed = KernelUnlink(ownLock) == 0;
    linked = removed ? KernelLink(ownTemporary, ownLock) : -1;
    error = removed ? errno : EACCES;
  }
  struct stat count;
  const bool taken = linked == 0 || (written && ::fstatat(AT_FDCWD, ownTemporary, &count, 0) == 0 &&
                                     count.st_nlink == 2);
  if (!taken) {
    ReleaseUucpLock();  // the lock's name is another's: only the temporary file goes
    return error;
  }
  KernelUnlink(ownTemporary);
  ownTemporary[0] = '\0';
  return 0;
}

}  // namespace

OwnLock TakeUucpLock(const char* devicePath) {
  ReleaseUucpLock();
  char resolved[PATH_MAX];
  const char* device = ::realpath(devicePath, resolved) != nullptr ? resolved : devicePath;
  // A lock names a device. A path that leads to none (a test's stand-in
  // port) takes none: two such runs would each see the other's as held.
  struct stat node;
  if (::fstatat(AT_FDCWD, device, &node, 0) != 0 || !S_ISCHR(node.st_mode)) return OwnLock::kNone;
  LockNames names;
  names.count = 0;
  AddNamesOf(&names, device);  // LCK..ttyUSB0, LCK..pts_3: the first, as minicom names it
  if (names.count == 0) return OwnLock::kNone;
  for (const char* const* folder = kUucpLockPlaces.lockFolders; *folder != nullptr; ++folder) {
    const int result = LinkOwnLock(*folder, names.names[0]);
    if (result == 0) return OwnLock::kTaken;
    // Any answer but a folder this user may not write: the port is not ours.
    if (result != EACCES) return OwnLock::kRefused;
  }
  return OwnLock::kNone;
}

void ReleaseUucpLock() {
  RemoveOwnLock();
  namesKnown = 0;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  ownLock[0] = '\0';
  ownTemporary[0] = '\0';
}

OwnLockMark OwnUucpLock() { return OwnLockMark{ownLock, KernelGetPid()}; }
