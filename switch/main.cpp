#include "app/relay_command.h"
#include "app/run.h"
#include "switch/release.h"
#include "switch/run_guard.h"
#include "switch/switch_request.h"
#include "switch/switch_run.h"

int main(int argc, char** argv) {
  int releaseStatus = 0;
  if (RunAsRelease(argc, argv, &releaseStatus)) return releaseStatus;
  SwitchRequest request;
  const char* problem = ParseSwitchRequest(argc, argv, &request);
  if (problem != nullptr) {
    PrintSwitchUsage(problem);
    return kExitUsage;
  }
  // Kavnori's own checks, usage text and status for the arguments.
  RelayCommand command;
  const int parsed = ParseRelayArguments(request.argumentCount, request.arguments, &command);
  if (parsed != kExitSuccess) return parsed;
  if (request.mode == SwitchMode::kState) return PrintRelayState(request, command);
  InstallRunGuard(PortText(request));
  return request.mode == SwitchMode::kSwitch ? RunSwitch(request, command)
                                             : RunTimedSwitch(request, command);
}
