#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "app/run.h"
#include "serial/serial_port.h"
#include "serial/serial_port_linux.h"
#include "serial/terminal_marks_linux.h"
#include "tests/fake_serial.h"

namespace {

// ---- Through the seam: what the backend asks of the system. ----

using LinuxSeam = FakeSerialTest;
constexpr int kFd = kFakeDescriptor;

TEST_F(LinuxSeam, OpensExclusivelyWithoutWaitingForCarrierThenBlocks) {
  const SerialPort port = OpenSerialPort(PortNameOf("/dev/ttyUSB0"));
  EXPECT_EQ(port.handle, kFd);
  EXPECT_EQ(fakeSerial.openedPath, "/dev/ttyUSB0");
  EXPECT_EQ(fakeSerial.openFlags & O_ACCMODE, O_RDWR);
  EXPECT_NE(fakeSerial.openFlags & O_NOCTTY, 0);
  EXPECT_NE(fakeSerial.openFlags & O_NONBLOCK, 0);
  EXPECT_EQ(fakeSerial.flockOperation, LOCK_EX | LOCK_NB);
  EXPECT_EQ(fakeSerial.statusFlagsSet, O_RDWR);  // blocking again
  EXPECT_EQ(fakeSerial.pause.tv_sec, 0);
  EXPECT_EQ(fakeSerial.pause.tv_nsec, 5000000);
}

// Opens /dev/ttyUSB0 through a fresh fake in which `failingCall` fails
// and the open and a duplicate give the numbers given; the pause comes
// whatever the open ended in.
SerialPort OpenThroughFake(const char* failingCall, int opened, int duplicate) {
  InstallFakeSerial(FakeFailure::kNone, 0);
  fakeSerial.failingCall = failingCall;
  fakeSerial.openedFd = opened;
  fakeSerial.duplicateFd = duplicate;
  const SerialPort port = OpenSerialPort(PortNameOf("/dev/ttyUSB0"));
  EXPECT_EQ(fakeSerial.pause.tv_nsec, 5000000);
  return port;
}

struct DescriptorCase {
  int opened;     // what the open returns
  int duplicate;  // what a duplicate from 3 up returns, -1 for EMFILE
  std::intptr_t port;
  std::vector<int> closed;
};

// Started with standard input, output or error closed, the open takes that
// number; the port must still never be one of them, or our own lines would
// go onto the serial line.
TEST_F(LinuxSeam, PortIsNeverStandardInputOutputOrError) {
  const DescriptorCase cases[] = {
      {kFd, kFd, kFd, {}},                      // nothing closed: used where it opened
      {3, kFd, 3, {}},     {0, kFd, kFd, {0}},  // a port opened as descriptor 0 is a valid port
      {1, kFd, kFd, {1}},  {2, kFd, kFd, {2}},
      {1, -1, -1, {1}},  // no free number above 2: the run ends at the read
  };
  for (const DescriptorCase& c : cases) {
    SCOPED_TRACE(c.opened);
    const SerialPort port =
        OpenThroughFake(c.duplicate < 0 ? "F_DUPFD_CLOEXEC" : "", c.opened, c.duplicate);
    EXPECT_EQ(port.handle, c.port);
    EXPECT_EQ(fakeSerial.closed, c.closed);
    // -1: not duplicated.
    EXPECT_EQ(fakeSerial.duplicatedFd, c.opened < 3 ? c.opened : -1);
    EXPECT_EQ(fakeSerial.duplicateLowest, c.opened < 3 ? 3 : -1);
    if (c.port >= 0) {
      // Locked and made blocking where it stays.
      EXPECT_EQ(fakeSerial.flockFd, c.port);
      EXPECT_EQ(fakeSerial.statusFlagsFd, c.port);
    }
  }
}

struct OpenFailureCase {
  const char* failingCall;
  std::vector<int> closed;
};

// Any failure on the way leaves the port invalid, our descriptor closed and
// the pause taken; reading the settings then ends the run with status 2.
TEST_F(LinuxSeam, FailedOpenLockOrBlockingLeavesThePortInvalidAfterThePause) {
  // flock fails for a port another program holds.
  const OpenFailureCase cases[] = {
      {"open", {}}, {"flock", {kFd}}, {"F_GETFL", {kFd}}, {"F_SETFL", {kFd}}};
  for (const OpenFailureCase& c : cases) {
    SCOPED_TRACE(c.failingCall);
    const SerialPort port = OpenThroughFake(c.failingCall, kFd, kFd);
    EXPECT_LT(port.handle, 0);
    EXPECT_EQ(fakeSerial.closed, c.closed);

    testing::internal::CaptureStdout();
    EXPECT_EQ(ConfigureSerialLine(port), LineSetup::kReadFailed);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "GetCommState failed with error 9.\n");
  }
}

