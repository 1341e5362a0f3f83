#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>

#include "serial/fixed_text.h"
#include "serial/rfc2217_client.h"
#include "switch/port_turn.h"
#include "switch/run_guard.h"

namespace {

constexpr char kLockFolder[] = "/run/lock/kavnori-";
constexpr char kDevicePrefix[] = "/dev/";

bool IsSameFolder(const char* path, int fd) {
  struct stat atName;
  struct stat opened;
  return ::lstat(path, &atName) == 0 && S_ISDIR(atName.st_mode) && ::fstat(fd, &opened) == 0 &&
         atName.st_dev == opened.st_dev && atName.st_ino == opened.st_ino;
}

// The folder is made by the first run and opened read-only as FOLDER/.,
// which is never created and fails on anything but a folder: with
// fs.protected_regular, no one may open another user's file in /run/lock
// with O_CREAT, and a folder made by any user serves every user and root.
// That open follows a link, so what was opened is compared with what stands
// at the name: a link (through which another user would choose where
// everyone locks), or anything else, turns the run away.
TurnResult OpenLockFolder(const char* path, int* fd) {
  char dot[kTurnNameCapacity + sizeof kLockFolder + 2];
  Append(dot, sizeof dot, Append(dot, sizeof dot, 0, path), "/.");
  ::mkdir(path, 0755);
  *fd = ::open(dot, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (*fd < 0)
    return errno == ENOTDIR || errno == ELOOP ? TurnResult::kNotFolder : TurnResult::kUnusable;
  if (IsSameFolder(path, *fd)) return TurnResult::kTaken;
  ::close(*fd);
  *fd = -1;
  return TurnResult::kNotFolder;
}

TurnResult Lock(int fd, int waitMs) {
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return TurnResult::kTaken;
  if (errno != EWOULDBLOCK) return TurnResult::kUnusable;
  if (waitMs <= 0) return TurnResult::kBusy;
  ArmTimeLimit(waitMs);
  const int locked = ::flock(fd, LOCK_EX);
  const int error = errno;
  DisarmTimeLimit();
  if (locked == 0) return TurnResult::kTaken;
  return error == EINTR ? TurnResult::kBusy : TurnResult::kUnusable;
}

}  // namespace

void NameLocalTurn(const char* portName, PortTurn* turn) {
  char device[PATH_MAX];
  if (::realpath(portName, device) == nullptr) return;
  const char* below =
      StartsWith(device, kDevicePrefix) ? device + sizeof kDevicePrefix - 1 : device;
  Append(turn->names[0], kTurnNameCapacity, 0, below, true);
  turn->count = 1;
}

void LockFolderPath(const PortTurn& turn, int i, char* path, std::size_t capacity) {
  Append(path, capacity, Append(path, capacity, 0, kLockFolder), turn.names[i]);
}

TurnResult TakePortTurn(PortTurn* turn, int waitMs) {
  const std::int64_t until = MonotonicMs() + waitMs;
  for (int i = 0; i < turn->count; ++i) {
    char path[kTurnNameCapacity + sizeof kLockFolder];
    LockFolderPath(*turn, i, path, sizeof path);
    TurnResult result = OpenLockFolder(path, &turn->folders[i]);
    if (result == TurnResult::kTaken) {
      result = Lock(turn->folders[i], static_cast<int>(until - MonotonicMs()));
    }
    if (result != TurnResult::kTaken) {
      turn->failed = i;
      GivePortTurn(turn);
      return result;
    }
  }
  return TurnResult::kTaken;
}

void GivePortTurn(PortTurn* turn) {
  for (int& fd : turn->folders) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
}
