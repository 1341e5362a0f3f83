// What a signal that stops the program (TERM, INT, HUP: a time limit,
// Ctrl-C, a hangup) does on its way: the run's own lock file goes
// (serial/own_uucp_lock_linux.h), then the signal ends the process as it
// would have. A signal the caller had ignored (nohup, a background job's
// SIGINT) stays ignored. Only SIGKILL leaves a lock, whose pid has then
// gone, so the next run calls it stale.
//
// The program's choice, made in main(); the library installs no handler.
// One implementation file per platform: a run on Windows leaves no lock.
#pragma once

void ReleaseLockOnStopSignals();
