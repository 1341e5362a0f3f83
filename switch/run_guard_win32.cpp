#include <windows.h>

#include "serial/fixed_text.h"
#include "switch/process_calls_win32.h"
#include "switch/run_guard.h"
#include "switch/switch_status.h"

namespace {

// What a console event ends the run with, as the signal it stands for
// would on Linux: Ctrl+C as SIGINT, Ctrl+Break (what a program sends to
// stop another) as SIGTERM, the console's close, a logoff or a shutdown as
// SIGHUP.
constexpr int kExitInterrupted = 130;
constexpr int kExitTerminated = 143;
constexpr int kExitHungUp = 129;
constexpr std::int64_t kUnixEpochIn100Ns = 116444736000000000LL;
// CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, which older SDKs do not name.
constexpr DWORD kHighResolutionTimer = 0x00000002;

// Read by the handler's and the timer's threads: set before they may run,
// or as whole words.
struct Guard {
  HANDLE limitTimer = nullptr;
  volatile LONG_PTR portHandle = -1;
  volatile LONG limitPassed = 0;
  volatile LONG exitAtLimit = 0;
  volatile LONG stage = static_cast<LONG>(GuardStage::kBeforeFrame);
  volatile LONG limitSeconds = 0;
  const char* port = "";
} guard;

// Whatever of a frame still waits in the driver's queue is thrown away: it
// would otherwise go out once the line moves, after the run gave up.
bool DiscardQueuedFrame() {
  const LONG_PTR port = guard.portHandle;
  if (port == -1) return false;
  return PurgeComm(reinterpret_cast<HANDLE>(port), PURGE_TXABORT | PURGE_TXCLEAR) != FALSE;
}

void CALLBACK OnTimeLimit(void*, BOOLEAN) {
  const bool discarded = DiscardQueuedFrame();
  guard.limitPassed = 1;
  if (!guard.exitAtLimit) return;
  SayTimedOut(guard.port, guard.limitSeconds, discarded);
  switchProcessCalls.exitProcess(kExitTimedOut);
}

std::int64_t FileTimeValue(const FILETIME& time) {
  return static_cast<std::int64_t>((static_cast<std::uint64_t>(time.dwHighDateTime) << 32) |
                                   time.dwLowDateTime);
}

}  // namespace

namespace {

// Our own, so that the record's types are the same in every SDK's headers
// (Wine's ExitProcess takes a DWORD).
BOOL WINAPI RealCreateProcess(LPCWSTR program, LPWSTR line, LPSECURITY_ATTRIBUTES process,
                              LPSECURITY_ATTRIBUTES thread, BOOL inherit, DWORD flags,
                              LPVOID environment, LPCWSTR folder, LPSTARTUPINFOW start,
                              LPPROCESS_INFORMATION started) {
  return CreateProcessW(program, line, process, thread, inherit, flags, environment, folder, start,
                        started);
}
void WINAPI RealExitProcess(UINT status) { ExitProcess(status); }

}  // namespace

const SwitchProcessCalls kRealSwitchProcessCalls = {RealCreateProcess, RealExitProcess};
SwitchProcessCalls switchProcessCalls = kRealSwitchProcessCalls;

BOOL WINAPI OnConsoleEvent(DWORD event) {
  const auto now = static_cast<GuardStage>(guard.stage);
  DiscardQueuedFrame();
  SayStopped(guard.port,
             event == CTRL_C_EVENT       ? "Ctrl+C"
             : event == CTRL_BREAK_EVENT ? "Ctrl+Break"
                                         : "the console's close",
             now);
  switchProcessCalls.exitProcess(event == CTRL_C_EVENT       ? kExitInterrupted
                                 : event == CTRL_BREAK_EVENT ? kExitTerminated
                                                             : kExitHungUp);
  return TRUE;
}

