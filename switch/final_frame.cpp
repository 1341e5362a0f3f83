#include "switch/final_frame.h"

#include "app/run.h"
#include "serial/fixed_text.h"
#include "switch/relay_claim.h"
#include "switch/run_guard.h"
#include "switch/switch_status.h"

namespace {

constexpr std::int64_t kNsPerMs = 1000000;
// A port held, gone or down is tried again this often, until this long
// after the frame's time.
constexpr std::int64_t kRetryEveryMs = 500;
constexpr std::int64_t kRetryForMs = 60000;
// The port is opened and set this long before the frame is due, so that the
// write itself comes at its time.
constexpr std::int64_t kPrepareAheadMs = 50;
// Later than this is reported: a person would notice it.
constexpr std::int64_t kLateMs = 250;
constexpr int kOvertaken = -1;  // a later command owns every relay

std::int64_t WallMsAt(std::int64_t monotonicNs) {
  return WallClockMs() + (monotonicNs - MonotonicNs()) / kNsPerMs;
}

const char* PowerWord(const RelayCommand& command) {
  return command.powerState == 1 ? "on" : "off";
}

void Tell(const char* port, const RelayCommand& command, const char* what, std::int64_t ms) {
  char line[512];
  std::size_t length = Append(line, sizeof line, 0, "kavnori-switch: ");
  length = Append(line, sizeof line, length, port);
  length = Append(line, sizeof line, length, ": the ");
  length = Append(line, sizeof line, length, PowerWord(command));
  length = Append(line, sizeof line, length, " of relay ");
  length = AppendNumber(line, sizeof line, length, static_cast<unsigned>(command.relayNumber), 1);
  length = Append(line, sizeof line, length, what);
  length = AppendNumber(line, sizeof line, length, static_cast<unsigned long long>(ms / 1000), 1);
  length = Append(line, sizeof line, length, ".");
  length = AppendNumber(line, sizeof line, length, static_cast<unsigned long long>(ms % 1000), 3);
  length = Append(line, sizeof line, length, " s\n");
  WriteError(line, length);  // a caller gone: the state still tells
}

// For --state: what is due, and when.
void NotePending(const ReleasePlan& plan, std::int64_t dueNs) {
  StateFile state;
  if (!OpenRelayStates(plan.turn.names[0], plan.finalCommand.address, &state)) return;
  const std::int32_t relayNumber = plan.finalCommand.relayNumber;
  for (int number = FirstRelay(relayNumber); number <= LastRelay(relayNumber); ++number) {
    RelayRecord& relay = state.states.relays[number - 1];
    if (relay.generation != plan.generations[number]) continue;
    relay.pending = plan.finalCommand.powerState == 1 ? Commanded::kOn : Commanded::kOff;
    relay.dueWallMs = WallMsAt(dueNs);
  }
  SaveRelayStates(&state);
}

void NoteOutcome(RelayStates* states, const ReleasePlan& plan, const bool* owned, int status,
                 std::int64_t dueNs, std::int64_t lateMs) {
  const std::int32_t relayNumber = plan.finalCommand.relayNumber;
  if (status == 0) RecordSent(states, relayNumber, plan.generations, plan.finalCommand.powerState);
  for (int number = FirstRelay(relayNumber); number <= LastRelay(relayNumber); ++number) {
    if (!owned[number]) continue;
    RelayRecord& relay = states->relays[number - 1];
    relay.pending = Commanded::kUnknown;
    relay.trouble = status != 0        ? FinalTrouble::kFailed
                    : lateMs > kLateMs ? FinalTrouble::kLate
                                       : FinalTrouble::kNone;
    relay.troubleWallMs = WallMsAt(dueNs);
    relay.lateMs = lateMs;
  }
}

// Writes the prepared frame under the time limit: its status.
int Write(const ReleasePlan& plan, const RelayCommand& command, const SerialPort& port) {
  ArmTimeLimit(plan.timeLimitMs);
  SetGuardStage(GuardStage::kSending, port.network ? -1 : port.handle);
  int status = SendRelayFrame(command, port);
  DisarmTimeLimit();
  SetGuardStage(GuardStage::kBeforeFrame, -1);
  if (TimeLimitPassed()) status = kExitTimedOut;
  return status;
}

int Prepare(const ReleasePlan& plan, const RelayCommand& command, SerialPort* port) {
  ArmTimeLimit(plan.timeLimitMs);
  int status = PrepareRelayLine(command, port);
  DisarmTimeLimit();
  if (status == 0 && TimeLimitPassed()) status = kExitTimedOut;
  if (status != 0) LetGoOfPort(*port);
  return status;
}

// Relay 0 of which a later command took some relays: a frame for each of
// the others.
int WriteOneByOne(const ReleasePlan& plan, const bool* owned) {
  int status = 0;
  for (int number = 1; number <= kStateRelays && status == 0; ++number) {
    if (!owned[number]) continue;
    RelayCommand command = plan.finalCommand;
    command.relayNumber = number;
    SerialPort port;
    status = Prepare(plan, command, &port);
    if (status == 0) status = Write(plan, command, port);
  }
  return status;
}

// One attempt: the port's turn, the line set, then at the due time the
// frame, under the state's lock so that no later command slips between the
// look at the generations and the write.
int Attempt(const ReleasePlan& plan, std::int64_t dueNs, std::int64_t* sentNs) {
  PortTurn turn = plan.turn;
  const TurnResult taken = TakePortTurn(&turn, kTurnWaitMs);
  if (taken != TurnResult::kTaken)
    return taken == TurnResult::kBusy ? kExitBusy : kExitLockUnusable;
  SerialPort port;
  int status = Prepare(plan, plan.finalCommand, &port);
  if (status != 0) {
    GivePortTurn(&turn);
    return status;
  }
  SleepUntil(dueNs);
  StateFile state;
  const bool stateKept = OpenRelayStates(turn.names[0], plan.finalCommand.address, &state);
  bool owned[kStateRelays + 1] = {};
  const int relays =
      LastRelay(plan.finalCommand.relayNumber) - FirstRelay(plan.finalCommand.relayNumber) + 1;
  // Without a state to look at (none, or one made anew since the first
  // frame: removed meanwhile), the final frame goes out: it is the safe end.
  const bool known = stateKept && !state.fresh;
  const int stillOwned =
      known ? StillOwned(state.states, plan.finalCommand.relayNumber, plan.generations, owned)
            : relays;
  if (!known) {
    for (bool& relay : owned) relay = true;
  }
  *sentNs = MonotonicNs();
  if (stillOwned == relays) {
    status = Write(plan, plan.finalCommand, port);
  } else {
    LetGoOfPort(port);
    status = stillOwned == 0 ? kOvertaken : WriteOneByOne(plan, owned);
  }
  if (stateKept) {
    if (status != kOvertaken) {
      NoteOutcome(&state.states, plan, owned, status, dueNs, (*sentNs - dueNs) / kNsPerMs);
    }
    SaveRelayStates(&state);
  }
  GivePortTurn(&turn);
  return status;
}

}  // namespace

int SendFinalFrame(const ReleasePlan& plan, std::int64_t dueNs, const AttemptLines& lines) {
  NotePending(plan, dueNs);
  const std::int64_t giveUpNs = dueNs + kRetryForMs * kNsPerMs;
  SleepUntil(dueNs - kPrepareAheadMs * kNsPerMs);
  for (;;) {
    std::int64_t sentNs = 0;
    const int status = Attempt(plan, dueNs, &sentNs);
    const bool last = status == 0 || status == kOvertaken || MonotonicNs() >= giveUpNs;
    PassOnLines(lines, last);
    if (status == kOvertaken) return kFinalOvertaken;
    const std::int64_t lateMs = (sentNs - dueNs) / kNsPerMs;
    if (status == 0) {
      if (lateMs > kLateMs) Tell(plan.port, plan.finalCommand, " went out late by ", lateMs);
      return 0;
    }
    if (last) {
      Tell(plan.port, plan.finalCommand, " did not go out; tried for ",
           (MonotonicNs() - dueNs) / kNsPerMs);
      return status;
    }
    SleepUntil(MonotonicNs() + kRetryEveryMs * kNsPerMs);
  }
}
