#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <initializer_list>

#include "app/run.h"
#include "serial/fixed_text.h"
#include "serial/own_uucp_lock_linux.h"
#include "switch/final_frame.h"
#include "switch/release.h"
#include "switch/run_guard.h"

namespace {

constexpr char kArmed = 'A';
constexpr char kGo = 'G';
constexpr char kDone = 'D';
constexpr int kControlFd = 3;
constexpr int kKilledStatus = kExitWrite;  // the release was killed: the frame may not be out

struct Message {
  char kind;
  std::int64_t value;
};

bool Send(int fd, char kind, std::int64_t value) {
  const Message message = {kind, value};
  return ::send(fd, &message, sizeof message, MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof message);
}

// Waits up to timeoutMs (-1: without end) for a message: false at the end
// of the stream or the time.
bool Receive(int fd, int timeoutMs, Message* message) {
  struct pollfd ready = {fd, POLLIN, 0};
  if (::poll(&ready, 1, timeoutMs) <= 0) return false;
  return ::recv(fd, message, sizeof *message, MSG_WAITALL) == static_cast<ssize_t>(sizeof *message);
}

void MoveTo(int fd, int wanted) {
  if (fd == wanted) return;
  ::dup2(fd, wanted);
  ::close(fd);
}

// Standard input from /dev/null, output and error into the caller's pipes,
// the control socket at 3, and nothing else: no lock folder, port or pipe
// of the caller's stays open here.
void KeepOnly(int control, int output, int errors) {
  const int controlCopy = ::fcntl(control, F_DUPFD, 10);
  const int outputCopy = ::fcntl(output, F_DUPFD, 10);
  const int errorsCopy = ::fcntl(errors, F_DUPFD, 10);
  MoveTo(::open("/dev/null", O_RDONLY), STDIN_FILENO);
  MoveTo(outputCopy, STDOUT_FILENO);
  MoveTo(errorsCopy, STDERR_FILENO);
  MoveTo(controlCopy, kControlFd);
  if (::close_range(kControlFd + 1, ~0U, 0) == 0) return;
  const long most = ::sysconf(_SC_OPEN_MAX);  // a kernel before 5.9
  for (long fd = kControlFd + 1; fd < (most > 0 && most < 65536 ? most : 65536); ++fd) {
    ::close(static_cast<int>(fd));
  }
}

// The release's own way: a hang-up or a reader gone is no reason to stop;
// TERM and INT end it as they end any process.
void ResetSignals() {
  for (const int stop : {SIGINT, SIGTERM, SIGALRM}) ::signal(stop, SIG_DFL);
  ::signal(SIGHUP, SIG_IGN);
  ::signal(SIGPIPE, SIG_IGN);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
}

[[noreturn]] void RunRelease(const ReleasePlan& plan) {
  ResetSignals();
  if (::chdir("/") != 0) _exit(1);  // holds no mount busy
  Message message;
  if (!Receive(kControlFd, -1, &message)) _exit(0);  // no frame may have gone out
  std::int64_t dueNs = message.value + plan.holdMs * 1000000;
  // Armed, the go may still come with the write's own time.
  while (message.kind == kArmed) {
    const std::int64_t leftMs = (dueNs - MonotonicNs()) / 1000000;
    if (leftMs <= 0 || !Receive(kControlFd, static_cast<int>(leftMs), &message)) break;
    if (message.kind == kGo) dueNs = message.value + plan.holdMs * 1000000;
  }
  // Each attempt writes its lines into a pipe of our own, so that only
  // those of the attempt that counts reach the caller.
  int attempt[2];
  if (::pipe2(attempt, O_CLOEXEC | O_NONBLOCK) != 0) _exit(kKilledStatus);
  const AttemptLines lines = {attempt[0], ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, kControlFd + 1)};
  MoveTo(attempt[1], STDOUT_FILENO);
  const int status = SendFinalFrame(plan, dueNs, lines);
  Send(kControlFd, kDone, status);
  _exit(status);
}

}  // namespace

void PassOnLines(const AttemptLines& lines, bool keep) {
  char bytes[512];
  for (ssize_t got;
       (got = ::read(static_cast<int>(lines.attemptLines), bytes, sizeof bytes)) > 0;) {
    if (!keep) continue;
    const ssize_t written =
        ::write(static_cast<int>(lines.callerLines), bytes, static_cast<std::size_t>(got));
    static_cast<void>(written);
  }
}

void LetGoOfPort(const SerialPort& port) {
  if (port.handle >= 0) ::close(static_cast<int>(port.handle));
  ReleaseUucpLock();
}

bool RunAsRelease(int, const char* const*, int*) { return false; }  // a fork here

bool StartRelease(const ReleasePlan& plan, Release* release) {
  int control[2];
  int output[2];
  int errors[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, control) != 0) return false;
  if (::pipe2(output, O_CLOEXEC) != 0 || ::pipe2(errors, O_CLOEXEC) != 0) return false;
  const pid_t first = ::fork();
  if (first == 0) {
    // A session of its own, and a second fork so that it is no session
    // leader: it neither gets the caller's hang-up nor takes a terminal.
    ::setsid();
    if (::fork() != 0) _exit(0);
    ::close(control[0]);
    KeepOnly(control[1], output[1], errors[1]);
    RunRelease(plan);
  }
  ::close(control[1]);
  ::close(output[1]);
  ::close(errors[1]);
  release->control = control[0];
  release->output = output[0];
  release->errors = errors[0];
  int firstStatus = 0;
  const bool started = first > 0 && ::waitpid(first, &firstStatus, 0) == first &&
                       WIFEXITED(firstStatus) && WEXITSTATUS(firstStatus) == 0;
  if (!started) LeaveRelease(release);
  return started;
}

void ArmRelease(Release* release) {
  release->told = true;
  Send(release->control, kArmed, MonotonicNs());
}

void GoRelease(Release* release) {
  release->told = true;
  Send(release->control, kGo, MonotonicNs());
}

int AwaitRelease(Release* release) {
  int status = kKilledStatus;
  bool done = false;
  struct pollfd watched[3] = {
      {release->control, POLLIN, 0}, {release->output, POLLIN, 0}, {release->errors, POLLIN, 0}};
  const int copiedTo[3] = {-1, STDOUT_FILENO, STDERR_FILENO};
  int open = 3;
  while (open > 0) {
    if (::poll(watched, 3, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 3; ++i) {
      if (watched[i].fd < 0 || watched[i].revents == 0) continue;
      char bytes[512];
      Message message;
      const ssize_t got = i == 0 ? ::recv(watched[i].fd, &message, sizeof message, MSG_WAITALL)
                                 : ::read(watched[i].fd, bytes, sizeof bytes);
      if (got <= 0) {
        watched[i].fd = -1;
        --open;
      } else if (i == 0 && message.kind == kDone) {
        status = static_cast<int>(message.value);
        done = true;
      } else if (i > 0) {
        const ssize_t written = ::write(copiedTo[i], bytes, static_cast<std::size_t>(got));
        static_cast<void>(written);  // a reader gone: the status still tells
      }
    }
  }
  if (!done) {
    static constexpr char kKilled[] = "kavnori-switch: the release ended before its final frame\n";
    const ssize_t written = ::write(STDERR_FILENO, kKilled, sizeof kKilled - 1);
    static_cast<void>(written);
  }
  LeaveRelease(release);
  return status;
}

void LeaveRelease(Release* release) {
  for (int* fd : {&release->control, &release->output, &release->errors}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
}