void InstallRunGuard(const char* portName) {
  guard.port = portName;
  // A Ctrl+C the caller had turned off for us (a background job) stays off.
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

void SetGuardStage(GuardStage now, std::intptr_t port) {
  guard.portHandle = port;
  guard.stage = static_cast<LONG>(now);
}

void ArmTimeLimit(int ms, bool exitOnTimeLimit) {
  DisarmTimeLimit();
  guard.limitPassed = 0;
  guard.exitAtLimit = exitOnTimeLimit ? 1 : 0;
  guard.limitSeconds = ms / 1000;
  const DWORD due = ms > 0 ? static_cast<DWORD>(ms) : 0;
  if (!CreateTimerQueueTimer(&guard.limitTimer, nullptr, OnTimeLimit, nullptr, due, 0,
                             WT_EXECUTEONLYONCE)) {
    guard.limitTimer = nullptr;
  }
}

void DisarmTimeLimit() {
  guard.exitAtLimit = 0;
  // INVALID_HANDLE_VALUE: waits for a callback already running.
  if (guard.limitTimer != nullptr)
    DeleteTimerQueueTimer(nullptr, guard.limitTimer, INVALID_HANDLE_VALUE);
  guard.limitTimer = nullptr;
}

bool TimeLimitPassed() { return guard.limitPassed != 0; }

std::int64_t MonotonicNs() {
  static LARGE_INTEGER frequency = {};
  if (frequency.QuadPart == 0) QueryPerformanceFrequency(&frequency);
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  const std::int64_t seconds = now.QuadPart / frequency.QuadPart;
  const std::int64_t rest = now.QuadPart % frequency.QuadPart;
  return seconds * 1000000000 + rest * 1000000000 / frequency.QuadPart;
}

std::int64_t MonotonicMs() { return MonotonicNs() / 1000000; }

// A timer of the high resolution where Windows has one (10, version 1803
// on), else Sleep, whose steps are as coarse as the system's tick; the last
// 2 ms, which no timer meets, by yielding.
void SleepUntil(std::int64_t monotonicNs) {
  constexpr std::int64_t kYieldNs = 2000000;
  HANDLE timer = CreateWaitableTimerExW(nullptr, nullptr, kHighResolutionTimer, TIMER_ALL_ACCESS);
  for (std::int64_t left = monotonicNs - MonotonicNs(); left > 0;
       left = monotonicNs - MonotonicNs()) {
    LARGE_INTEGER due;
    due.QuadPart = -((left - kYieldNs) / 100);  // from now, in 100 ns
    if (left <= kYieldNs) {
      Sleep(0);
    } else if (timer != nullptr && SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE)) {
      WaitForSingleObject(timer, INFINITE);
    } else {
      Sleep(left > 20000000 ? static_cast<DWORD>((left - 10000000) / 1000000) : 1);
    }
  }
  if (timer != nullptr) CloseHandle(timer);
}

std::int64_t WallClockMs() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return (FileTimeValue(now) - kUnixEpochIn100Ns) / 10000;
}

std::size_t AppendLocalClock(char* text, std::size_t capacity, std::size_t length,
                             std::int64_t wallMs) {
  const std::uint64_t ticks = static_cast<std::uint64_t>(wallMs * 10000 + kUnixEpochIn100Ns);
  FILETIME utc = {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
  FILETIME local;
  SYSTEMTIME clock;
  if (!FileTimeToLocalFileTime(&utc, &local) || !FileTimeToSystemTime(&local, &clock)) {
    return length;
  }
  length = AppendNumber(text, capacity, length, clock.wHour, 2);
  length = Append(text, capacity, length, ":");
  length = AppendNumber(text, capacity, length, clock.wMinute, 2);
  length = Append(text, capacity, length, ":");
  length = AppendNumber(text, capacity, length, clock.wSecond, 2);
  length = Append(text, capacity, length, ".");
  return AppendNumber(text, capacity, length, clock.wMilliseconds, 3);
}

// With CR LF line ends, as the C runtime writes Kavnori's lines.
void WriteError(const char* text, std::size_t length) {
  char line[1100];
  std::size_t used = 0;
  DWORD written = 0;
  for (std::size_t i = 0; i < length; ++i) {
    if (used + 2 > sizeof line) {
      WriteFile(GetStdHandle(STD_ERROR_HANDLE), line, static_cast<DWORD>(used), &written, nullptr);
      used = 0;
    }
    if (text[i] == '\n') line[used++] = '\r';
    line[used++] = text[i];
  }
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), line, static_cast<DWORD>(used), &written, nullptr);
}
