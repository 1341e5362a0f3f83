// Standard output and error, written without ever waiting for their reader:
// a reader that stops must not stop the board reading the terminal (senders
// would block) or seeing the signals that end it.
#pragma once

#include <cstddef>
#include <string>

struct Output {
  std::string pending;     // lines the reader has not taken yet
  long droppedUnreported;  // lines dropped since the last note on stderr
  long droppedInAll;
  bool failed;  // a write failed, and that was reported
};

// Once, before anything is written: the timer that cuts a waiting write short.
void PrepareWriteTimer();

// Writes to fd what its reader takes now; the count written, with *error
// 0 when the rest has to wait, or why writing failed.
std::size_t WriteWhatFits(int fd, const char* data, std::size_t size, int* error);

// A message on standard error, lost if its reader does not take it at once.
__attribute__((format(printf, 1, 2))) void Say(const char* format, ...);

// "relay-board-sim: WHAT SUBJECT: REASON"; subject may be empty.
void ReportFailure(const char* what, const std::string& subject, int error);
void ReportOutputFailure(int error);

// False, reported, when standard output is not open.
bool OpenOutput(Output* output);

// Kept whole until the reader takes it, or dropped and counted when the
// queue is full.
void QueueLine(Output* output, const std::string& text);

// Writes what the reader takes now. False once a write has failed.
bool FlushOutput(Output* output);

// At exit: what the reader takes now, then a count of the lines it never
// got. False when output failed or lines were lost.
bool FinishOutput(Output* output);
