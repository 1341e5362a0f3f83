// relay-board-sim: a virtual relay board behind a pseudo-terminal.
//
// Whatever is written to the slave side reaches this process as a board
// would receive it over a cable. Every frame is reported on standard output
// with the line settings it was sent with; valid ones switch the relays.
//
// The simulator only reads the line settings. The program under test must
// set 9600 8N1 itself, so the pty keeps the kernel's defaults until it does.
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <stdlib.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "sim/event_report.h"
#include "sim/frame_decoder.h"
#include "sim/line_settings.h"
#include "sim/line_speed.h"
#include "sim/relay_bank.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
// A board drops a frame whose bytes stop coming for this long.
constexpr long long kFrameGapMilliseconds = 100;
constexpr std::size_t kReadChunk = 256;
// Output the reader has not taken yet is kept up to this much; a line that
// does not fit then is dropped.
constexpr std::size_t kMaxPendingOutput = 256 * 1024;
// How long a write may wait before it is cut short; see WriteWhatFits.
constexpr long kWriteWaitMicroseconds = 10000;
// Boards that start at once on one link path may each find a link another
// has just moved or made; after this many tries the path is given up.
constexpr int kLinkAttempts = 3;

struct Options {
  bool json;
  std::string linkPath;
  long frameLimit;  // 0: run until a signal
};

enum class ParseResult { kRun, kHelp, kUsageError };

struct Pty {
  int master;
  // Held open for the simulator's whole life: with no slave open, reads on
  // the master fail with EIO and the kernel resets the line settings.
  int slave;
  std::string slavePath;
};

// Standard output, written without ever waiting for its reader: a reader
// that stops must not stop the simulator reading the terminal (senders would
// block) or seeing the signals that end it.
struct Output {
  std::string pending;     // lines the reader has not taken yet
  long droppedUnreported;  // lines dropped since the last note on stderr
  long droppedInAll;
  bool failed;  // a write failed, and that was reported
};

const char kCannotWriteOutput[] = "cannot write standard output";

const char kUsage[] =
    "Usage: relay-board-sim [--json] [--link PATH] [--frames N]\n"
    "\n"
    "Acts as relay boards on a pseudo-terminal. Prints the terminal's path on\n"
    "the first line, then one line per frame written to it.\n"
    "\n"
    "  -j, --json        JSON Lines output; the first line is\n"
    "                    {\"event\":\"ready\",\"path\":...}\n"
    "  -l, --link PATH   make PATH a symbolic link to the terminal while running\n"
    "                    (e.g. $WINEPREFIX/dosdevices/com12); removed on exit\n"
    "  -n, --frames N    exit after N frames, applied or rejected (short frames\n"
    "                    count, stray bytes do not)\n"
    "  -h, --help        show this help\n"
    "\n"
    "An existing PATH is replaced only when it is a link to a pseudo-terminal\n"
    "(/dev/pts/N) that is gone.\n"
    "Output is never waited for: up to 256 KiB that the reader has not taken is\n"
    "kept, then lines are dropped and counted on standard error.\n"
    "\n"
    "Exits 0 on SIGINT, SIGTERM or SIGHUP, or after N frames; 1 when the\n"
    "terminal or the link cannot be set up, or output failed or was lost; 2 on\n"
    "a wrong option.\n";

// Does nothing: the signal is only there to end a write that waits.
void EndWaitingWrite(int) {}

// SIGALRM without SA_RESTART: a write it interrupts returns what went in.
void PrepareWriteTimer() {
  struct sigaction action = {};
  action.sa_handler = EndWaitingWrite;
  sigemptyset(&action.sa_mask);
  sigaction(SIGALRM, &action, nullptr);
}

