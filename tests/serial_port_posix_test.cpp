#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/run.h"
#include "serial/serial_port.h"
#include "serial/serial_port_posix.h"

namespace {

// ---- Through the seam: what the backend asks of the system. ----

struct Recorded {
  std::string openedPath;
  int openFlags = 0;
  int flockOperation = 0;
  int statusFlagsSet = -1;
  struct timespec pause = {-1, -1};
  int closes = 0;
  struct termios read = {};
  struct termios applied = {};
  int tcgetattrCalls = 0;
  bool refuseDataBits = false;
  bool openFails = false;
  bool flockFails = false;
};
Recorded recorded;

constexpr int kFd = 7;

int RecordOpen(const char* path, int flags) {
  recorded.openedPath = path;
  recorded.openFlags = flags;
  if (recorded.openFails) {
    errno = ENOENT;
    return -1;
  }
  return kFd;
}
int RecordFlock(int, int operation) {
  recorded.flockOperation = operation;
  if (recorded.flockFails) {
    errno = EWOULDBLOCK;
    return -1;
  }
  return 0;
}
int RecordGetStatusFlags(int) { return O_RDWR | O_NONBLOCK; }
int RecordSetStatusFlags(int, int flags) {
  recorded.statusFlagsSet = flags;
  return 0;
}
int RecordNanosleep(const struct timespec* pause, struct timespec*) {
  recorded.pause = *pause;
  return 0;
}
int RecordTcgetattr(int fd, struct termios* settings) {
  if (fd != kFd) {
    errno = EBADF;
    return -1;
  }
  // The first read gives what the driver holds; later ones what it kept.
  *settings = recorded.tcgetattrCalls++ == 0 ? recorded.read : recorded.applied;
  if (recorded.tcgetattrCalls > 1 && recorded.refuseDataBits) {
    settings->c_cflag = (settings->c_cflag & ~CSIZE) | CS7;
  }
  return 0;
}
int RecordTcsetattr(int, int, const struct termios* settings) {
  recorded.applied = *settings;
  return 0;
}
int RecordClose(int) {
  ++recorded.closes;
  return 0;
}

class PosixSeam : public testing::Test {
 protected:
  void SetUp() override {
    recorded = Recorded{};
    posixSerialCalls = kRealPosixSerialCalls;
    posixSerialCalls.open = RecordOpen;
    posixSerialCalls.flock = RecordFlock;
    posixSerialCalls.getStatusFlags = RecordGetStatusFlags;
    posixSerialCalls.setStatusFlags = RecordSetStatusFlags;
    posixSerialCalls.nanosleep = RecordNanosleep;
    posixSerialCalls.tcgetattr = RecordTcgetattr;
    posixSerialCalls.tcsetattr = RecordTcsetattr;
    posixSerialCalls.close = RecordClose;
  }
  void TearDown() override { posixSerialCalls = kRealPosixSerialCalls; }
};

PortName Name(const char* text) {
  PortName name = {};
  std::strncpy(name.text, text, kPortNameCapacity - 1);
  return name;
}

TEST_F(PosixSeam, OpensExclusivelyWithoutWaitingForCarrierThenBlocks) {
  const SerialPort port = OpenSerialPort(Name("/dev/ttyUSB0"));
  EXPECT_EQ(port.handle, kFd);
  EXPECT_EQ(recorded.openedPath, "/dev/ttyUSB0");
  EXPECT_EQ(recorded.openFlags & O_ACCMODE, O_RDWR);
  EXPECT_NE(recorded.openFlags & O_NOCTTY, 0);
  EXPECT_NE(recorded.openFlags & O_NONBLOCK, 0);
  EXPECT_EQ(recorded.flockOperation, LOCK_EX | LOCK_NB);
  EXPECT_EQ(recorded.statusFlagsSet, O_RDWR);  // blocking again
  EXPECT_EQ(recorded.pause.tv_sec, 0);
  EXPECT_EQ(recorded.pause.tv_nsec, 5000000);
}

TEST_F(PosixSeam, FailedOpenOrLockLeavesThePortInvalidAfterThePause) {
  recorded.openFails = true;
  SerialPort port = OpenSerialPort(Name("/dev/nothing"));
  EXPECT_LT(port.handle, 0);
  EXPECT_EQ(recorded.pause.tv_nsec, 5000000);
  EXPECT_EQ(recorded.flockOperation, 0);

  recorded = Recorded{};
  recorded.flockFails = true;
  port = OpenSerialPort(Name("/dev/held"));
  EXPECT_LT(port.handle, 0);
  EXPECT_EQ(recorded.closes, 1);  // our descriptor is not kept
  EXPECT_EQ(recorded.pause.tv_nsec, 5000000);

  testing::internal::CaptureStdout();
  EXPECT_EQ(ConfigureSerialLine(port), LineSetup::kReadFailed);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "GetCommState failed with error 9.\n");
}

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
  return t;
}

TEST_F(PosixSeam, ChangesOnlySpeedFormatAndOutputProcessing) {
  recorded.read = DriverSettings();
  testing::internal::CaptureStdout();
  EXPECT_EQ(ConfigureSerialLine(SerialPort{kFd}), LineSetup::kConfigured);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

  const struct termios& before = recorded.read;
  const struct termios& after = recorded.applied;
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

TEST_F(PosixSeam, SettingsTheDriverDidNotKeepAreAFailure) {
  recorded.read = DriverSettings();
  recorded.refuseDataBits = true;
  testing::internal::CaptureStdout();
  EXPECT_EQ(ConfigureSerialLine(SerialPort{kFd}), LineSetup::kApplyFailed);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "SetCommState failed with error 22.\n");
}

ssize_t WriteFiveBytes(int, const void*, size_t) { return 5; }

TEST_F(PosixSeam, ShortWriteFailsWithoutALeftoverErrorCode) {
  posixSerialCalls.write = WriteFiveBytes;
  testing::internal::CaptureStdout();
  errno = ENOTTY;  // left over from an earlier call
  EXPECT_FALSE(WriteCommandFrame(SerialPort{kFd}, BuildCommandFrame(1, 1, 3)));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "WriteFile failed with error 0.\n");
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

  int master_ = -1;
  int slave_ = -1;
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

TEST_F(PseudoTerminal, PortHeldAndLockedByAnotherProgramIsRefused) {
  const int holder = open(path_, O_RDWR | O_NOCTTY);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
  const char* argv[] = {"Kavnori", path_, "1", "3", "1"};
  testing::internal::CaptureStdout();
  EXPECT_EQ(RunKavnori(5, argv), 2);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "GetCommState failed with error 9.\n");
  EXPECT_TRUE(Received().empty());
  close(holder);
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
