#include "serial/port_holders_posix.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

const char* const kUucpLockFolders[] = {"/run/lock", "/var/lock", nullptr};

namespace {

constexpr std::size_t kNameCapacity = PATH_MAX;
constexpr std::size_t kMostNames = 4;  // base name and /dev path, as given and as resolved
constexpr const char* kDevPrefix = "/dev/";

struct LockNames {
  char names[kMostNames][kNameCapacity];
  std::size_t count;
};

void AddName(LockNames* names, const char* name) {
  if (name[0] == '\0' || names->count == kMostNames) return;
  for (std::size_t i = 0; i < names->count; ++i) {
    if (std::strcmp(names->names[i], name) == 0) return;
  }
  std::snprintf(names->names[names->count++], kNameCapacity, "%s", name);
}

// ttyUSB0 for /dev/ttyUSB0; pts_3 and 3 for /dev/pts/3. Lock-taking
// programs differ on which form they write.
void AddNamesOf(LockNames* names, const char* path) {
  const std::size_t prefix = std::strlen(kDevPrefix);
  if (std::strncmp(path, kDevPrefix, prefix) == 0) {
    char flattened[kNameCapacity];
    std::snprintf(flattened, sizeof flattened, "%s", path + prefix);
    for (char* c = flattened; *c != '\0'; ++c) {
      if (*c == '/') *c = '_';
    }
    AddName(names, flattened);
  }
  const char* slash = std::strrchr(path, '/');
  AddName(names, slash == nullptr ? path : slash + 1);
}

bool IsAsciiPid(const unsigned char* bytes, ssize_t length) {
  for (ssize_t i = 0; i < length; ++i) {
    const unsigned char c = bytes[i];
    if (!(c == ' ' || c == '\n' || c == '\t' || (c >= '0' && c <= '9'))) return false;
  }
  return true;
}

// HDB lock files hold the pid as ten ASCII digits and a newline; older
// programs wrote the binary int itself, four bytes.
pid_t ReadLockPid(const char* path) {
  const int fd = ::open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return 0;
  unsigned char bytes[32];
  const ssize_t length = ::read(fd, bytes, sizeof bytes);
  ::close(fd);
  if (length <= 0) return 0;
  if (length == static_cast<ssize_t>(sizeof(int)) && !IsAsciiPid(bytes, length)) {
    int pid;
    std::memcpy(&pid, bytes, sizeof pid);
    return pid > 0 ? static_cast<pid_t>(pid) : 0;
  }
  long pid = 0;
  ssize_t i = 0;
  while (i < length && (bytes[i] == ' ' || bytes[i] == '\t')) ++i;
  for (; i < length && bytes[i] >= '0' && bytes[i] <= '9'; ++i) {
    pid = pid * 10 + (bytes[i] - '0');
    if (pid > INT_MAX) return 0;
  }
  return static_cast<pid_t>(pid);
}

// EPERM: the process is there but belongs to another user.
bool ProcessExists(pid_t pid) {
  if (pid <= 0) return false;
  if (::kill(pid, 0) == 0) return true;
  return errno == EPERM;
}

bool IsRegularFile(const char* path) {
  struct stat status;
  return ::lstat(path, &status) == 0 && S_ISREG(status.st_mode);
}

}  // namespace

bool FindUucpLock(const char* devicePath, const char* const* folders, UucpLock* found) {
  LockNames names = {};
  AddNamesOf(&names, devicePath);
  char resolved[PATH_MAX];
  if (::realpath(devicePath, resolved) != nullptr) AddNamesOf(&names, resolved);

  bool any = false;
  for (const char* const* folder = folders; *folder != nullptr; ++folder) {
    for (std::size_t i = 0; i < names.count; ++i) {
      UucpLock lock = {};
      const int length =
          std::snprintf(lock.path, sizeof lock.path, "%s/LCK..%s", *folder, names.names[i]);
      if (length < 0 || static_cast<std::size_t>(length) >= sizeof lock.path) continue;
      if (!IsRegularFile(lock.path)) continue;
      lock.pid = ReadLockPid(lock.path);
      lock.alive = ProcessExists(lock.pid);
      if (!any || (lock.alive && !found->alive)) *found = lock;
      any = true;
      if (lock.alive) return true;
    }
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
