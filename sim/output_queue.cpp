#include "sim/output_queue.h"

#include <errno.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

// Output the reader has not taken yet is kept up to this much; a line that
// does not fit then is dropped.
constexpr std::size_t kMaxPendingOutput = 256 * 1024;
// How long a write may wait before it is cut short; see WriteWhatFits.
constexpr long kWriteWaitMicroseconds = 10000;

// Does nothing: the signal is only there to end a write that waits.
void EndWaitingWrite(int) {}

}  // namespace

// SIGALRM without SA_RESTART: a write it interrupts returns what went in.
void PrepareWriteTimer() {
  struct sigaction action = {};
  action.sa_handler = EndWaitingWrite;
  sigemptyset(&action.sa_mask);
  sigaction(SIGALRM, &action, nullptr);
}

// The descriptor's flags are never changed: its open file description is
// often shared (a shell's terminal, a supervisor's socket), and O_NONBLOCK
// would reach those processes and stay set after a kill -9. Instead, poll
// says whether there is room, at most PIPE_BUF bytes go in at a time (what
// a pipe with room takes whole), and an interval timer cuts short a write
// that still waits, such as one to a terminal whose room another writer
// took.
std::size_t WriteWhatFits(int fd, const char* data, std::size_t size, int* error) {
  std::size_t done = 0;
  *error = 0;
  while (done < size) {
    struct pollfd room = {fd, POLLOUT, 0};
    if (poll(&room, 1, 0) != 1) break;
    const struct itimerval tick = {{0, kWriteWaitMicroseconds}, {0, kWriteWaitMicroseconds}};
    setitimer(ITIMER_REAL, &tick, nullptr);
    const ssize_t written = write(fd, data + done, std::min<std::size_t>(size - done, PIPE_BUF));
    const int writeError = errno;
    const struct itimerval off = {};
    setitimer(ITIMER_REAL, &off, nullptr);
    if (written < 0 && (writeError == EINTR || writeError == EAGAIN)) break;
    if (written <= 0) {
      *error = written < 0 ? writeError : EIO;
      break;
    }
    done += static_cast<std::size_t>(written);
  }
  return done;
}

// Every message goes out this way, from the first line of main on: one that
// the reader of standard error does not take at once is lost, and the
// simulator goes on (a stuck 2>&1 pipe, a full socket).
void Say(const char* format, ...) {
  char text[2048];
  va_list arguments;
  va_start(arguments, format);
  const int length = std::vsnprintf(text, sizeof text, format, arguments);
  va_end(arguments);
  if (length <= 0) return;
  int error = 0;
  WriteWhatFits(STDERR_FILENO, text, std::min(static_cast<std::size_t>(length), sizeof text - 1),
                &error);
}

void ReportFailure(const char* what, const std::string& subject, int error) {
  Say("relay-board-sim: %s%s%s: %s\n", what, subject.empty() ? "" : " ", subject.c_str(),
      std::strerror(error));
}

void ReportOutputFailure(int error) { ReportFailure("cannot write standard output", "", error); }

// Only that standard output is open: it is written as it is, never made
// non-blocking (see WriteWhatFits).
bool OpenOutput(Output* output) {
  *output = Output{"", 0, 0, false};
  struct stat info;
  const int found = fstat(STDOUT_FILENO, &info);
  const int error = errno;
  if (found == 0) return true;
  ReportOutputFailure(error);
  return false;
}

// A line goes in whole or not at all, so that the reader only ever gets
// whole lines.
void QueueLine(Output* output, const std::string& text) {
  if (output->pending.size() + text.size() + 1 > kMaxPendingOutput) {
    ++output->droppedUnreported;
    ++output->droppedInAll;
    return;
  }
  if (output->droppedUnreported > 0) {
    Say("relay-board-sim: standard output was not being read: %ld line(s) dropped\n",
        output->droppedUnreported);
    output->droppedUnreported = 0;
  }
  output->pending += text;
  output->pending += '\n';
}

bool FlushOutput(Output* output) {
  if (output->failed) return false;
  int error = 0;
  output->pending.erase(
      0, WriteWhatFits(STDOUT_FILENO, output->pending.data(), output->pending.size(), &error));
  if (error == 0) return true;
  ReportOutputFailure(error);
  output->failed = true;
  return false;
}

bool FinishOutput(Output* output) {
  FlushOutput(output);
  if (output->failed) return false;
  const long unwritten =
      static_cast<long>(std::count(output->pending.begin(), output->pending.end(), '\n'));
  const long lost = output->droppedInAll + unwritten;
  if (lost == 0) return true;
  Say("relay-board-sim: standard output was not being read: %ld line(s) lost\n", lost);
  return false;
}
