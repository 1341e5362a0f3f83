// What the real command does when the far side of its port goes away: an
// adapter unplugged, a board powered off. The port is a pseudo-terminal
// made here; its master stands for the board and the cable, and closing it
// is the kernel's own hang-up, as when a USB serial adapter is pulled.
//
// The moment is chosen without timing: the command is either held at a
// system call by the pause shim (KAVNORI_PAUSE_AT, see pause_shim.cpp) or
// left waiting in its write because the terminal's output is stopped
// (tcflow TCOOFF, as a board holding off with flow control). Then the test
// closes the master, or lets things go on, and the real call runs.
//
// What Linux does (seen on 6.x, and what each row asserts):
//   - Once the master is closed, the slave's /dev/pts entry is gone, even if
//     another program still has the slave open: open() fails with ENOENT.
//     The command then reads settings on descriptor -1: status 2, error 9
//     (EBADF), as for any port that does not open. The command never gets a
//     freed /dev/pts/N: another test's board may have that number by then.
//   - Closing the master hangs the slave up. A descriptor the command
//     already holds then fails every later ioctl and write with EIO (5):
//     tcgetattr gives status 2, tcsetattr status 3, the write status 4.
//     A write already waiting for room wakes with EIO as well, having moved
//     no byte: status 4, never the power line.
//   - close() on a hung-up descriptor succeeds: a frame the board took
//     before it went away ends with status 0, which is right, since all 8
//     bytes were accepted (and, here, read whole by the board's side).
//
//   kavnori_stress_faults KAVNORI PAUSE_SHIM
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "sim/pty.h"
#include "tests/test_kit.h"

