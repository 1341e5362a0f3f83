#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "serial/fixed_text.h"
#include "switch/relay_state.h"

namespace {

constexpr char kBootId[] = "/proc/sys/kernel/random/boot_id";
constexpr int kLockWaitMs = 20000;
constexpr long kLockPollNs = 1000000;

void ReadBootId(char* id, std::size_t capacity) {
  std::memset(id, 0, capacity);
  const int fd = ::open(kBootId, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  const ssize_t got = ::read(fd, id, capacity - 1);
  ::close(fd);
  if (got > 0 && id[got - 1] == '\n') id[got - 1] = '\0';
}

// Without O_CREAT first: with fs.protected_regular=2 an open with O_CREAT
// of another user's file in /run/lock fails even where it exists. Made with
// O_EXCL, so that nothing is ever created through a link, and then opened
// to every user, whatever the umask. O_NONBLOCK: a FIFO put at the name
// must not hang the open.
int OpenStateFile(const char* path) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    const int fd = ::open(path, O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd >= 0 || errno != ENOENT) return fd;
    const int made = ::open(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (made >= 0) {
      ::fchmod(made, 0666);
      return made;
    }
    if (errno != EEXIST) return -1;
  }
  return -1;
}

// Only a plain file with one name: not a device or FIFO someone put there,
// nor a hard link to a file of theirs elsewhere.
bool IsPlainFile(int fd) {
  struct stat status;
  return ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_nlink == 1;
}

bool LockWithin(int fd, int waitMs) {
  for (int waited = 0; ::flock(fd, LOCK_EX | LOCK_NB) != 0; ++waited) {
    if (errno != EWOULDBLOCK || waited >= waitMs) return false;
    struct timespec pause = {0, kLockPollNs};
    ::nanosleep(&pause, nullptr);
  }
  return true;
}

}  // namespace

std::size_t AppendStateFolder(char* path, std::size_t capacity) {
  return Append(path, capacity, 0, "/run/lock/kavnori-state-");
}

bool OpenRelayStates(const char* lockName, std::uint8_t address, StateFile* file) {
  char path[400];
  StatePath(lockName, address, path, sizeof path);
  file->fd = OpenStateFile(path);
  if (file->fd < 0) return false;
  if (!IsPlainFile(file->fd) || !LockWithin(file->fd, kLockWaitMs)) {
    CloseRelayStates(file);
    return false;
  }
  char bootId[sizeof file->states.bootId];
  ReadBootId(bootId, sizeof bootId);
  const ssize_t got = ::pread(file->fd, &file->states, sizeof file->states, 0);
  AcceptRelayStates(file,
                    got == static_cast<ssize_t>(sizeof file->states) &&
                        std::memcmp(file->states.bootId, bootId, sizeof bootId) == 0,
                    bootId);
  return true;
}

void SaveRelayStates(StateFile* file) {
  const ssize_t written = ::pwrite(file->fd, &file->states, sizeof file->states, 0);
  static_cast<void>(written);  // a state not kept reads as unknown
  CloseRelayStates(file);
}

void CloseRelayStates(StateFile* file) {
  if (file->fd >= 0) ::close(file->fd);
  file->fd = -1;
}
