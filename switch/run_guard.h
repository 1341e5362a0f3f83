// What ends a run of kavnori-switch early, and what it leaves: a stop
// signal (INT, TERM, HUP) or the run's time limit. The program decides this
// for its own process; the libraries it uses install no handler.
#pragma once

#include <cstddef>
#include <cstdint>

enum class GuardStage {
  kBeforeFrame,  // nothing sent yet
  kSending,      // a frame is on its way
  kHolding,      // the caller waits for the final frame, which goes out anyway
};

// Handlers for INT, TERM and HUP that say what the run leaves, release the
// run's own UUCP lock and end the process by that signal; a signal the
// caller had ignored stays ignored. SIGPIPE is ignored: a reader gone from
// standard output must not decide whether a frame goes out.
void InstallRunGuard(const char* portName);
// port: a local port (its handle) whose queued output a stop throws away,
// or -1.
void SetGuardStage(GuardStage stage, std::intptr_t port);

// The time limit, by SIGALRM. When exitOnTimeLimit, a run that reaches it
// prints why and ends with 124; else it only throws away the port's queued
// output and marks the limit passed, for the caller to see.
void ArmTimeLimit(int ms, bool exitOnTimeLimit = false);
void DisarmTimeLimit();
bool TimeLimitPassed();

// A clock that no setting of the date moves (a Raspberry Pi's jumps at boot).
std::int64_t MonotonicMs();
std::int64_t MonotonicNs();
void SleepUntil(std::int64_t monotonicNs);
// The date's clock, in ms since 1970, for people; "12:00:03.250" of it in
// local time.
std::int64_t WallClockMs();
std::size_t AppendLocalClock(char* text, std::size_t capacity, std::size_t length,
                             std::int64_t wallMs);

// The run's own lines on standard error, each written whole at once.
void WriteError(const char* text, std::size_t length);
// "kavnori-switch: PORT: " and the parts, as one line.
void SayAboutPort(const char* port, const char* first, const char* second = "",
                  const char* third = "");
// "kavnori-switch: PORT: stopped by BY; " and what the stage leaves.
void SayStopped(const char* port, const char* by, GuardStage stage);
// "kavnori-switch: PORT: timed out after N s; " and what became of the frame.
void SayTimedOut(const char* port, int seconds, bool discarded);