namespace {

// Where the shim talks to us; see pause_shim.cpp.
constexpr int kHeldFd = 100;
constexpr int kGoFd = 101;
constexpr std::size_t kFrameSize = 8;

enum class Fault {
  kNone,                    // nothing goes wrong: the hold alone changes nothing
  kGoneBeforeRun,           // master closed and the port's name removed before the run
  kGoneBeforeRunSlaveHeld,  // master closed; another program still holds the slave
  kGoneBeforeRunViaLink,    // gone, and named by a stable link (like /dev/serial/by-id)
  kGoneAtHold,              // the master closes while the command is held
  kFrameTakenThenGone,      // held at the close: the board reads the frame, then goes
  kGoneWhileWriteWaits,     // output stopped; the master closes while the write waits
  kResumedWhileWriteWaits,  // output stopped; started again while the write waits
};

// Status 0 prints the configured and power lines and the board reads the
// frame whole; status 4 the configured line and the stage's failure line
// with `error`; 2 and 3 that failure line alone.
struct FaultCase {
  const char* name;
  Fault fault;
  const char* holdAt;  // call the shim holds at, or nullptr: no shim
  int status, error;
};

const FaultCase kCases[] = {
    {"held before the write, nothing else happens", Fault::kNone, "write", 0, 0},
    {"board gone before the run", Fault::kGoneBeforeRun, nullptr, 2, 9},
    {"board gone before the run, slave still held by another program",
     Fault::kGoneBeforeRunSlaveHeld, nullptr, 2, 9},
    {"board gone before the run, port named by a link", Fault::kGoneBeforeRunViaLink, nullptr, 2,
     9},
    {"board gone between the open and the settings read", Fault::kGoneAtHold, "nanosleep", 2, 5},
    {"board gone between the settings read and the apply", Fault::kGoneAtHold, "tcsetattr", 3, 5},
    {"board gone after the line was set, before the write", Fault::kGoneAtHold, "write", 4, 5},
    {"board gone while the write waits (output stopped)", Fault::kGoneWhileWriteWaits, nullptr, 4,
     5},
    {"output stopped, then started while the write waits", Fault::kResumedWhileWriteWaits, nullptr,
     0, 0},
    {"board took the frame, then went before the close", Fault::kFrameTakenThenGone, "close", 0, 0},
};
const char* const kFailedStage[] = {"", "", "GetCommState", "SetCommState", "WriteFile"};

int passed = 0, failed = 0;

void Fail(const char* name, const std::string& what) {
  ++failed;
  std::printf("FAIL: %s: %s\n", name, what.c_str());
}

void Check(bool ok, const char* name, const std::string& what) {
  if (!ok) return Fail(name, what);
  ++passed;
}

// ---- The frame ----

std::string Hex(const unsigned char* bytes, std::size_t count) {
  std::string text;
  char cell[4];
  for (std::size_t i = 0; i < count; ++i) {
    std::snprintf(cell, sizeof cell, i == 0 ? "%02X" : " %02X", bytes[i]);
    text += cell;
  }
  return text;
}

// Text with its line ends shown.
std::string Shown(const std::string& text) {
  std::string shown;
  for (char c : text) shown += c == '\n' ? "\\n" : c == '\r' ? "\\r" : std::string(1, c);
  return "\"" + shown + "\"";
}

// ---- The port: a pseudo-terminal, opened as the simulator opens its own ----
// Its master is the board's side; its slave stays held, as the simulator's is.

void CloseFd(int* fd) {
  if (*fd >= 0) close(*fd);
  *fd = -1;
}

// Reads what reached the board's side: up to `count` bytes, waiting for them
// until the side ends.
std::string ReadFromBoard(int master, std::size_t count) {
  std::string got;
  WaitUntil([&] {
    char buffer[64];
    const ssize_t n = read(master, buffer, sizeof buffer);
    const int error = errno;
    if (n > 0) got.append(buffer, static_cast<std::size_t>(n));
    return got.size() >= count || n == 0 || (n < 0 && error != EAGAIN);
  });
  return got;
}

// True when the board's side has no byte waiting.
bool BoardHasNothing(int master) {
  char byte;
  const ssize_t n = read(master, &byte, 1);
  const int error = errno;
  return n < 0 && error == EAGAIN;
}

// ---- The command ----

struct Child {
  pid_t pid;
  int held;  // read end: one byte when the shim holds the command
  int go;    // write end: closing it lets the command go on
};

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

// Its standard output and error go to WORK/out and WORK/err; held at
// holdAt by the shim, when given, and otherwise run without it.
bool StartCommand(const std::vector<std::string>& args, const char* holdAt, const std::string& shim,
                  const std::string& work, Child* child) {
  *child = Child{-1, -1, -1};
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  int heldPipe[2] = {-1, -1}, goPipe[2] = {-1, -1};
  if (holdAt != nullptr && (pipe2(heldPipe, O_CLOEXEC) != 0 || pipe2(goPipe, O_CLOEXEC) != 0))
    return false;
  const int out = open((work + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const int err = open((work + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (out < 0 || err < 0) return false;

  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0) {
    // Never outlive the test.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    dup2(out, 1);
    dup2(err, 2);
    unsetenv("LD_PRELOAD");
    unsetenv("KAVNORI_PAUSE_AT");
    if (holdAt != nullptr) {
      dup2(heldPipe[1], kHeldFd);
      dup2(goPipe[0], kGoFd);
      setenv("LD_PRELOAD", shim.c_str(), 1);
      setenv("KAVNORI_PAUSE_AT", holdAt, 1);
      // A sanitizer build of the command would refuse to start with the shim
      // loaded before its runtime.
      const std::string asan = getenv("ASAN_OPTIONS") != nullptr ? getenv("ASAN_OPTIONS") : "";
      setenv("ASAN_OPTIONS",
             (asan + (asan.empty() ? "" : ":") + "verify_asan_link_order=0").c_str(), 1);
    }
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out);
  close(err);
  if (holdAt != nullptr) {
    close(heldPipe[1]);
    close(goPipe[0]);
    child->held = heldPipe[0];
    child->go = goPipe[1];
  }
  child->pid = pid;
  return pid > 0;
}

// True once the shim says it holds the command; false if the command ended
// without reaching the call.
bool WaitHeld(const Child& child) {
  struct pollfd watched = {child.held, POLLIN, 0};
  if (poll(&watched, 1, kWaitMilliseconds) != 1) return false;
  char byte;
  return read(child.held, &byte, 1) == 1;
}

void LetGo(Child* child) {
  CloseFd(&child->go);
  CloseFd(&child->held);
}

bool StillRunning(pid_t pid) {
  siginfo_t info;
  std::memset(&info, 0, sizeof info);
  return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == 0;
}

// True once the command sleeps in write() on its port (descriptor above 2),
// as /proc/PID/syscall shows: the system call number, then its arguments.
bool WaitInWrite(pid_t pid) {
  const std::string path = "/proc/" + std::to_string(pid) + "/syscall";
  bool inWrite = false;
  WaitUntil([&] {
    long number = -1;
    unsigned long fd = 0;
    inWrite = std::sscanf(ReadFile(path).c_str(), "%ld 0x%lx", &number, &fd) == 2 &&
              number == SYS_write && fd > 2;
    return inWrite || !StillRunning(pid);
  });
  return inWrite;
}

// The command's exit status, or -1 with `how` set when it did not exit by
// itself in time (then it is killed) or ended on a signal.
int WaitExit(pid_t pid, std::string* how) {
  int status = 0;
  if (!WaitUntil([&] { return waitpid(pid, &status, WNOHANG) != 0; })) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    *how = "did not end by itself; killed";
    return -1;
  }
  if (WIFSIGNALED(status)) {
    *how = "ended on signal " + std::to_string(WTERMSIG(status));
    return -1;
  }
  return WEXITSTATUS(status);
}

// ---- One case ----

void RunCase(const FaultCase& c, int index, const std::string& kavnori, const std::string& shim,
             const std::string& work) {
  const char* name = c.name;
  const int failedBefore = failed;
  const int address = index + 1, relay = index % 16 + 1;
  const std::array<std::uint8_t, 8> frame = ExpectedFrame(address, 1, relay);
  Pty pty;
  PtyFailure failure = {};
  if (!OpenPty(&pty, &failure)) {
    Fail(name, std::string("cannot make a pseudo-terminal: ") + failure.call + ": " +
                   std::strerror(failure.error));
    return;
  }
  std::string port = pty.path;

  // Before the run.
  switch (c.fault) {
    case Fault::kGoneBeforeRun:
    case Fault::kGoneBeforeRunViaLink:
      port = work + "/by-id-link";
      unlink(port.c_str());
      if (symlink(pty.path.c_str(), port.c_str()) != 0) Fail(name, "cannot make the link");
      CloseFd(&pty.master);
      if (c.fault == Fault::kGoneBeforeRun) unlink(port.c_str());
      break;
    case Fault::kGoneBeforeRunSlaveHeld:
      CloseFd(&pty.master);
      break;
    case Fault::kGoneWhileWriteWaits:
    case Fault::kResumedWhileWriteWaits:
      if (tcflow(pty.slave, TCOOFF) != 0) Fail(name, "cannot stop the terminal's output");
      break;
    default:
      break;
  }

  Child child;
  const std::vector<std::string> args = {kavnori, port, std::to_string(address),
                                         std::to_string(relay), "1"};
  if (!StartCommand(args, c.holdAt, shim, work, &child)) {
    Fail(name, std::string("cannot start the command: ") + std::strerror(errno));
    ClosePty(&pty);
    return;
  }

  // During the run.
  std::string taken;
  if (c.holdAt != nullptr) Check(WaitHeld(child), name, std::string("never held at ") + c.holdAt);
  switch (c.fault) {
    case Fault::kGoneAtHold:
    case Fault::kFrameTakenThenGone: {
      const bool frameTaken = c.fault == Fault::kFrameTakenThenGone;
      if (frameTaken) taken = ReadFromBoard(pty.master, kFrameSize);
      Check(BoardHasNothing(pty.master), name,
            frameTaken ? "more than the frame reached the board"
                       : "bytes reached the board before the write");
      ClosePty(&pty);
      break;
    }
    case Fault::kGoneWhileWriteWaits:
    case Fault::kResumedWhileWriteWaits:
      Check(WaitInWrite(child.pid), name, "the command never waited in its write");
      Check(BoardHasNothing(pty.master), name, "bytes reached the board while output was stopped");
      if (c.fault == Fault::kGoneWhileWriteWaits) {
        ClosePty(&pty);
      } else {
        Check(tcflow(pty.slave, TCOON) == 0, name, "cannot start the terminal's output again");
      }
      break;
    default:
      break;
  }
  LetGo(&child);

  std::string how;
  const int status = WaitExit(child.pid, &how);
  const std::string out = ReadFile(work + "/out"), err = ReadFile(work + "/err");
  if (pty.master >= 0) {
    taken = ReadFromBoard(pty.master, kFrameSize);
    Check(BoardHasNothing(pty.master), name, "more than the frame reached the board");
  }
  ClosePty(&pty);
  if (c.fault == Fault::kGoneBeforeRunViaLink) unlink(port.c_str());

  std::string want;
  if (c.status == 0 || c.status == 4) want += "Serial port [" + port + "] configured.\n";
  const std::string failureLine =
      std::string(kFailedStage[c.status]) + " failed with error " + std::to_string(c.error) + ".";
  if (c.status != 0) want += failureLine + "\n";
  if (c.status == 0) want += "Power On @ Relay " + std::to_string(relay) + "\n";
  const std::string wantFrame = c.status == 0 ? Hex(frame.data(), frame.size()) : "";
  const std::string gotFrame =
      Hex(reinterpret_cast<const unsigned char*>(taken.data()), taken.size());

  Check(status == c.status, name,
        "status " + (status < 0 ? how : std::to_string(status)) + ", wanted " +
            std::to_string(c.status));
  Check(out == want, name, "stdout " + Shown(out) + ", wanted " + Shown(want));
  Check(err.empty(), name, "stderr " + Shown(err));
  Check(gotFrame == wantFrame, name,
        "the board read [" + gotFrame + "], wanted [" + wantFrame + "]");
  if (failed == failedBefore) {
    std::printf("ok: %s: status %d, %s\n", name, status,
                c.status != 0 ? failureLine.c_str() : "frame sent whole");
  }
}

// A run stopped by SIGTERM while it takes its own lock (held at link(), its
// temporary file made) leaves that file behind no more; a dead run's
// temporary file, left by SIGKILL, is gone after the next run.
void StoppedWhileLocking(const std::string& kavnori, const std::string& shim,
                         const std::string& work) {
  const char* name = "SIGTERM while the run takes its own lock";
  Pty pty;
  PtyFailure failure = {};
  Child child;
  if (!OpenPty(&pty, &failure) ||
      !StartCommand({kavnori, pty.path, "1", "3", "1"}, "linkat", shim, work, &child)) {
    return Fail(name, "cannot make a pseudo-terminal or start the command");
  }
  const std::string temporary = "/run/lock/LTMP." + std::to_string(child.pid);
  Check(WaitHeld(child) && access(temporary.c_str(), F_OK) == 0, name, "not held at link()");
  kill(child.pid, SIGTERM);
  LetGo(&child);
  std::string how;
  Check(WaitExit(child.pid, &how) == -1 && how == "ended on signal 15", name, how);
  Check(access(temporary.c_str(), F_OK) != 0, name, "left " + temporary);
  const pid_t dead = child.pid;
  std::fclose(std::fopen(temporary.c_str(), "w"));  // as SIGKILL at that step leaves it
  StartCommand({kavnori, pty.path, "1", "3", "1"}, nullptr, shim, work, &child);
  Check(WaitExit(child.pid, &how) == 0 && access(temporary.c_str(), F_OK) != 0, name,
        "pid " + std::to_string(dead) + "'s temporary file outlived the next run");
  ClosePty(&pty);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: kavnori_stress_faults KAVNORI PAUSE_SHIM\n");
    return 2;
  }
  const std::string kavnori = argv[1], shim = argv[2];
  char workTemplate[] = "/tmp/kavnori-stress-faults-XXXXXX";
  if (mkdtemp(workTemplate) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  const std::string work = workTemplate;

  int index = 0;
  for (const FaultCase& c : kCases) RunCase(c, index++, kavnori, shim, work);
  StoppedWhileLocking(kavnori, shim, work);

  unlink((work + "/out").c_str());
  unlink((work + "/err").c_str());
  rmdir(work.c_str());
  std::printf("stress faults: %d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
