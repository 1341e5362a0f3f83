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
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
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
  int sharedFlags;  // descriptor 1's own flags to put back at exit, or -1
  bool failed;      // a write failed, and that was reported
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
    "An existing PATH is replaced only when it is a link to a pseudo-terminal.\n"
    "Output is never waited for: up to 256 KiB that the reader has not taken is\n"
    "kept, then lines are dropped and counted on standard error.\n"
    "\n"
    "Exits 0 on SIGINT, SIGTERM or SIGHUP, or after N frames; 1 when the\n"
    "terminal or the link cannot be set up, or output failed or was lost; 2 on\n"
    "a wrong option.\n";

void ReportFailure(const char* what, const std::string& subject, int error) {
  std::fprintf(stderr, "relay-board-sim: %s%s%s: %s\n", what, subject.empty() ? "" : " ",
               subject.c_str(), std::strerror(error));
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
  int option = 0;
  while ((option = getopt_long(argc, argv, "jl:n:h", kLongOptions, nullptr)) != -1) {
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
          std::fprintf(stderr, "relay-board-sim: --frames needs a whole number from 1\n");
          return ParseResult::kUsageError;
        }
        break;
      case 'h':
        return ParseResult::kHelp;
      default:
        return ParseResult::kUsageError;
    }
  }
  if (optind < argc) {
    std::fprintf(stderr, "relay-board-sim: unexpected argument '%s'\n", argv[optind]);
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

// A link to a pseudo-terminal is taken to be one a simulator made and left
// behind. Whether it dangles tells nothing: after a kill -9 the next
// simulator is often given the same /dev/pts/N.
bool IsLinkToPseudoTerminal(const std::string& path) {
  struct stat info;
  if (lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return false;
  const std::string target = LinkTarget(path);
  const std::string folder = "/dev/pts/";
  if (target.size() <= folder.size() || target.compare(0, folder.size(), folder) != 0) return false;
  return target.find_first_not_of("0123456789", folder.size()) == std::string::npos;
}

// A new link renamed over the old one: a program that opens the path
// meanwhile finds the old terminal or the new one, never nothing.
bool ReplaceLink(const std::string& linkPath, const std::string& target) {
  const std::size_t slash = linkPath.rfind('/');
  const std::string folder = slash == std::string::npos ? "" : linkPath.substr(0, slash + 1);
  const std::string temporary = folder + ".relay-board-sim-" + std::to_string(getpid());
  const int made = symlink(target.c_str(), temporary.c_str());
  const int error = errno;
  if (made != 0) {
    ReportFailure("cannot create link", temporary, error);
    return false;
  }
  const int renamed = rename(temporary.c_str(), linkPath.c_str());
  const int renameError = errno;
  if (renamed != 0) {
    unlink(temporary.c_str());
    ReportFailure("cannot replace link", linkPath, renameError);
    return false;
  }
  return true;
}

bool CreateLink(const std::string& linkPath, const std::string& target) {
  const int made = symlink(target.c_str(), linkPath.c_str());
  const int error = errno;
  if (made == 0) return true;
  if (error != EEXIST) {
    ReportFailure("cannot create link", linkPath, error);
    return false;
  }
  if (!IsLinkToPseudoTerminal(linkPath)) {
    std::fprintf(stderr,
                 "relay-board-sim: cannot create link %s: %s; only a link to a pseudo-terminal "
                 "(/dev/pts/N) is replaced\n",
                 linkPath.c_str(), std::strerror(error));
    return false;
  }
  std::fprintf(stderr, "relay-board-sim: replacing %s, a link to the pseudo-terminal %s\n",
               linkPath.c_str(), LinkTarget(linkPath).c_str());
  return ReplaceLink(linkPath, target);
}

// Removes the link only while it is still ours: someone may have replaced it.
bool RemoveLink(const std::string& linkPath, const std::string& target) {
  if (LinkTarget(linkPath) != target) {
    std::fprintf(stderr, "relay-board-sim: %s no longer points to %s; left as it is\n",
                 linkPath.c_str(), target.c_str());
    return true;
  }
  const int removed = unlink(linkPath.c_str());
  const int error = errno;
  if (removed != 0) ReportFailure("cannot remove link", linkPath, error);
  return removed == 0;
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

// Gives descriptor fd an open file description of its own, non-blocking.
// Setting O_NONBLOCK on the one it came with would reach every process that
// shares it: a terminal's is often the shell's standard input as well.
bool ReopenNonBlocking(int fd) {
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  const int reopened = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (reopened < 0) return false;
  const int moved = dup2(reopened, fd);
  close(reopened);
  return moved == fd;
}

bool IsRegularFile(int fd) {
  struct stat info;
  return fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
}

// A regular file never waits for a reader, and reopening it would lose its
// offset: it is written as it is. Anything else is made non-blocking; a
// socket, which cannot be reopened, on the description it came with, whose
// flags are put back at exit.
bool OpenOutput(Output* output) {
  *output = Output{"", 0, 0, -1, false};
  struct stat info;
  const int found = fstat(STDOUT_FILENO, &info);
  const int error = errno;
  if (found != 0) {
    ReportFailure(kCannotWriteOutput, "", error);
    return false;
  }
  if (S_ISREG(info.st_mode) || ReopenNonBlocking(STDOUT_FILENO)) return true;
  const int flags = fcntl(STDOUT_FILENO, F_GETFL);
  const int getError = errno;
  if (flags < 0) {
    ReportFailure(kCannotWriteOutput, "", getError);
    return false;
  }
  const int set = fcntl(STDOUT_FILENO, F_SETFL, flags | O_NONBLOCK);
  const int setError = errno;
  if (set != 0) {
    ReportFailure(kCannotWriteOutput, "", setError);
    return false;
  }
  output->sharedFlags = flags;
  return true;
}

// With descriptor 0 or 2 closed, the terminal could be opened there, and
// error messages would go to the sender: /dev/null stands in. A message
// must not hold the simulator either (2>&1 into a stuck pipe): one that
// the reader cannot take at once is lost.
void SettleStandardDescriptors() {
  for (const int fd : {STDIN_FILENO, STDERR_FILENO}) {
    if (fcntl(fd, F_GETFD) >= 0) continue;
    const int opened = open("/dev/null", O_RDWR);
    if (opened >= 0 && opened != fd) close(opened);
  }
  if (!IsRegularFile(STDERR_FILENO)) ReopenNonBlocking(STDERR_FILENO);
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
    std::fprintf(stderr,
                 "relay-board-sim: standard output was not being read: %ld line(s) dropped\n",
                 output->droppedUnreported);
    output->droppedUnreported = 0;
  }
  output->pending += text;
  output->pending += '\n';
}

// Writes what the reader takes now. False once a write has failed.
bool FlushOutput(Output* output) {
  while (!output->failed && !output->pending.empty()) {
    const ssize_t written = write(STDOUT_FILENO, output->pending.data(), output->pending.size());
    const int error = errno;
    if (written < 0 && error == EINTR) continue;
    if (written < 0 && error == EAGAIN) break;
    if (written <= 0) {
      ReportFailure(kCannotWriteOutput, "", written < 0 ? error : EIO);
      output->failed = true;
      break;
    }
    output->pending.erase(0, static_cast<std::size_t>(written));
  }
  return !output->failed;
}

// At exit: what the reader takes now, then a count of the lines it never
// got. False when output failed or lines were lost.
bool FinishOutput(Output* output) {
  FlushOutput(output);
  if (output->sharedFlags >= 0) fcntl(STDOUT_FILENO, F_SETFL, output->sharedFlags);
  if (output->failed) return false;
  const long unwritten =
      static_cast<long>(std::count(output->pending.begin(), output->pending.end(), '\n'));
  const long lost = output->droppedInAll + unwritten;
  if (lost == 0) return true;
  std::fprintf(stderr, "relay-board-sim: standard output was not being read: %ld line(s) lost\n",
               lost);
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
  // A reader that goes away must not kill us before the link is removed.
  signal(SIGPIPE, SIG_IGN);
  Output output;
  if (!OpenOutput(&output)) return kExitFailure;
  SettleStandardDescriptors();
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

}  // namespace

int main(int argc, char** argv) {
  Options options;
  switch (ParseOptions(argc, argv, &options)) {
    case ParseResult::kHelp: {
      std::fputs(kUsage, stdout);
      const int flushed = std::fflush(stdout);
      const int error = errno;
      if (flushed == 0) return kExitOk;
      ReportFailure(kCannotWriteOutput, "", error);
      return kExitFailure;
    }
    case ParseResult::kUsageError:
      std::fputs(kUsage, stderr);
      return kExitUsage;
    case ParseResult::kRun:
      break;
  }
  return RunSimulator(options);
}
