// kavnori-switch's runs, on arguments that passed Kavnori's checks: a
// switch, a pulse or cycle, and the look at the last commanded state. Each
// returns the program's exit status; the first two run guarded
// (run_guard.h).
#pragma once

#include "app/relay_command.h"
#include "switch/switch_request.h"

int RunSwitch(const SwitchRequest& request, const RelayCommand& command);
int RunTimedSwitch(const SwitchRequest& request, const RelayCommand& command);
int PrintRelayState(const SwitchRequest& request, const RelayCommand& command);
