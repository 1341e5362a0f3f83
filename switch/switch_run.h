// kavnori-switch's runs: a switch, a pulse or cycle, and the look at the
// last commanded state. Each returns the program's exit status.
#pragma once

#include "switch/switch_request.h"

int RunSwitch(const SwitchRequest& request);
int RunTimedSwitch(const SwitchRequest& request);
int PrintRelayState(const SwitchRequest& request);
