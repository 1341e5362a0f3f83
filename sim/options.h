// The simulator's command line and its exit statuses.
#pragma once

#include <string>

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

struct Options {
  bool json;
  std::string linkPath;
  long frameLimit;  // 0: run until a signal
};

enum class ParseResult { kRun, kHelp, kUsageError };

// A wrong option is reported on standard error before this returns.
ParseResult ParseOptions(int argc, char** argv, Options* options);

// --help: the usage text on standard output; the exit status.
int PrintHelp();

// After a wrong option: the usage text on standard error; the exit status.
int PrintUsageError();