// Writes to fd what its reader takes now; the count written, with *error
// 0 when the rest has to wait, or why writing failed.
//
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
__attribute__((format(printf, 1, 2))) void Say(const char* format, ...) {
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

bool ParseFrameLimit(const char* text, long* limit) {
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  const int error = errno;
  if (error != 0 || end == text || *end != '\0' || value < 1) return false;
  *limit = value;
  return true;
}

ParseResult ParseOptions(int argc, char** argv, Options* options) {
  static const struct option kLongOptions[] = {
      {"json", no_argument, nullptr, 'j'},
      {"link", required_argument, nullptr, 'l'},
      {"frames", required_argument, nullptr, 'n'},
      {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0},
  };
  *options = Options{false, "", 0};
  // getopt's own messages would go through stdio, which waits for stderr.
  opterr = 0;
  int option = 0;
  while ((option = getopt_long(argc, argv, ":jl:n:h", kLongOptions, nullptr)) != -1) {
    switch (option) {
      case 'j':
        options->json = true;
        break;
      case 'l':
        options->linkPath = optarg;
        if (options->linkPath.empty()) return ParseResult::kUsageError;
        break;
      case 'n':
        if (!ParseFrameLimit(optarg, &options->frameLimit)) {
          Say("relay-board-sim: --frames needs a whole number from 1\n");
          return ParseResult::kUsageError;
        }
        break;
      case 'h':
        return ParseResult::kHelp;
      case ':':
        Say("relay-board-sim: option '%s' needs a value\n", argv[optind - 1]);
        return ParseResult::kUsageError;
      default:
        Say("relay-board-sim: unrecognized option '%s'\n", argv[optind - 1]);
        return ParseResult::kUsageError;
    }
  }
  if (optind < argc) {
    Say("relay-board-sim: unexpected argument '%s'\n", argv[optind]);
    return ParseResult::kUsageError;
  }
  return ParseResult::kRun;
}

void ClosePty(Pty* pty) {
  if (pty->slave >= 0) close(pty->slave);
  if (pty->master >= 0) close(pty->master);
  *pty = Pty{-1, -1, ""};
}

bool GivePtyUp(Pty* pty, const char* what, int error) {
  ReportFailure(what, pty->slavePath, error);
  ClosePty(pty);
  return false;
}

bool OpenPty(Pty* pty) {
  *pty = Pty{-1, -1, ""};
  pty->master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (pty->master < 0) return GivePtyUp(pty, "posix_openpt", errno);
  if (grantpt(pty->master) != 0) return GivePtyUp(pty, "grantpt", errno);
  if (unlockpt(pty->master) != 0) return GivePtyUp(pty, "unlockpt", errno);
  char path[128];
  const int nameError = ptsname_r(pty->master, path, sizeof path);
  if (nameError != 0) return GivePtyUp(pty, "ptsname_r", nameError);
  pty->slavePath = path;
  // Non-blocking, so that a wake-up with nothing to read cannot hang the loop.
  const int flags = fcntl(pty->master, F_GETFL);
  if (flags < 0) return GivePtyUp(pty, "fcntl", errno);
  if (fcntl(pty->master, F_SETFL, flags | O_NONBLOCK) != 0) return GivePtyUp(pty, "fcntl", errno);
  pty->slave = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (pty->slave < 0) return GivePtyUp(pty, "open", errno);
  return true;
}

std::string LinkTarget(const std::string& linkPath) {
  char target[512];
  const ssize_t length = readlink(linkPath.c_str(), target, sizeof target - 1);
  if (length < 0) return "";
  return std::string(target, static_cast<std::size_t>(length));
}

bool IsPseudoTerminalPath(const std::string& path) {
  const std::string folder = "/dev/pts/";
  if (path.size() <= folder.size() || path.compare(0, folder.size(), folder) != 0) return false;
  return path.find_first_not_of("0123456789", folder.size()) == std::string::npos;
}

// A /dev/pts/N that still exists belongs to a live terminal, another board's
// or a shell's. Only one whose entry is gone (its board was killed with -9)
// is free, or one that is now this board's own: the next simulator is often
// given the number of the one that was killed.
bool LeadsToAGoneTerminal(const std::string& target, const std::string& terminal) {
  if (target == terminal) return true;
  struct stat info;
  const int found = stat(target.c_str(), &info);
  const int error = errno;
  return found != 0 && error == ENOENT;
}

enum class Aside { kDeleted, kNotThere, kPutBack, kFailed };

// Moves the link at linkPath aside, then deletes it if it leads to
// `terminal` (or, with anyGone, to any terminal that is gone), and otherwise
// puts it back. Looking first and deleting after would leave a window in
// which a link that another board made meanwhile is deleted: one moved aside
// is this process's alone to look at.
Aside DeleteLinkIfItLeads(const std::string& linkPath, const std::string& terminal, bool anyGone,
                          const char* what) {
  const std::size_t slash = linkPath.rfind('/');
  const std::string aside = linkPath.substr(0, slash == std::string::npos ? 0 : slash + 1) +
                            ".relay-board-sim-" + std::to_string(getpid());
  const int moved = rename(linkPath.c_str(), aside.c_str());
  const int error = errno;
  if (moved != 0 && error == ENOENT) return Aside::kNotThere;
  if (moved != 0) {
    ReportFailure(what, linkPath, error);
    return Aside::kFailed;
  }
  const std::string target = LinkTarget(aside);
  if (target == terminal || (anyGone && LeadsToAGoneTerminal(target, terminal))) {
    unlink(aside.c_str());
    return Aside::kDeleted;
  }
  // A hard link to the link itself: it fails, rather than replaces, should
  // yet another link be there by now.
  const int putBack = linkat(AT_FDCWD, aside.c_str(), AT_FDCWD, linkPath.c_str(), 0);
  const int putBackError = errno;
  if (putBack != 0) {
    Say("relay-board-sim: cannot put %s back in place of %s: %s\n", aside.c_str(), linkPath.c_str(),
        std::strerror(putBackError));
    return Aside::kFailed;
  }
  unlink(aside.c_str());
  return Aside::kPutBack;
}

// Made only where nothing is (symlink fails on any existing name), so that of
// boards started at once on one path, one gets it and the others see its
// link to a live terminal and refuse it.
bool CreateLink(const std::string& linkPath, const std::string& terminal) {
  for (int attempt = 0; attempt < kLinkAttempts; ++attempt) {
    const int made = symlink(terminal.c_str(), linkPath.c_str());
    const int error = errno;
    if (made == 0) return true;
    if (error != EEXIST) {
      ReportFailure("cannot create link", linkPath, error);
      return false;
    }
    struct stat info;
    const int found = lstat(linkPath.c_str(), &info);
    const int lstatError = errno;
    if (found != 0 && lstatError == ENOENT) continue;
    const std::string target = LinkTarget(linkPath);
    const bool isLink = found == 0 && S_ISLNK(info.st_mode);
    const bool toTerminal = isLink && IsPseudoTerminalPath(target);
    if (!toTerminal || !LeadsToAGoneTerminal(target, terminal)) {
      const std::string why = !isLink      ? std::strerror(error)
                              : toTerminal ? "it leads to " + target + ", a terminal in use"
                                           : "it leads to " + target;
      Say("relay-board-sim: cannot create link %s: %s; only a link to a pseudo-terminal "
          "(/dev/pts/N) that is gone is replaced\n",
          linkPath.c_str(), why.c_str());
      return false;
    }
    Say("relay-board-sim: replacing %s, a link to the pseudo-terminal %s, which is gone\n",
        linkPath.c_str(), target.c_str());
    if (DeleteLinkIfItLeads(linkPath, terminal, true, "cannot replace link") == Aside::kFailed) {
      return false;
    }
  }
  ReportFailure("cannot create link", linkPath, EEXIST);
  return false;
}

// Removes the link only while it is still this board's: someone may have
// replaced it. Done while the terminal is still open, so that no other
// board can take the link over as one to a terminal that is gone.
bool RemoveLink(const std::string& linkPath, const std::string& terminal) {
  if (LinkTarget(linkPath) == terminal) {
    const Aside outcome = DeleteLinkIfItLeads(linkPath, terminal, false, "cannot remove link");
    if (outcome == Aside::kFailed) return false;
    if (outcome == Aside::kDeleted) return true;
  }
  Say("relay-board-sim: %s no longer points to %s; left as it is\n", linkPath.c_str(),
      terminal.c_str());
  return true;
}

// Blocked signals wait in the signalfd, so one that comes before the loop
// starts, or while a line is printed, is still seen.
int OpenExitSignals() {
  sigset_t exitSignals;
  sigemptyset(&exitSignals);
  sigaddset(&exitSignals, SIGINT);
  sigaddset(&exitSignals, SIGTERM);
  sigaddset(&exitSignals, SIGHUP);
  if (sigprocmask(SIG_BLOCK, &exitSignals, nullptr) != 0) {
    const int error = errno;
    ReportFailure("sigprocmask", "", error);
    return -1;
  }
  const int fd = signalfd(-1, &exitSignals, SFD_CLOEXEC);
  const int error = errno;
  if (fd < 0) ReportFailure("signalfd", "", error);
  return fd;
}

// Only that standard output is open: it is written as it is, never made
// non-blocking (see WriteWhatFits).
bool OpenOutput(Output* output) {
  *output = Output{"", 0, 0, false};
  struct stat info;
  const int found = fstat(STDOUT_FILENO, &info);
  const int error = errno;
  if (found == 0) return true;
  ReportFailure(kCannotWriteOutput, "", error);
  return false;
}

// With descriptor 0 or 2 closed, the terminal could be opened there, and
// error messages would go to the sender: /dev/null stands in.
void SettleStandardDescriptors() {
  for (const int fd : {STDIN_FILENO, STDERR_FILENO}) {
    if (fcntl(fd, F_GETFD) >= 0) continue;
    const int opened = open("/dev/null", O_RDWR);
    if (opened >= 0 && opened != fd) close(opened);
  }
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

// Writes what the reader takes now. False once a write has failed.
bool FlushOutput(Output* output) {
  if (output->failed) return false;
  int error = 0;
  output->pending.erase(
      0, WriteWhatFits(STDOUT_FILENO, output->pending.data(), output->pending.size(), &error));
  if (error == 0) return true;
  ReportFailure(kCannotWriteOutput, "", error);
  output->failed = true;
  return false;
}

// At exit: what the reader takes now, then a count of the lines it never
// got. False when output failed or lines were lost.
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

long long NowMilliseconds() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

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
    ReportFailure("tcgetattr", pty.slavePath, error);
    return false;
  }
  *line = LineSettingsFromTermios(settings);
  const int speedError = ReadLineSpeeds(pty.slave, &line->baud, &line->inputBaud);
  if (speedError != 0) {
    ReportFailure("TCGETS2", pty.slavePath, speedError);
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
    ReportFailure("read", pty.slavePath, count == 0 ? EIO : error);
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
    QueueLine(output, options.json ? FormatJsonLine(event, *bank) : FormatHumanLine(event, *bank));
    if (CountsAsFrame(event)) ++*framesSeen;
    if (options.frameLimit > 0 && *framesSeen >= options.frameLimit) return true;
  }
  return false;
}

