#include "sim/board_loop.h"

#include <errno.h>
#include <poll.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "sim/event_report.h"
#include "sim/frame_decoder.h"
#include "sim/line_settings.h"
#include "sim/line_speed.h"
#include "sim/relay_bank.h"

namespace {

// A board drops a frame whose bytes stop coming for this long.
constexpr long long kFrameGapMilliseconds = 100;
constexpr std::size_t kReadChunk = 256;
// A pty holds at most this much unread: its 64 KiB of buffers and the line
// discipline's 4 KiB. Reading more on a signal would chase a sender that
// never stops.
constexpr std::size_t kTerminalHolds = 68 * 1024;
// How long after the last frame asked for a board waits for the sender to
// close the terminal before it hangs up.
constexpr long long kLetGoMilliseconds = 2000;

long long NowMicroseconds() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

long long NowMilliseconds() { return NowMicroseconds() / 1000; }

int PollTimeout(const FrameDecoder& decoder, long long lastByteAt) {
  if (!HasPendingInput(decoder)) return -1;
  const long long remaining = lastByteAt + kFrameGapMilliseconds - NowMilliseconds();
  return remaining > 0 ? static_cast<int>(remaining) : 0;
}

// Read as soon as the simulator wakes, before the bytes: these are the
// settings in force now, not when the bytes were written, and a sender may
// change them right after it writes.
bool ReadLineSettings(const Pty& pty, LineSettings* line) {
  struct termios settings;
  const int got = tcgetattr(pty.slave, &settings);
  const int error = errno;
  if (got != 0) {
    ReportFailure("tcgetattr", pty.path, error);
    return false;
  }
  *line = LineSettingsFromTermios(settings);
  const int speedError = ReadLineSpeeds(pty.slave, &line->baud, &line->inputBaud);
  if (speedError != 0) {
    ReportFailure("TCGETS2", pty.path, speedError);
    return false;
  }
  return true;
}

enum class ReadOutcome { kBytes, kNothing, kFailed };

ReadOutcome ReadFromSender(const Pty& pty, std::vector<std::uint8_t>* bytes) {
  bytes->resize(kReadChunk);
  const ssize_t count = read(pty.master, bytes->data(), bytes->size());
  const int error = errno;
  if (count < 0 && (error == EAGAIN || error == EINTR)) return ReadOutcome::kNothing;
  if (count <= 0) {
    ReportFailure("read", pty.path, count == 0 ? EIO : error);
    return ReadOutcome::kFailed;
  }
  bytes->resize(static_cast<std::size_t>(count));
  return ReadOutcome::kBytes;
}

// Whether the frames asked for have all been seen.
bool ReportEvents(const std::vector<FrameEvent>& events, const Options& options, RelayBank* bank,
                  long* framesSeen, Output* output) {
  for (const FrameEvent& event : events) {
    if (event.kind == FrameEventKind::kFrame) ApplyFrame(bank, event);
    QueueLine(output, options.json ? FormatJsonLine(event, *bank, NowMicroseconds())
                                   : FormatHumanLine(event, *bank));
    if (CountsAsFrame(event)) ++*framesSeen;
    if (options.frameLimit > 0 && *framesSeen >= options.frameLimit) return true;
  }
  return false;
}

// On a signal: a sender told its frame went out must see it reported (a
// script stops the board right after its last switch), so what it wrote
// before is read to the end and reported, a frame cut short as short. A read
// on the master first moves what the kernel still queues, so none is missed.
bool ReportWhatArrived(const Pty& pty, const Options& options, FrameDecoder* decoder,
                       RelayBank* bank, long* framesSeen, Output* output) {
  std::vector<std::uint8_t> bytes;
  std::vector<FrameEvent> events;
  for (std::size_t taken = 0; taken < kTerminalHolds;) {
    LineSettings line = {};
    if (!ReadLineSettings(pty, &line)) return false;
    const ReadOutcome outcome = ReadFromSender(pty, &bytes);
    if (outcome == ReadOutcome::kFailed) return false;
    if (outcome == ReadOutcome::kNothing) break;
    FeedBytes(decoder, bytes.data(), bytes.size(), line, &events);
    taken += bytes.size();
  }
  FeedGapElapsed(decoder, &events);
  ReportEvents(events, options, bank, framesSeen, output);
  return true;
}

}  // namespace

int RunBoard(Pty* pty, int signalFd, const Options& options, Output* output) {
  FrameDecoder decoder = NewFrameDecoder();
  RelayBank bank = NewRelayBank();
  long framesSeen = 0;
  long long lastByteAt = 0;
  bool allFramesSeen = false;
  long long letGoBy = 0;  // after the last frame; 0 once the sender has let go
  std::vector<std::uint8_t> bytes;
  std::vector<FrameEvent> events;
  for (;;) {
    if (!FlushOutput(output)) return kExitFailure;
    // After the last frame only the queued lines are still to go out, and
    // the sender is given time to let go of the line.
    const long long letGoLeft = letGoBy > 0 ? std::max(letGoBy - NowMilliseconds(), 0LL) : 0;
    if (allFramesSeen && letGoLeft == 0 && output->pending.empty()) return kExitOk;
    // After the last frame only POLLHUP, which poll reports unasked.
    const short awaited = allFramesSeen ? 0 : POLLIN;
    struct pollfd watched[3] = {
        {allFramesSeen && letGoLeft == 0 ? -1 : pty->master, awaited, 0},
        {signalFd, POLLIN, 0},
        {output->pending.empty() ? -1 : STDOUT_FILENO, POLLOUT, 0},
    };
    const int timeout = !allFramesSeen  ? PollTimeout(decoder, lastByteAt)
                        : letGoLeft > 0 ? static_cast<int>(letGoLeft)
                                        : -1;
    const int ready = poll(watched, 3, timeout);
    const int error = errno;
    LineSettings line = {};
    const bool fromSender = !allFramesSeen && watched[0].revents != 0;
    if (fromSender && !ReadLineSettings(*pty, &line)) return kExitFailure;
    if (ready < 0 && error == EINTR) continue;
    if (ready < 0) {
      ReportFailure("poll", "", error);
      return kExitFailure;
    }
    if (watched[1].revents != 0) {
      const bool reported =
          allFramesSeen || ReportWhatArrived(*pty, options, &decoder, &bank, &framesSeen, output);
      return reported ? kExitOk : kExitFailure;
    }
    if (allFramesSeen) {
      if (watched[0].revents & POLLHUP) letGoBy = 0;  // no process has the slave open
      continue;
    }

    events.clear();
    if (fromSender) {
      const ReadOutcome outcome = ReadFromSender(*pty, &bytes);
      if (outcome == ReadOutcome::kFailed) return kExitFailure;
      if (outcome == ReadOutcome::kBytes) {
        lastByteAt = NowMilliseconds();
        FeedBytes(&decoder, bytes.data(), bytes.size(), line, &events);
      }
    } else if (HasPendingInput(decoder) && PollTimeout(decoder, lastByteAt) == 0) {
      FeedGapElapsed(&decoder, &events);
    }
    if (ReportEvents(events, options, &bank, &framesSeen, output)) {
      allFramesSeen = true;
      // A hang-up while the sender still drains its last write fails it with
      // EIO. The board's own slave would hide the sender's letting go.
      CloseSlave(pty);
      letGoBy = NowMilliseconds() + kLetGoMilliseconds;
    }
  }
}
