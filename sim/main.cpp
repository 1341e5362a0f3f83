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
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include "sim/board_loop.h"
#include "sim/event_report.h"
#include "sim/link.h"
#include "sim/options.h"
#include "sim/output_queue.h"
#include "sim/pty.h"

namespace {

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

// With descriptor 0 or 2 closed, the terminal could be opened there, and
// error messages would go to the sender: /dev/null stands in.
void SettleStandardDescriptors() {
  for (const int fd : {STDIN_FILENO, STDERR_FILENO}) {
    if (fcntl(fd, F_GETFD) >= 0) continue;
    const int opened = open("/dev/null", O_RDWR);
    if (opened >= 0 && opened != fd) close(opened);
  }
}

bool OpenTerminal(Pty* pty) {
  PtyFailure failure = {};
  if (OpenPty(pty, &failure)) return true;
  ReportFailure(failure.call, pty->path, failure.error);
  return false;
}

int RunSimulator(const Options& options) {
  Output output;
  if (!OpenOutput(&output)) return kExitFailure;
  const int signalFd = OpenExitSignals();
  Pty pty = {-1, -1, ""};
  const bool linked = !options.linkPath.empty();
  int status = kExitFailure;
  TerminalFolder folder;
  if (signalFd >= 0 && OpenTerminal(&pty) && (!linked || OpenTerminalFolder(pty.path, &folder))) {
    const std::string linkTarget = linked ? BoardLinkTarget(folder) : "";
    if (!linked || CreateLink(options.linkPath, linkTarget)) {
      QueueLine(&output, FormatReadyLine(pty.path, options.linkPath, options.json));
      status = RunBoard(&pty, signalFd, options, &output);
      if (linked && !RemoveLink(options.linkPath, linkTarget)) status = kExitFailure;
    }
  }
  if (!FinishOutput(&output)) status = kExitFailure;
  CloseTerminalFolder(&folder);
  ClosePty(&pty);
  if (signalFd >= 0) close(signalFd);
  return status;
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
    case ParseResult::kVersion:
      return PrintVersion();
    case ParseResult::kUsageError:
      return PrintUsageError();
    case ParseResult::kRun:
      break;
  }
  return RunSimulator(options);
}