// BOTHER in CIBAUD: an input speed of its own, set through TCSETS2.
constexpr tcflag_t kOwnInputSpeed = 0010000u << 16;
// What a driver might hold before the run: another speed, 7E2, flow control
// of both kinds, output processing, and its own special characters.
struct termios DriverSettings() {
  struct termios t;
  std::memset(&t, 0, sizeof t);
  t.c_iflag = IXON | IXOFF | ICRNL | INPCK;
  t.c_oflag = OPOST | ONLCR | XTABS;
  t.c_cflag = CS7 | PARENB | PARODD | CSTOPB | CRTSCTS | HUPCL | CREAD;
  t.c_lflag = ICANON | ECHO | ISIG;
  t.c_cc[VSTART] = 0x11;
  t.c_cc[VSTOP] = 0x13;
  t.c_cc[VMIN] = 3;
  cfsetispeed(&t, B115200);
  cfsetospeed(&t, B115200);
  t.c_cflag |= kOwnInputSpeed;
  return t;
}

TEST_F(LinuxSeam, ChangesOnlySpeedFormatAndOutputProcessing) {
  fakeSerial.read = DriverSettings();
  testing::internal::CaptureStdout();
  EXPECT_EQ(ConfigureSerialLine(SerialPort{kFd}), LineSetup::kConfigured);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

  // At once: TCSAFLUSH would throw away input the driver holds.
  EXPECT_EQ(fakeSerial.appliedWhen, TCSANOW);
  const struct termios& before = fakeSerial.read;
  const struct termios& after = fakeSerial.applied;
  EXPECT_EQ(cfgetispeed(&after), static_cast<speed_t>(B9600));
  EXPECT_EQ(cfgetospeed(&after), static_cast<speed_t>(B9600));
  EXPECT_EQ(after.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(after.c_cflag & (PARENB | CSTOPB), 0u);
  EXPECT_EQ(after.c_oflag, before.c_oflag & ~static_cast<tcflag_t>(OPOST));
  // Everything else goes back as it was read.
  const tcflag_t changedControl = CSIZE | PARENB | CSTOPB | CBAUD | CBAUDEX | CIBAUD;
  EXPECT_EQ(after.c_cflag & ~changedControl, before.c_cflag & ~changedControl);
  EXPECT_EQ(after.c_iflag, before.c_iflag);
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  EXPECT_EQ(std::memcmp(after.c_cc, before.c_cc, sizeof before.c_cc), 0);
}

struct ReadBackCase {
  const char* name;
  void (*driverKept)(struct termios*);
  const char* failingCall;
  int error;  // SetCommState's, or 0: the line is set
};

// tcsetattr reports success when any one change took: the read-back decides.
TEST_F(LinuxSeam, ReadBackDecidesWhetherTheLineIsSet) {
  const ReadBackCase cases[] = {
      {"everything kept, CLOCAL and CRTSCTS already set",
       [](struct termios* t) { t->c_cflag |= CLOCAL | CRTSCTS; }, "", 0},
      {"seven data bits", [](struct termios* t) { t->c_cflag = (t->c_cflag & ~CSIZE) | CS7; }, "",
       22},
      {"parity", [](struct termios* t) { t->c_cflag |= PARENB; }, "", 22},
      {"two stop bits", [](struct termios* t) { t->c_cflag |= CSTOPB; }, "", 22},
      {"old output speed", [](struct termios* t) { cfsetospeed(t, B115200); }, "", 22},
      {"old input speed", [](struct termios* t) { cfsetispeed(t, B115200); }, "", 22},
      {"input speed of its own", [](struct termios* t) { t->c_cflag |= kOwnInputSpeed; }, "", 22},
      {"output processing", [](struct termios* t) { t->c_oflag |= OPOST; }, "", 22},
      // The settings went to the driver: applying them is what failed.
      {"read-back fails", nullptr, "read-back", EIO},
  };
  for (const ReadBackCase& c : cases) {
    SCOPED_TRACE(c.name);
    InstallFakeSerial(FakeFailure::kNone, 0);
    fakeSerial.read = DriverSettings();
    fakeSerial.read.c_cflag |= CLOCAL;
    fakeSerial.driverKept = c.driverKept;
    fakeSerial.failingCall = c.failingCall;
    fakeSerial.error = EIO;
    testing::internal::CaptureStdout();
    EXPECT_EQ(ConfigureSerialLine(SerialPort{kFd}),
              c.error == 0 ? LineSetup::kConfigured : LineSetup::kApplyFailed);
    EXPECT_EQ(
        testing::internal::GetCapturedStdout(),
        c.error == 0 ? "" : "SetCommState failed with error " + std::to_string(c.error) + ".\n");
  }
}

TEST_F(LinuxSeam, ShortWriteFailsWithoutALeftoverErrorCode) {
  fakeSerial.writeReports = 5;
  testing::internal::CaptureStdout();
  errno = ENOTTY;  // left over from an earlier call
  EXPECT_FALSE(WriteCommandFrame(SerialPort{kFd}, BuildCommandFrame(1, 1, 3)));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "WriteFile failed with error 0.\n");
}

