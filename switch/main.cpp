#include "switch/release.h"
#include "switch/switch_request.h"
#include "switch/switch_run.h"

namespace {

constexpr int kExitUsage = 1;

}  // namespace

int main(int argc, char** argv) {
  int releaseStatus = 0;
  if (RunAsRelease(argc, argv, &releaseStatus)) return releaseStatus;
  SwitchRequest request;
  const char* problem = ParseSwitchRequest(argc, argv, &request);
  if (problem != nullptr) {
    PrintSwitchUsage(problem);
    return kExitUsage;
  }
  switch (request.mode) {
    case SwitchMode::kSwitch:
      return RunSwitch(request);
    case SwitchMode::kState:
      return PrintRelayState(request);
    case SwitchMode::kPulse:
    case SwitchMode::kCycle:
      break;
  }
  return RunTimedSwitch(request);
}
