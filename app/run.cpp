#include "app/run.h"

#include "app/configured_line.h"
#include "app/relay_command.h"
#include "protocol/command_frame.h"
#include "serial/fixed_text.h"
#include "serial/serial_port.h"
#include "serial/standard_output.h"

namespace {

constexpr char kParameterError[] = "***Please check you parameters!\n";

int ExitStatusFor(LineSetup setup) {
  return setup == LineSetup::kReadFailed ? kExitReadSettings : kExitApplySettings;
}

// The relay is 0 to 16 by now: the parse refused any other.
void PrintPowerLine(const RelayCommand& command) {
  char line[32];
  std::size_t length =
      Append(line, sizeof line, 0, command.powerState == 1 ? "Power On" : "Power Off");
  length = Append(line, sizeof line, length, " @ Relay ");
  length = AppendNumber(line, sizeof line, length, static_cast<unsigned>(command.relayNumber), 1);
  WriteOutput(line, Append(line, sizeof line, length, "\n"));
}

}  // namespace

int ParseRelayArguments(int argc, const char* const* argv, RelayCommand* command) {
  switch (ParseRelayCommand(argc, argv, command)) {
    case ParseResult::kWrongCount:
      PrintUsage();
      return kExitUsage;
    case ParseResult::kOutOfRange:
      WriteOutput(kParameterError, sizeof kParameterError - 1);
      PrintUsage();
      return kExitUsage;
    case ParseResult::kParsed:
      break;
  }
  return kExitSuccess;
}

int RunKavnori(int argc, const char* const* argv) {
  RelayCommand command;
  const int parsed = ParseRelayArguments(argc, argv, &command);
  if (parsed != kExitSuccess) return parsed;
  return RunRelayCommand(command);
}

// A stage that fails has printed its own line. The port is then left to the
// end of the process, which releases it.
int PrepareRelayLine(const RelayCommand& command, SerialPort* port) {
  *port = OpenSerialPort(command.portName);
  const LineSetup setup = ConfigureSerialLine(*port);
  if (setup != LineSetup::kConfigured) return ExitStatusFor(setup);
  PrintConfiguredLine(command.portName);
  return kExitSuccess;
}

int SendRelayFrame(const RelayCommand& command, const SerialPort& port) {
  const CommandFrame frame =
      BuildCommandFrame(command.address, command.powerState, command.relayNumber);
  if (!WriteCommandFrame(port, frame)) return kExitWrite;
  PrintPowerLine(command);

  if (!CloseSerialPort(port)) return kExitClose;
  return kExitSuccess;
}

int RunRelayCommand(const RelayCommand& command) {
  SerialPort port;
  const int prepared = PrepareRelayLine(command, &port);
  if (prepared != kExitSuccess) return prepared;
  return SendRelayFrame(command, port);
}
