#include "serial/own_uucp_lock_linux.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <initializer_list>

#include "serial/fixed_text.h"
#include "serial/kernel_calls_linux.h"
#include "serial/lock_holder_linux.h"
#include "serial/uucp_lock_linux.h"
#include "serial/uucp_lock_names_linux.h"

namespace {

// This run's own lock file, while it has one; empty otherwise.
char ownLock[kLockPathCapacity];

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
  if (ownLock[0] != '\0' && LockPid(ownLock) == KernelGetPid()) KernelUnlink(ownLock);
}

// A run stopped by a signal (timeout, Ctrl-C, a hangup) takes its lock with
// it; only SIGKILL leaves one, whose pid has then gone, so the next run
// calls it stale.
void ReleaseAndStop(int signal) {
  RemoveOwnLock();
  ::signal(signal, SIG_DFL);
  KernelKill(KernelGetPid(), signal);
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
  const unsigned long long self = static_cast<unsigned long long>(KernelGetPid());
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
  KernelUnlink(temporary);  // one a killed run of this pid left
  const int fd = ::open(temporary, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) return EACCES;  // a folder this user may not write
  const bool written = ::write(fd, text, 11) == 11;
  ::close(fd);
  int linked = written ? KernelLink(temporary, lock) : -1;
  int error = written ? errno : EIO;
  if (linked != 0 && error == EEXIST && LeftByDeadRun(lock)) {
    KernelUnlink(lock);
    linked = KernelLink(temporary, lock);
    error = errno;
  }
  struct stat count;
  const bool taken = linked == 0 || (written && ::fstatat(AT_FDCWD, temporary, &count, 0) == 0 &&
                                     count.st_nlink == 2);
  KernelUnlink(temporary);
  if (!taken) return error;
  Append(ownLock, sizeof ownLock, 0, lock);
  return 0;
}

}  // namespace

bool TakeUucpLock(const char* devicePath) {
  ReleaseUucpLock();
  char resolved[PATH_MAX];
  const char* device = ::realpath(devicePath, resolved) != nullptr ? resolved : devicePath;
  // A lock names a device. A path that leads to none (a test's stand-in
  // port) takes none: two such runs would each see the other's as held.
  struct stat node;
  if (::fstatat(AT_FDCWD, device, &node, 0) != 0 || !S_ISCHR(node.st_mode)) return false;
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
  for (const char* const* folder = kUucpLockPlaces.lockFolders; *folder != nullptr; ++folder) {
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

bool IsOwnUucpLock(const char* path, pid_t pid) {
  return pid == KernelGetPid() && SameText(path, ownLock);
}
