#include <errno.h>
#include <signal.h>
#include <sys/time.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <initializer_list>

#include "serial/fixed_text.h"
#include "serial/own_uucp_lock_linux.h"
#include "switch/run_guard.h"
#include "switch/switch_status.h"

namespace {

// Read by the handlers: set before they may run, or as whole words.
const char* guardedPort = "";
volatile sig_atomic_t stage = static_cast<sig_atomic_t>(GuardStage::kBeforeFrame);
volatile sig_atomic_t portFd = -1;
volatile sig_atomic_t exitAtLimit = 0;
volatile sig_atomic_t limitSeconds = 0;
volatile sig_atomic_t limitPassed = 0;

// Whatever of a frame still waits in the tty's queue is thrown away: it
// would otherwise go out once the line moves, after the run gave up, and
// the close at the end of the process would wait for it.
bool DiscardQueuedFrame() {
  if (portFd < 0) return false;
  return ::tcflush(portFd, TCOFLUSH) == 0;
}

const char* SignalName(int signal) {
  return signal == SIGINT ? "SIGINT" : signal == SIGHUP ? "SIGHUP" : "SIGTERM";
}

void OnStop(int signal) {
  const auto now = static_cast<GuardStage>(stage);
  DiscardQueuedFrame();
  SayStopped(guardedPort, SignalName(signal), now);
  ReleaseUucpLock();
  ::signal(signal, SIG_DFL);
  ::raise(signal);
}

void OnTimeLimit(int) {
  const bool discarded = DiscardQueuedFrame();
  limitPassed = 1;
  if (!exitAtLimit) return;
  SayTimedOut(guardedPort, limitSeconds, discarded);
  ReleaseUucpLock();
  _exit(kExitTimedOut);
}

void Handle(int signal, void (*handler)(int)) {
  struct sigaction action = {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: a wait for a lock ends with EINTR at the time limit.
  ::sigaction(signal, &action, nullptr);
}

}  // namespace

void InstallRunGuard(const char* portName) {
  guardedPort = portName;
  ::signal(SIGPIPE, SIG_IGN);
  for (const int stop : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction before = {};
    ::sigaction(stop, nullptr, &before);
    // A signal the caller ignored (nohup, a background job's SIGINT) stays so.
    if (before.sa_handler != SIG_IGN) Handle(stop, OnStop);
  }
  Handle(SIGALRM, OnTimeLimit);
}

void SetGuardStage(GuardStage now, std::intptr_t port) {
  portFd = static_cast<sig_atomic_t>(port);
  stage = static_cast<sig_atomic_t>(now);
}

void ArmTimeLimit(int ms, bool exitOnTimeLimit) {
  Handle(SIGALRM, OnTimeLimit);
  limitPassed = 0;
  exitAtLimit = exitOnTimeLimit ? 1 : 0;
  limitSeconds = ms / 1000;
  struct itimerval timer = {};
  timer.it_value.tv_sec = ms / 1000;
  timer.it_value.tv_usec = (ms % 1000) * 1000;
  if (ms <= 0) timer.it_value.tv_usec = 1;  // already due
  ::setitimer(ITIMER_REAL, &timer, nullptr);
}

void DisarmTimeLimit() {
  struct itimerval off = {};
  ::setitimer(ITIMER_REAL, &off, nullptr);
  exitAtLimit = 0;
}

bool TimeLimitPassed() { return limitPassed != 0; }

std::int64_t MonotonicNs() {
  struct timespec now;
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

std::int64_t MonotonicMs() { return MonotonicNs() / 1000000; }

void SleepUntil(std::int64_t monotonicNs) {
  struct timespec until = {static_cast<time_t>(monotonicNs / 1000000000),
                           static_cast<long>(monotonicNs % 1000000000)};
  while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
  }
}

std::int64_t WallClockMs() {
  struct timespec now;
  ::clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

std::size_t AppendLocalClock(char* text, std::size_t capacity, std::size_t length,
                             std::int64_t wallMs) {
  const time_t seconds = static_cast<time_t>(wallMs / 1000);
  struct tm local;
  if (::localtime_r(&seconds, &local) == nullptr) return length;
  length = AppendNumber(text, capacity, length, static_cast<unsigned>(local.tm_hour), 2);
  length = Append(text, capacity, length, ":");
  length = AppendNumber(text, capacity, length, static_cast<unsigned>(local.tm_min), 2);
  length = Append(text, capacity, length, ":");
  length = AppendNumber(text, capacity, length, static_cast<unsigned>(local.tm_sec), 2);
  length = Append(text, capacity, length, ".");
  return AppendNumber(text, capacity, length, static_cast<unsigned>(wallMs % 1000), 3);
}

void WriteError(const char* text, std::size_t length) {
  const ssize_t written = ::write(STDERR_FILENO, text, length);
  static_cast<void>(written);  // nobody left to tell; the status still tells
}