struct WaitCase {
  const char* name;
  const char* failingCall;
  int interruptedDrains;
  std::vector<int> drains;  // each wait, as the count of writes before it
};

// write() only queues the frame: the write succeeds once the frame has left.
TEST_F(LinuxSeam, WriteSucceedsOnlyOnceTheFrameHasLeftThePort) {
  const WaitCase cases[] = {
      {"sent", "", 0, {1}},
      {"stopped and continued twice while waiting", "", 2, {1, 1, 1}},
      {"the wait fails", "tcdrain", 0, {1}},
      {"port gone while the frame waits: the wait ends, the port is hung up", "tcgetattr", 0, {1}},
      {"the write fails: nothing to wait for", "write", 0, {}},
  };
  for (const WaitCase& c : cases) {
    SCOPED_TRACE(c.name);
    InstallFakeSerial(FakeFailure::kNone, 0);
    fakeSerial.failingCall = c.failingCall;
    fakeSerial.error = EIO;
    fakeSerial.interruptedDrains = c.interruptedDrains;
    const bool sent = *c.failingCall == '\0';
    testing::internal::CaptureStdout();
    EXPECT_EQ(WriteCommandFrame(SerialPort{kFd}, BuildCommandFrame(1, 1, 3)), sent);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              sent ? "" : "WriteFile failed with error 5.\n");
    EXPECT_EQ(fakeSerial.drains, c.drains);
  }
}

// ---- On a real pseudo-terminal, as a user's port. ----

class PseudoTerminal : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(openpty(&master_, &slave_, path_, nullptr, nullptr), 0);
    struct termios driver = DriverSettings();
    driver.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);  // a pty cannot stall on CTS
    ASSERT_EQ(tcsetattr(slave_, TCSANOW, &driver), 0);
  }
  void TearDown() override {
    close(slave_);
    close(master_);
  }

  // Whatever reaches the other side within a short wait.
  std::vector<unsigned char> Received() {
    std::vector<unsigned char> bytes;
    struct pollfd ready = {master_, POLLIN, 0};
    while (poll(&ready, 1, 200) == 1 && (ready.revents & POLLIN)) {
      unsigned char chunk[64];
      const ssize_t n = read(master_, chunk, sizeof chunk);
      if (n <= 0) break;
      bytes.insert(bytes.end(), chunk, chunk + n);
    }
    return bytes;
  }

  int master_ = -1, slave_ = -1;
  char path_[64] = {};
};

TEST_F(PseudoTerminal, FrameArrivesByteForByteAndTheLineIs9600_8N1) {
  const char* argv[] = {"Kavnori", path_, "10", "9", "1"};  // 0x0A and 0x09 pass untouched
  testing::internal::CaptureStdout();
  EXPECT_EQ(RunKavnori(5, argv), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Serial port [" + std::string(path_) + "] configured.\nPower On @ Relay 9\n");
  EXPECT_EQ(Received(), (std::vector<unsigned char>{0x55, 0x0A, 0x12, 0, 0, 0, 0x09, 0x7A}));

  struct termios now;
  ASSERT_EQ(tcgetattr(slave_, &now), 0);
  EXPECT_EQ(cfgetospeed(&now), static_cast<speed_t>(B9600));
  EXPECT_EQ(now.c_cflag & (CSIZE | PARENB | CSTOPB), static_cast<tcflag_t>(CS8));
  EXPECT_EQ(now.c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXON | IXOFF));
  EXPECT_EQ(now.c_cflag & HUPCL, static_cast<tcflag_t>(HUPCL));
}

