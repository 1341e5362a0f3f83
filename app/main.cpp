#include <signal.h>

#include "app/run.h"
#include "app/stop_signals.h"

namespace {

// A standard output whose reader has gone must not decide whether the frame
// goes out: with SIGPIPE ignored a line that cannot be printed is dropped,
// and the run goes on to the write and ends with the stage's status.
// Windows raises no signal there; the write just fails.
#ifdef SIGPIPE
void IgnoreBrokenPipe() { signal(SIGPIPE, SIG_IGN); }
#else
void IgnoreBrokenPipe() {}
#endif

}  // namespace

int main(int argc, char** argv) {
  IgnoreBrokenPipe();
  ReleaseLockOnStopSignals();
  return RunKavnori(argc, argv);
}
