#include "switch/switch_run.h"
#include "app/relay_command.h"
#include "app/run.h"
#include "serial/fixed_text.h"
#include "serial/rfc2217_client.h"
#include "serial/standard_output.h"
#include "switch/relay_claim.h"
#include "switch/release.h"
#include "switch/run_guard.h"
#include "switch/switch_status.h"

namespace {

// A network port's stages wait up to 5 s (open), 3 s (settings) and 5 s
// (the barrier after the frame).
constexpr int kLocalTimeLimitMs = 5000;
constexpr int kNetworkTimeLimitMs = 15000;

int TimeLimitMs(const char* port) {
  return IsNetworkPortName(port) ? kNetworkTimeLimitMs : kLocalTimeLimitMs;
}

// The port's turn, or the line that says why not and the status.
int TakeTurnOrSay(const char* port, PortTurn* turn) {
  const TurnResult taken = TakePortTurn(turn, kTurnWaitMs);
  if (taken == TurnResult::kTaken) return 0;
  if (taken == TurnResult::kBusy) {
    SayAboutPort(port, "the port stayed busy for 20 s; nothing sent");
    return kExitBusy;
  }
  char lock[kTurnNameCapacity + 32];
  LockFolderPath(*turn, turn->failed, lock, sizeof lock);
  SayAboutPort(port, "the lock ", lock,
               taken == TurnResult::kNotFolder ? " is a link or no folder; nothing sent"
                                               : " could not be opened; nothing sent");
  return kExitLockUnusable;
}

// Claims the command's relays in the board's state: false when there is
// no state to claim them in.
bool Claim(const PortTurn& turn, const RelayCommand& command, std::uint32_t* owned) {
  StateFile state;
  if (turn.count == 0 || !OpenRelayStates(turn.names[0], command.address, &state)) return false;
  ClaimRelays(&state.states, command.relayNumber, owned);
  SaveRelayStates(&state);
  return true;
}

void Record(const PortTurn& turn, const RelayCommand& command, const std::uint32_t* owned) {
  StateFile state;
  if (!OpenRelayStates(turn.names[0], command.address, &state)) return;
  RecordSent(&state.states, command.relayNumber, owned, command.powerState);
  SaveRelayStates(&state);
}

// The frame under the port's turn and the time limit. `release`, when
// given, is told the moment of the write.
int SendUnderTurn(const char* portText, const RelayCommand& command, PortTurn* turn,
                  Release* release) {
  if (turn->count > 0) {
    const int turnStatus = TakeTurnOrSay(portText, turn);
    if (turnStatus != 0) return turnStatus;
  }
  ArmTimeLimit(TimeLimitMs(portText), true);
  SerialPort port;
  int status = PrepareRelayLine(command, &port);
  if (status == kExitSuccess) {
    SetGuardStage(GuardStage::kSending, port.network ? -1 : port.handle);
    if (release != nullptr) GoRelease(release);
    status = SendRelayFrame(command, port);
  }
  DisarmTimeLimit();
  SetGuardStage(GuardStage::kBeforeFrame, -1);
  GivePortTurn(turn);
  return status;
}

const char* StateWord(Commanded state) {
  return state == Commanded::kOn ? "on" : state == Commanded::kOff ? "off" : "unknown";
}

}  // namespace

int RunSwitch(const SwitchRequest& request, const RelayCommand& command) {
  PortTurn turn;
  NamePortTurn(PortText(request), &turn);
  std::uint32_t owned[kStateRelays + 1] = {};
  // A switch is never held up by the state: without one it only cannot
  // cancel an earlier pulse's final frame, which then could not have been
  // started either.
  const bool claimed = Claim(turn, command, owned);
  const int status = SendUnderTurn(PortText(request), command, &turn, nullptr);
  if (status == kExitSuccess && claimed) Record(turn, command, owned);
  return status;
}

int RunTimedSwitch(const SwitchRequest& request, const RelayCommand& command) {
  const char* port = PortText(request);
  ReleasePlan plan = {};
  plan.port = port;
  plan.finalCommand = command;
  plan.finalCommand.powerState = 1 - command.powerState;
  plan.holdMs = request.holdMs;
  plan.timeLimitMs = TimeLimitMs(port);
  NamePortTurn(port, &plan.turn);
  // A port that leads nowhere: the first frame fails at the open, and there
  // is nothing to release.
  if (plan.turn.count == 0) return RunRelayCommand(command);
  if (!Claim(plan.turn, command, plan.generations)) {
    char path[400];
    StatePath(plan.turn.names[0], command.address, path, sizeof path);
    SayAboutPort(port, "the state ", path, " could not be used; nothing sent");
    return kExitLockUnusable;
  }
  Release release;
  if (!StartRelease(plan, &release)) {
    SayAboutPort(port, "the release of the final frame could not start; nothing sent");
    return kExitLockUnusable;
  }
  // A cycle's on goes out also when its off does not.
  if (request.mode == SwitchMode::kCycle) ArmRelease(&release);
  const int first = SendUnderTurn(port, command, &plan.turn, &release);
  if (first == kExitSuccess) Record(plan.turn, command, plan.generations);
  // A pulse whose on never reached the write: its release ends unused.
  if (request.background || !release.told) {
    LeaveRelease(&release);
    return first;
  }
  SetGuardStage(GuardStage::kHolding, -1);
  const int final = AwaitRelease(&release);
  return first != kExitSuccess ? first : final;
}

int PrintRelayState(const SwitchRequest& request, const RelayCommand& command) {
  if (command.relayNumber == 0) {
    PrintSwitchUsage("--state takes one relay, 1 to 16");
    return kExitUsage;
  }
  PortTurn turn;
  NamePortTurn(PortText(request), &turn);
  StateFile state;
  RelayRecord relay = {};
  if (turn.count > 0 && OpenRelayStates(turn.names[0], command.address, &state)) {
    relay = state.states.relays[command.relayNumber - 1];
    CloseRelayStates(&state);
  }
  char line[160];
  std::size_t length = Append(line, sizeof line, 0, StateWord(relay.commanded));
  if (relay.pending != Commanded::kUnknown) {
    length = Append(line, sizeof line, length, ", ");
    length = Append(line, sizeof line, length, StateWord(relay.pending));
    length = Append(line, sizeof line, length, " at ");
    length = AppendLocalClock(line, sizeof line, length, relay.dueWallMs);
  }
  if (relay.trouble != FinalTrouble::kNone) {
    length = Append(line, sizeof line, length, "; the final frame due at ");
    length = AppendLocalClock(line, sizeof line, length, relay.troubleWallMs);
    length = Append(line, sizeof line, length,
                    relay.trouble == FinalTrouble::kFailed ? " failed" : " went out late");
  }
  length = Append(line, sizeof line, length, "\n");
  WriteOutput(line, length);
  return relay.commanded == Commanded::kOn ? 0 : relay.commanded == Commanded::kOff ? 1 : 3;
}
