// The release's one job: the final frame of a pulse or cycle, at its time,
// and once only. It is tried again every 0.5 s while the port is held,
// gone or down, up to 60 s after its time; each relay's newest command
// wins, so a final frame that a later command of its relay overtook is
// never sent. What went wrong is said on the release's standard error and
// kept in the state.
#pragma once

#include <cstdint>

#include "serial/serial_port.h"
#include "switch/release.h"

// Status of a final frame that nobody needs any more: a later command owns
// all its relays.
constexpr int kFinalOvertaken = 0;

// Each attempt's lines are written to standard output, which the release
// has made a pipe whose other end is attemptLines; those of the attempt that
// sent, or of the last one, are passed on to callerLines.
struct AttemptLines {
  std::intptr_t attemptLines;  // a descriptor, or a Windows handle
  std::intptr_t callerLines;
};

int SendFinalFrame(const ReleasePlan& plan, std::int64_t dueNs, const AttemptLines& lines);

// The release's platform part (release_linux.cpp, release_win32.cpp).
// Reads what an attempt wrote; passes it on to the caller when keep.
void PassOnLines(const AttemptLines& lines, bool keep);
// A port left by a failed stage, or not to be written, is let go at once,
// without a word: the release lives on, unlike a run.
void LetGoOfPort(const SerialPort& port);
