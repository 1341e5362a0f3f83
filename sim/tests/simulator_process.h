// Starting the real simulator and reading what it says, for the process
// tests: the board as the command meets it.
#pragma once

#include <signal.h>
#include <stdlib.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

// Long enough for a loaded machine; only a hang would reach them.
constexpr int kLineTimeoutMs = 10000;

struct Simulator {
  pid_t pid;
  int out, err;  // its standard output and error
  std::string buffered;
  std::string errors;  // its standard error, once it has exited
};

// What the simulator's standard output or error is.
enum class Output { kPipe, kSocket, kClosed, kDevFull, kFullPipe, kFullSocket };

// `shared` gets a descriptor on the simulator's standard output description.
Simulator StartSimulator(std::vector<std::string> arguments, Output output = Output::kPipe,
                         Output errors = Output::kPipe, int* shared = nullptr);
// The next line of output without its newline; "" on timeout or end.
std::string ReadLine(Simulator* simulator);
std::string ReadAll(int fd);
// A test that stops at a failed assertion leaves no simulator running.
struct KillOnExit {
  Simulator* simulator;
  ~KillOnExit() {
    if (simulator->pid <= 0) return;
    kill(simulator->pid, SIGKILL);
    waitpid(simulator->pid, nullptr, 0);
  }
};

// The exit status, or -1 when it had to be killed.
int WaitForExit(Simulator* simulator);
std::string JsonText(const std::string& line, const std::string& key);
// What the command does to the port before it writes.
void SetBoardLine(int fd);
void WriteBytes(int fd, const std::vector<std::uint8_t>& bytes);
std::string LinkTarget(const std::string& path);
std::string Resolved(const std::string& path);
// Opens terminals, as the next programs to ask for one would, until one is
// given `path`'s number (or 16 are open); all are left open.
std::vector<int> OpenTerminalsUntil(const std::string& path);
// A folder of its own for the board's link, removed with the link at the end.
struct LinkFolder {
  std::string dir, link;
  LinkFolder() {
    char path[] = "/tmp/relay-board-sim-test-XXXXXX";
    dir = mkdtemp(path) != nullptr ? path : "";
    link = dir + "/com12";
  }
  ~LinkFolder() {
    unlink(link.c_str());
    rmdir(dir.c_str());
  }
};

// SIGTERM ends the board with status 0 and its link removed.
void ExpectStopsAndRemovesItsLink(Simulator* simulator, const std::string& link);
