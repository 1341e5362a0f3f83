// kavnori-switch's command line: Kavnori's four arguments, or an option
// first and three of them (PORT ADDRESS RELAY). Options stand before the
// arguments, so that no older version reads them as a switch.
//
//   kavnori-switch PORT ADDRESS RELAY ONOFF
//   kavnori-switch [--background] --pulse SECONDS PORT ADDRESS RELAY   on, hold, off
//   kavnori-switch [--background] --cycle SECONDS PORT ADDRESS RELAY   off, wait, on
//   kavnori-switch --state PORT ADDRESS RELAY                           the last commanded state
#pragma once

#include <cstdint>

enum class SwitchMode { kSwitch, kPulse, kCycle, kState };

// SECONDS: decimal, at most three decimals, from 0.1 to 3600.
constexpr std::int64_t kShortestHoldMs = 100;
constexpr std::int64_t kLongestHoldMs = 3600 * 1000;

struct SwitchRequest {
  SwitchMode mode = SwitchMode::kSwitch;
  std::int64_t holdMs = 0;
  bool background = false;
  // Kavnori's argument vector, the program's name first: as given for a
  // switch, built with the power state of the first frame otherwise.
  const char* arguments[6] = {};
  int argumentCount = 0;
};

// Null when the line is usable, else what is wrong with it. A plain switch
// is always usable here: its four arguments get Kavnori's own checks.
const char* ParseSwitchRequest(int argc, const char* const* argv, SwitchRequest* request);

// 0 for a text that is no SECONDS, or one out of range.
std::int64_t ParseHoldMs(const char* text);

void PrintSwitchUsage(const char* problem);

// The port as given: a Windows port's name is held in wide characters.
inline const char* PortText(const SwitchRequest& request) { return request.arguments[1]; }
