// kavnori-switch's own exit statuses, beside Kavnori's 0 to 5 (app/run.h),
// and the wait for the port's turn that the first two end.
#pragma once

constexpr int kExitLockUnusable = 66;  // the port's lock or state cannot be used; nothing sent
constexpr int kExitBusy = 75;          // the port stayed busy for the whole wait; nothing sent
constexpr int kExitTimedOut = 124;     // the time limit ended the run, as timeout(1) ends one
constexpr int kTurnWaitMs = 20000;
