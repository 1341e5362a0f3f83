// One run of the command, from the argument vector to the exit status.
#pragma once

enum ExitStatus {
  kExitSuccess = 0,        // frame written, port closed
  kExitUsage = 1,          // wrong count or a value out of range
  kExitReadSettings = 2,   // the port did not open, or its settings could not be read
  kExitApplySettings = 3,  // the driver refused 9600 8N1
  kExitWrite = 4,          // the frame did not go out whole
  kExitClose = 5,          // the port did not close
};

int RunKavnori(int argc, const char* const* argv);

// The stages after the parse, for a program that runs them itself (the
// timed switch). Each prints its own lines and returns the run's status.
// PrepareRelayLine opens the port and sets 9600 8N1 (0, 2 or 3); the port
// then waits for SendRelayFrame, which writes, closes and prints the power
// line (0, 4 or 5), so that a caller may choose the moment of the write.
struct RelayCommand;
struct SerialPort;
// The parse with its usage lines: 0, or 1 with the usage printed.
int ParseRelayArguments(int argc, const char* const* argv, RelayCommand* command);
int PrepareRelayLine(const RelayCommand& command, SerialPort* port);
int SendRelayFrame(const RelayCommand& command, const SerialPort& port);
int RunRelayCommand(const RelayCommand& command);
