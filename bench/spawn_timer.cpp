// Runs several commands in turn, A B C A B C ..., and prints the median and
// spread of each one's wall time, from just before the spawn to the reaped
// exit. Output and errors of the commands go to /dev/null; any status but 0
// stops the benchmark, since a failed switch is not a timing.
//
//   spawn-timer ROUNDS WARMUP LABEL CMD ARGS... [--- LABEL CMD ARGS...]...
//
// Prints one line per command: LABEL RUNS MEDIAN_US P10_US P90_US MIN_US
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/monotonic.h"

extern char** environ;

namespace {

struct Command {
  std::string label;
  std::vector<char*> argv;
  std::vector<double> micros;
};

// Wall time of one run, or -1 when it did not start or did not exit 0.
double TimeOnce(Command& command) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  const double start = 1e6 * MonotonicSeconds();
  pid_t pid = 0;
  const int error =
      posix_spawnp(&pid, command.argv[0], &actions, nullptr, command.argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) {
    std::fprintf(stderr, "spawn-timer: %s: %s\n", command.argv[0], std::strerror(error));
    return -1;
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  const double elapsed = 1e6 * MonotonicSeconds() - start;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "spawn-timer: %s (%s) did not exit 0 (wait status %d)\n",
                 command.label.c_str(), command.argv[0], status);
    return -1;
  }
  return elapsed;
}

double Percentile(std::vector<double> values, double fraction) {
  std::sort(values.begin(), values.end());
  const double at = fraction * static_cast<double>(values.size() - 1);
  const std::size_t low = static_cast<std::size_t>(at);
  const std::size_t high = std::min(low + 1, values.size() - 1);
  return values[low] + (values[high] - values[low]) * (at - static_cast<double>(low));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr,
                 "usage: spawn-timer ROUNDS WARMUP LABEL CMD ARGS... [--- LABEL CMD ARGS...]...\n");
    return 2;
  }
  const int rounds = std::atoi(argv[1]);
  const int warmup = std::atoi(argv[2]);
  std::vector<Command> commands;
  for (int i = 3; i < argc; ++i) {
    if (commands.empty() || std::strcmp(argv[i], "---") == 0) {
      if (std::strcmp(argv[i], "---") == 0) ++i;
      if (i + 1 >= argc) {
        std::fprintf(stderr, "spawn-timer: a label needs a command\n");
        return 2;
      }
      commands.push_back(Command{argv[i], {}, {}});
      continue;
    }
    commands.back().argv.push_back(argv[i]);
  }
  for (Command& command : commands) command.argv.push_back(nullptr);
  if (rounds < 1 || warmup < 0) {
    std::fprintf(stderr, "spawn-timer: ROUNDS from 1, WARMUP from 0\n");
    return 2;
  }

  for (int round = 0; round < warmup + rounds; ++round) {
    for (Command& command : commands) {
      const double micros = TimeOnce(command);
      if (micros < 0) return 1;
      if (round >= warmup) command.micros.push_back(micros);
    }
  }
  for (const Command& command : commands) {
    std::printf("%s %zu %.0f %.0f %.0f %.0f\n", command.label.c_str(), command.micros.size(),
                Percentile(command.micros, 0.5), Percentile(command.micros, 0.1),
                Percentile(command.micros, 0.9), Percentile(command.micros, 0.0));
  }
  return 0;
}
