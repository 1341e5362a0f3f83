#include <signal.h>

#include <initializer_list>

#include "app/stop_signals.h"
#include "serial/kernel_calls_linux.h"
#include "serial/own_uucp_lock_linux.h"

namespace {

// Safe in a signal handler: the release, then the default action raised
// again.
void ReleaseAndStop(int signal) {
  ReleaseUucpLock();
  ::signal(signal, SIG_DFL);
  KernelKill(KernelGetPid(), signal);
}

}  // namespace

void ReleaseLockOnStopSignals() {
  for (const int stop : {SIGTERM, SIGINT, SIGHUP}) {
    if (::signal(stop, ReleaseAndStop) == SIG_IGN) ::signal(stop, SIG_IGN);
  }
}
