#include "app/relay_command.h"
#include "app/run.h"
#include "switch/run_guard.h"
#include "switch/switch_request.h"
#include "switch/switch_run.h"

int main(int argc, char** argv) {
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
  if (request.mode == SwitchMode::kState) return PrintRelayState(command);
  InstallRunGuard(command.portName.text);
  return request.mode == SwitchMode::kSwitch ? RunSwitch(command)
                                             : RunTimedSwitch(request, command);
}
