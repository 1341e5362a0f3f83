#include "sim/options.h"

#include <errno.h>
#include <getopt.h>
#include <unistd.h>

#include <cstdlib>

#include "sim/output_queue.h"

namespace {

const char kUsage[] =
    "Usage: relay-board-sim [--json] [--link PATH] [--frames N]\n"
    "\n"
    "Acts as relay boards on a pseudo-terminal. Prints the terminal's path on\n"
    "the first line, then one line per frame written to it.\n"
    "\n"
    "  -j, --json        JSON Lines output; the first line is\n"
    "                    {\"event\":\"ready\",\"path\":...}\n"
    "  -l, --link PATH   make PATH a symbolic link to the terminal while running\n"
    "                    (e.g. $WINEPREFIX/dosdevices/com12); removed on exit\n"
    "  -n, --frames N    exit after N frames, applied or rejected (short frames\n"
    "                    count, stray bytes do not), once the sender has closed\n"
    "                    the terminal (2 s at most)\n"
    "  -h, --help        show this help\n"
    "  -V, --version     show the version\n"
    "\n"
    "An existing PATH is replaced only when it is a link to a pseudo-terminal\n"
    "(/dev/pts/N) that is gone.\n"
    "Output is never waited for: up to 256 KiB that the reader has not taken is\n"
    "kept, then lines are dropped and counted on standard error.\n"
    "\n"
    "Exits 0 on SIGINT, SIGTERM or SIGHUP, or after N frames; 1 when the\n"
    "terminal or the link cannot be set up, or output failed or was lost; 2 on\n"
    "a wrong option.\n";

bool ParseFrameLimit(const char* text, long* limit) {
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  const int error = errno;
  if (error != 0 || end == text || *end != '\0' || value < 1) return false;
  *limit = value;
  return true;
}

}  // namespace

ParseResult ParseOptions(int argc, char** argv, Options* options) {
  static const struct option kLongOptions[] = {
      {"json", no_argument, nullptr, 'j'},         {"link", required_argument, nullptr, 'l'},
      {"frames", required_argument, nullptr, 'n'}, {"help", no_argument, nullptr, 'h'},
      {"version", no_argument, nullptr, 'V'},      {nullptr, 0, nullptr, 0},
  };
  *options = Options{false, "", 0};
  // getopt's own messages would go through stdio, which waits for stderr.
  opterr = 0;
  int option = 0;
  while ((option = getopt_long(argc, argv, ":jl:n:hV", kLongOptions, nullptr)) != -1) {
    switch (option) {
      case 'j':
        options->json = true;
        break;
      case 'l':
        options->linkPath = optarg;
        if (options->linkPath.empty()) return ParseResult::kUsageError;
        break;
      case 'n':
        if (!ParseFrameLimit(optarg, &options->frameLimit)) {
          Say("relay-board-sim: --frames needs a whole number from 1\n");
          return ParseResult::kUsageError;
        }
        break;
      case 'h':
        return ParseResult::kHelp;
      case 'V':
        return ParseResult::kVersion;
      case ':':
        Say("relay-board-sim: option '%s' needs a value\n", argv[optind - 1]);
        return ParseResult::kUsageError;
      default:
        Say("relay-board-sim: unrecognized option '%s'\n", argv[optind - 1]);
        return ParseResult::kUsageError;
    }
  }
  if (optind < argc) {
    Say("relay-board-sim: unexpected argument '%s'\n", argv[optind]);
    return ParseResult::kUsageError;
  }
  return ParseResult::kRun;
}

namespace {

int PrintToStandardOutput(const char* text, std::size_t size) {
  int error = 0;
  if (WriteWhatFits(STDOUT_FILENO, text, size, &error) == size) return kExitOk;
  ReportOutputFailure(error != 0 ? error : EAGAIN);
  return kExitFailure;
}

}  // namespace

int PrintHelp() { return PrintToStandardOutput(kUsage, sizeof kUsage - 1); }

int PrintVersion() {
  static const char kVersion[] = "relay-board-sim " KAVNORI_VERSION "\n";
  return PrintToStandardOutput(kVersion, sizeof kVersion - 1);
}

int PrintUsageError() {
  Say("%s", kUsage);
  return kExitUsage;
}