int RunBoard(const Pty& pty, int signalFd, const Options& options, Output* output) {
  FrameDecoder decoder = NewFrameDecoder();
  RelayBank bank = NewRelayBank();
  long framesSeen = 0;
  long long lastByteAt = 0;
  bool allFramesSeen = false;
  std::vector<std::uint8_t> bytes;
  std::vector<FrameEvent> events;
  for (;;) {
    if (!FlushOutput(output)) return kExitFailure;
    // After the last frame only the queued lines are still to go out.
    if (allFramesSeen && output->pending.empty()) return kExitOk;
    struct pollfd watched[3] = {
        {allFramesSeen ? -1 : pty.master, POLLIN, 0},
        {signalFd, POLLIN, 0},
        {output->pending.empty() ? -1 : STDOUT_FILENO, POLLOUT, 0},
    };
    const int timeout = allFramesSeen ? -1 : PollTimeout(decoder, lastByteAt);
    const int ready = poll(watched, 3, timeout);
    const int error = errno;
    LineSettings line = {};
    if (watched[0].revents != 0 && !ReadLineSettings(pty, &line)) return kExitFailure;
    if (ready < 0 && error == EINTR) continue;
    if (ready < 0) {
      ReportFailure("poll", "", error);
      return kExitFailure;
    }
    if (watched[1].revents != 0) return kExitOk;

    events.clear();
    if (watched[0].revents != 0) {
      const ReadOutcome outcome = ReadFromSender(pty, &bytes);
      if (outcome == ReadOutcome::kFailed) return kExitFailure;
      if (outcome == ReadOutcome::kBytes) {
        lastByteAt = NowMilliseconds();
        FeedBytes(&decoder, bytes.data(), bytes.size(), line, &events);
      }
    } else if (!allFramesSeen && HasPendingInput(decoder) &&
               PollTimeout(decoder, lastByteAt) == 0) {
      FeedGapElapsed(&decoder, &events);
    }
    if (ReportEvents(events, options, &bank, &framesSeen, output)) allFramesSeen = true;
  }
}

