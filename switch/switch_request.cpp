#include "switch/switch_request.h"

#include <cstring>

#include "serial/fixed_text.h"
#include "switch/run_guard.h"

namespace {

constexpr int kTimedArgumentCount = 3;  // PORT ADDRESS RELAY
constexpr int kMostDecimals = 3;        // milliseconds

bool IsOption(const char* text) { return text[0] == '-' && text[1] == '-'; }

void WriteText(const char* text) { WriteError(text, std::strlen(text)); }

}  // namespace

std::int64_t ParseHoldMs(const char* text) {
  std::int64_t ms = 0;
  const char* at = text;
  for (; *at >= '0' && *at <= '9'; ++at) {
    ms = ms * 10 + (*at - '0');
    if (ms > kLongestHoldMs) return 0;
  }
  if (at == text) return 0;
  ms *= 1000;
  if (*at == '.') {
    ++at;
    std::int64_t scale = 100;
    for (int decimals = 0; *at >= '0' && *at <= '9'; ++at, ++decimals, scale /= 10) {
      if (decimals == kMostDecimals) return 0;
      ms += (*at - '0') * scale;
    }
  }
  if (*at != '\0' || ms < kShortestHoldMs || ms > kLongestHoldMs) return 0;
  return ms;
}

const char* ParseSwitchRequest(int argc, const char* const* argv, SwitchRequest* request) {
  int next = 1;
  for (; next < argc && IsOption(argv[next]); ++next) {
    const char* option = argv[next];
    if (SameText(option, "--background")) {
      request->background = true;
      continue;
    }
    const bool needsSeconds = SameText(option, "--pulse") || SameText(option, "--cycle");
    if (!needsSeconds && !SameText(option, "--state")) return "unknown option";
    if (request->mode != SwitchMode::kSwitch) return "one of --pulse, --cycle and --state at most";
    if (SameText(option, "--state")) {
      request->mode = SwitchMode::kState;
      continue;
    }
    request->mode = SameText(option, "--pulse") ? SwitchMode::kPulse : SwitchMode::kCycle;
    if (++next == argc) return "SECONDS missing";
    request->holdMs = ParseHoldMs(argv[next]);
    if (request->holdMs == 0) return "SECONDS must be 0.1 to 3600, with at most 3 decimals";
  }
  request->arguments[0] = argv[0];
  const int positional = argc - next;
  if (request->mode == SwitchMode::kSwitch) {
    if (request->background) return "--background goes with --pulse or --cycle";
    // Kavnori's own checks, usage text and status for any count.
    for (int i = 0; i < positional && i < 5; ++i) request->arguments[i + 1] = argv[next + i];
    request->argumentCount = positional + 1;
    return nullptr;
  }
  if (request->mode == SwitchMode::kState && request->background) {
    return "--background goes with --pulse or --cycle";
  }
  if (positional != kTimedArgumentCount) return "PORT ADDRESS RELAY expected after the option";
  for (int i = 0; i < kTimedArgumentCount; ++i) request->arguments[i + 1] = argv[next + i];
  // The first frame's power state: on for a pulse, off for a cycle.
  request->arguments[4] = request->mode == SwitchMode::kCycle ? "0" : "1";
  request->argumentCount = 5;
  return nullptr;
}

void PrintSwitchUsage(const char* problem) {
  WriteText("kavnori-switch: ");
  WriteText(problem);
  WriteText(
      "\nusage: kavnori-switch PORT ADDRESS RELAY ONOFF\n"
      "       kavnori-switch [--background] --pulse SECONDS PORT ADDRESS RELAY\n"
      "       kavnori-switch [--background] --cycle SECONDS PORT ADDRESS RELAY\n"
      "       kavnori-switch --state PORT ADDRESS RELAY\n");
}
