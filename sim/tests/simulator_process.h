// Starting the real simulator on a real pseudo-terminal and reading what it
// says, as the command under test would meet it: the process tests' kit.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "tests/test_kit.h"

extern char** environ;

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

// A pipe or a socket pair, blocking as a shell's; a full one has no room left.
inline void OpenChannel(Output kind, int ends[2]) {
  const bool socket = kind == Output::kSocket || kind == Output::kFullSocket;
  ASSERT_EQ(socket ? socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, ends)
                   : pipe2(ends, O_CLOEXEC | O_NONBLOCK),
            0);
  static const char kFill[4096] = {};
  const bool full = kind == Output::kFullPipe || kind == Output::kFullSocket;
  while (full && write(ends[1], kFill, sizeof kFill) > 0) continue;
  for (int end = 0; end < 2; ++end) fcntl(ends[end], F_SETFL, 0);
}

// `shared` gets a descriptor on the simulator's standard output description.
inline Simulator StartSimulator(std::vector<std::string> arguments, Output output = Output::kPipe,
                                Output errors = Output::kPipe, int* shared = nullptr) {
  arguments.insert(arguments.begin(), {RELAY_BOARD_SIM_COMMAND});
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  int out[2], err[2];
  OpenChannel(output, out);
  OpenChannel(errors, err);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (output == Output::kClosed) {
    posix_spawn_file_actions_addclose(&actions, STDOUT_FILENO);
  } else if (output == Output::kDevFull) {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/full", O_WRONLY, 0);
  } else {
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  }
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  Simulator simulator = {-1, out[0], err[0], "", ""};
  EXPECT_EQ(posix_spawnp(&simulator.pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  if (shared != nullptr) *shared = dup(out[1]);
  close(out[1]);
  close(err[1]);
  return simulator;
}

// The next line of output without its newline; "" on timeout or end.
inline std::string ReadLine(Simulator* simulator) {
  for (;;) {
    const std::size_t newline = simulator->buffered.find('\n');
    if (newline != std::string::npos) {
      const std::string line = simulator->buffered.substr(0, newline);
      simulator->buffered.erase(0, newline + 1);
      return line;
    }
    struct pollfd readable = {simulator->out, POLLIN, 0};
    if (poll(&readable, 1, kLineTimeoutMs) != 1) return "";
    char chunk[512];
    const ssize_t count = read(simulator->out, chunk, sizeof chunk);
    if (count <= 0) return "";
    simulator->buffered.append(chunk, static_cast<std::size_t>(count));
  }
}

inline std::string ReadAll(int fd) {
  std::string text;
  char chunk[512];
  ssize_t count = 0;
  while ((count = read(fd, chunk, sizeof chunk)) > 0)
    text.append(chunk, static_cast<std::size_t>(count));
  return text;
}

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
inline int WaitForExit(Simulator* simulator) {
  int status = 0;
  const bool exited =
      WaitUntil([&] { return waitpid(simulator->pid, &status, WNOHANG) == simulator->pid; });
  if (!exited) {
    kill(simulator->pid, SIGKILL);
    waitpid(simulator->pid, &status, 0);
  }
  simulator->pid = -1;
  if (exited) simulator->errors = ReadAll(simulator->err);
  close(simulator->out);
  close(simulator->err);
  if (!exited) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

inline std::string JsonText(const std::string& line, const std::string& key) {
  const std::string marker = "\"" + key + "\":\"";
  const std::size_t start = line.find(marker);
  if (start == std::string::npos) return "";
  const std::size_t from = start + marker.size();
  return line.substr(from, line.find('"', from) - from);
}

// What the command does to the port before it writes.
inline void SetBoardLine(int fd) {
  struct termios settings;
  ASSERT_EQ(tcgetattr(fd, &settings), 0);
  cfmakeraw(&settings);
  cfsetispeed(&settings, B9600);
  cfsetospeed(&settings, B9600);
  settings.c_cflag &= ~static_cast<tcflag_t>(PARENB | CSTOPB | CSIZE);
  settings.c_cflag |= CS8;
  ASSERT_EQ(tcsetattr(fd, TCSANOW, &settings), 0);
}

inline void WriteBytes(int fd, const std::vector<std::uint8_t>& bytes) {
  ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

inline std::string LinkTarget(const std::string& path) {
  char target[256] = {};
  return readlink(path.c_str(), target, sizeof target - 1) > 0 ? target : "";
}

inline std::string Resolved(const std::string& path) {
  char resolved[PATH_MAX] = {};
  return realpath(path.c_str(), resolved) != nullptr ? resolved : "";
}

// Opens terminals, as the next programs to ask for one would, until one is
// given `path`'s number (or 16 are open); all are left open.
inline std::vector<int> OpenTerminalsUntil(const std::string& path) {
  std::vector<int> opened;
  char name[64] = {};
  while (opened.size() < 32 && path != name) {
    int master = -1, slave = -1;
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) break;
    opened.insert(opened.end(), {master, slave});
  }
  return opened;
}

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
inline void ExpectStopsAndRemovesItsLink(Simulator* simulator, const std::string& link) {
  ASSERT_EQ(kill(simulator->pid, SIGTERM), 0);
  EXPECT_EQ(WaitForExit(simulator), 0);
  struct stat info;
  EXPECT_NE(lstat(link.c_str(), &info), 0) << "link left behind";
}
