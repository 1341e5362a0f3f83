// The simulator's command line and its exit statuses.
#pragma once

#include <string>

// What scripts see: 0 after a signal or the frames asked for, 1 when
// something could not be done, 2 for a wrong option.
enum ExitStatus { kExitOk = 0, kExitFailure = 1, kExitUsage = 2 };

struct Options {
  bool json;
  std::string linkPath;
  long frameLimit;  // 0: run until a signal
};

enum class ParseResult { kRun, kHelp, kVersion, kUsageError };

// A wrong option is reported on standard error before this returns.
ParseResult ParseOptions(int argc, char** argv, Options* options);

// --help: the usage text on standard output; the exit status.
int PrintHelp();

// --version: "relay-board-sim VERSION" on standard output; the exit status.
int PrintVersion();

// After a wrong option: the usage text on standard error; the exit status.
int PrintUsageError();
