#include "app/run.h"

#include <cstdio>

#include "app/configured_line.h"
#include "app/relay_command.h"
#include "protocol/command_frame.h"
#include "serial/serial_port.h"

namespace {

constexpr const char* kParameterError = "***Please check you parameters!\n";

int ExitStatusFor(LineSetup setup) {
  return setup == LineSetup::kReadFailed ? kExitReadSettings : kExitApplySettings;
}

void PrintPowerLine(const RelayCommand& command) {
  std::printf("Power %s @ Relay %d\n", command.powerState == 1 ? "On" : "Off", command.relayNumber);
}

// The write and the close after a progress line can wait without end (an
// XOFF with IXON, or CTS low with hardware flow control), and a caller may
// then stop the run. Output to a pipe or file is fully buffered, so each
// line is pushed out before the wait. A flush, not line buffering: the
// Windows C runtime treats line buffering as full buffering.
void PushOut() { std::fflush(stdout); }

}  // namespace

int RunKavnori(int argc, const char* const* argv) {
  RelayCommand command;
  switch (ParseRelayCommand(argc, argv, &command)) {
    case ParseResult::kWrongCount:
      PrintUsage();
      return kExitUsage;
    case ParseResult::kOutOfRange:
      std::printf("%s", kParameterError);
      PrintUsage();
      return kExitUsage;
    case ParseResult::kParsed:
      break;
  }

  // A stage that fails has printed its own line. The port is then left to
  // the end of the process, which releases it.
  const SerialPort port = OpenSerialPort(command.portName);
  const LineSetup setup = ConfigureSerialLine(port);
  if (setup != LineSetup::kConfigured) return ExitStatusFor(setup);
  PrintConfiguredLine(command.portName);
  PushOut();

  const CommandFrame frame =
      BuildCommandFrame(command.address, command.powerState, command.relayNumber);
  if (!WriteCommandFrame(port, frame)) return kExitWrite;
  PrintPowerLine(command);
  PushOut();

  if (!CloseSerialPort(port)) return kExitClose;
  return kExitSuccess;
}
