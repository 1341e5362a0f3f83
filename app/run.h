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