int RunSimulator(const Options& options) {
  Output output;
  if (!OpenOutput(&output)) return kExitFailure;
  const int signalFd = OpenExitSignals();
  Pty pty = {-1, -1, ""};
  const bool linked = !options.linkPath.empty();
  int status = kExitFailure;
  if (signalFd >= 0 && OpenPty(&pty) && (!linked || CreateLink(options.linkPath, pty.slavePath))) {
    QueueLine(&output, FormatReadyLine(pty.slavePath, options.linkPath, options.json));
    status = RunBoard(pty, signalFd, options, &output);
    if (linked && !RemoveLink(options.linkPath, pty.slavePath)) status = kExitFailure;
  }
  if (!FinishOutput(&output)) status = kExitFailure;
  ClosePty(&pty);
  if (signalFd >= 0) close(signalFd);
  return status;
}

int PrintHelp() {
  int error = 0;
  const std::size_t size = sizeof kUsage - 1;
  if (WriteWhatFits(STDOUT_FILENO, kUsage, size, &error) == size) return kExitOk;
  ReportFailure(kCannotWriteOutput, "", error != 0 ? error : EAGAIN);
  return kExitFailure;
}

}  // namespace

int main(int argc, char** argv) {
  // Before anything can print: no message may wait for its reader, and a
  // reader that goes away must not kill the board before its link is removed.
  SettleStandardDescriptors();
  PrepareWriteTimer();
  signal(SIGPIPE, SIG_IGN);
  Options options;
  switch (ParseOptions(argc, argv, &options)) {
    case ParseResult::kHelp:
      return PrintHelp();
    case ParseResult::kUsageError:
      Say("%s", kUsage);
      return kExitUsage;
    case ParseResult::kRun:
      break;
  }
  return RunSimulator(options);
}
