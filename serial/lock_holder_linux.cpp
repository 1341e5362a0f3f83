#include "serial/lock_holder_linux.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>

#include "serial/fixed_text.h"
#include "serial/kernel_calls_linux.h"

namespace {

bool IsAsciiPid(const unsigned char* bytes, ssize_t length) {
  for (ssize_t i = 0; i < length; ++i) {
    const unsigned char c = bytes[i];
    const bool blank = c == ' ' || (c >= '\t' && c <= '\r');
    if (!(blank || c == '+' || c == '-' || (c >= '0' && c <= '9'))) return false;
  }
  return true;
}

// State Z in PROC/PID/stat.
bool IsZombie(const char* proc, pid_t pid) {
  char path[64];
  std::size_t length = Append(path, sizeof path, 0, proc);
  length = AppendNumber(path, sizeof path, Append(path, sizeof path, length, "/"),
                        static_cast<unsigned long long>(pid), 1);
  if (Append(path, sizeof path, length, "/stat") >= sizeof path) return false;
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char stat[512];
  const ssize_t read = ::read(fd, stat, sizeof stat);
  ::close(fd);
  // "PID (COMMAND) S ...": the command may hold ") ", so the last one counts.
  ssize_t state = -1;
  for (ssize_t i = 0; i + 2 < read; ++i) {
    if (stat[i] == ')' && stat[i + 1] == ' ') state = i + 2;
  }
  return state > 0 && stat[state] == 'Z';
}

}  // namespace

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

bool ProcessExists(pid_t pid) {
  if (pid <= 0) return false;
  const int result = KernelKill(pid, 0);
  const int error = errno;
  return result == 0 || error == EPERM;
}

bool ProcessLives(const char* proc, pid_t pid) {
  return ProcessExists(pid) && !IsZombie(proc, pid);
}