// As another user (nobody), whom a lock file of mode 0 turns away; a user
// other than root meets that on a lock file of its own.
int RunAsAnotherUser(const char* const* argv) {
  if (geteuid() != 0) return RunKavnori(5, argv);
  chmod(argv[1], 0666);
  std::fflush(stdout);
  const pid_t child = fork();
  if (child == 0) {
    const int status = setgid(65534) == 0 && setuid(65534) == 0 ? RunKavnori(5, argv) : 99;
    std::fflush(stdout);
    _exit(status);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WEXITSTATUS(status);
}

struct HolderCase {
  const char* holder;  // "flock", "TIOCEXCL", or a UUCP lock file's pid
  bool byLink;         // the port named through a link
  int status;
};

// The marks of another program that holds the port: a flock, TIOCEXCL (which
// root opens through), or a UUCP lock file in /run/lock, which stays as it
// was, but for a stale one at the run's own lock name, which the run takes
// over and removes. Nothing may reach the port while they stand. A lock file this user
// may not read holds, as do an empty one and a FIFO at its name; a pid
// written "\n+PID" is PID. A zombie holds nothing, also for another user.
// A live pid holds though none of its files is the port (minicom locks, then
// opens), under any of the port's names, for root and another user; one
// taken just as the run takes its own ends the run. A live holder's lock
// dated 2020 (a clock stepped since) holds. A record lock (here an open-file one) holds as a flock
// does, and so does a lock under the name of a /dev link to the port.
TEST_F(PseudoTerminal, PortHeldByAnotherProgramIsLeftAlone) {
  // clang-format off
  const HolderCase cases[] = {
      {"flock", false, 2}, {"TIOCEXCL", false, 2}, {"ascii", false, 2}, {"binary", true, 2},
      {"ascii", true, 2}, {"stale", false, 0}, {"unreadable", false, 2}, {"unrelated", false, 2},
      {"unrelated", true, 2}, {"unrelated, seen by another user", false, 2},
      {"dated 2020", false, 2}, {"signed", false, 2}, {"empty", false, 2}, {"fifo", false, 2},
      {"a /dev link's name", false, 2}, {"record lock", false, 2}, {"zombie", false, 0},
      {"at the lock step", false, 2},
      {"during the run", false, 4},  // last: the failed write leaves the port open here
  };
  // clang-format on
  char folder[] = "/tmp/kavnori-held-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const std::string link = std::string(folder) + "/ttyKavnoriTest";
  ASSERT_EQ(symlink(path_, link.c_str()), 0);
  for (const HolderCase& c : cases) {
    const std::string holder = c.holder;
    SCOPED_TRACE(holder + (c.byLink ? ", port named through a link" : ""));
    const int fd = open(path_, O_RDWR | O_NOCTTY);
    ASSERT_EQ(holder == "flock" ? flock(fd, LOCK_EX | LOCK_NB) : 0, 0);
    ASSERT_EQ(holder == "TIOCEXCL" ? ioctl(fd, TIOCEXCL) : 0, 0);
    struct flock record = {F_WRLCK, SEEK_SET, 0, 0, 0};  // the whole file
    ASSERT_EQ(holder == "record lock" ? fcntl(fd, F_OFD_SETLK, &record) : 0, 0);
    // qemu-user takes TIOCEXCL but not TIOCGEXCL: nothing can see it there.
    if (holder == "TIOCEXCL" && !TerminalIsExclusive(fd)) {
      std::printf("TIOCEXCL row skipped: TIOCGEXCL does not answer here\n");
      ioctl(fd, TIOCNXCL);
      close(fd);
      continue;
    }
    const bool lockFile = holder != "flock" && holder != "TIOCEXCL" && holder != "record lock";
    // Through the link, the ASCII lock file is under the name as given, the
    // binary one under the device's name, which the link leads to.
    const bool unrelated = holder.rfind("unrelated", 0) == 0;
    const std::string lock =
        "/run/lock/LCK.." + (c.byLink && (holder == "ascii" || unrelated) ? "ttyKavnoriTest"
                             : holder == "a /dev link's name"             ? "ttyKavnoriRelay"
                                                              : "pts_" + std::string(path_ + 9));
    // As a udev rule's SYMLINK+= names it, and a program given that name locks it.
    ASSERT_EQ(holder == "a /dev link's name" ? symlink(path_, "/dev/ttyKavnoriRelay") : 0, 0);
    // The pid as HDB's ten digits or as the int itself; a stale one has ended.
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const bool during = holder == "during the run";
    const bool forked = holder == "stale" || unrelated || holder == "zombie" || during;
    int pid = forked ? fork() : getpid();
    // The child keeps no file of the port (or just it), then says so.
    if (pid == 0 && (unrelated || during)) {
      for (int open = 3; open < 1024; ++open)
        open == ready[1] || (during && open == fd) || close(open);
      close(ready[1]);
      pause();
    }
    if (pid == 0) _exit(0);
    close(ready[1]);
    char none;
    EXPECT_EQ(read(ready[0], &none, 1), 0);  // the end of file: the child closed its copies
    close(ready[0]);
    if (holder == "stale") waitpid(pid, nullptr, 0);
    // The child's files close before it is a zombie: wait for that, unreaped.
    siginfo_t ended;
    if (holder == "zombie") waitid(P_PID, pid, &ended, WEXITED | WNOWAIT);
    char digits[16];
    std::snprintf(digits, sizeof digits, holder == "signed" ? "\n+%d\n" : "%10d\n", pid);
    std::string text = holder == "binary" ? std::string(reinterpret_cast<char*>(&pid), 4) : digits;
    if (!lockFile || holder == "empty" || holder == "fifo") text.clear();
    ASSERT_EQ(holder == "fifo" ? mkfifo(lock.c_str(), 0644) : 0, 0);
    const bool lockStep = holder == "at the lock step";
    if (lockFile && holder != "fifo" && !during && !lockStep) std::ofstream(lock) << text;
    // Renamed over the run's own lock while it pauses after the open, or
    // written just before the run takes its own.
    static std::string taken[2];
    taken[0] = lock + ".new", taken[1] = lock;
    if (during || lockStep) std::ofstream(taken[0]) << text;
    if (lockStep)
      linuxSerialCalls.flock = [](int port, int operation) {
        return rename(taken[0].c_str(), taken[1].c_str()) |
               kRealLinuxSerialCalls.flock(port, operation);
      };
    if (during)
      linuxSerialCalls.nanosleep = [](const timespec*, timespec*) {
        return rename(taken[0].c_str(), taken[1].c_str());
      };
    const struct timespec in2020[2] = {{1577836800, 0}, {1577836800, 0}};
    if (holder == "dated 2020") utimensat(AT_FDCWD, lock.c_str(), in2020, 0);
    if (holder == "unreadable") chmod(lock.c_str(), 0);
    const char* port = c.byLink ? link.c_str() : path_;
    const char* argv[] = {"Kavnori", port, "1", "3", "1"};
    const bool another =
        holder == "unreadable" || holder == "zombie" || holder == "unrelated, seen by another user";
    testing::internal::CaptureStdout();
    EXPECT_EQ(another ? RunAsAnotherUser(argv) : RunKavnori(5, argv), c.status);
    RestoreRealSerial();
    chmod(lock.c_str(), 0644);
    const std::string configured = "Serial port [" + std::string(port) + "] configured.\n";
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              c.status == 2   ? "GetCommState failed with error 9.\n"
              : c.status == 4 ? configured + "WriteFile failed with error 16.\n"
                              : configured + "Power On @ Relay 3\n");
    EXPECT_EQ(Received().empty(), c.status != 0);
    if (holder != "fifo") {
      std::ifstream left(lock);
      EXPECT_EQ(std::string(std::istreambuf_iterator<char>(left), {}),
                holder == "stale" ? "" : text);
    }
    if (unrelated || during) kill(pid, SIGKILL);
    if (forked && holder != "stale") waitpid(pid, nullptr, 0);
    if (holder == "a /dev link's name") unlink("/dev/ttyKavnoriRelay");
    unlink(lock.c_str());
    ioctl(fd, TIOCNXCL);
    close(fd);
  }
  unlink(link.c_str());
  rmdir(folder);
}

TEST(NotASerialPort, EndsWithStatus2AndTheReadLine) {
  char file[] = "/tmp/kavnori-not-a-port-XXXXXX";
  const int fd = mkstemp(file);
  ASSERT_GE(fd, 0);
  struct Case {
    const char* path;
    const char* line;
  } cases[] = {
      {"/dev/kavnori-no-such-port", "GetCommState failed with error 9.\n"},
      {"/tmp", "GetCommState failed with error 9.\n"},  // a directory does not open
      {file, "GetCommState failed with error 25.\n"},   // ENOTTY
      {"/dev/null", "GetCommState failed with error 25.\n"},
      {"/dev/ptmx", "GetCommState failed with error 9.\n"},  // a new pty's master: nobody reads it
  };
  for (const Case& c : cases) {
    const char* argv[] = {"Kavnori", c.path, "1", "3", "1"};
    testing::internal::CaptureStdout();
    EXPECT_EQ(RunKavnori(5, argv), 2) << c.path;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.line) << c.path;
  }
  struct stat info;
  ASSERT_EQ(fstat(fd, &info), 0);
  EXPECT_EQ(info.st_size, 0);  // nothing was written to the file
  close(fd);
  unlink(file);
}

}  // namespace
