#include "app/stop_signals.h"

void ReleaseLockOnStopSignals() {}  // no lock file to take along
