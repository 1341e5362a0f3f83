#include <errno.h>

#include <cstring>

#include "serial/serial_port_posix.h"
#include "tests/fake_serial.h"

namespace {

constexpr int kFakeDescriptor = 42;

FakeFailure failure;
int errorCode;
FakeSerialLog log;

int Fail() {
  errno = errorCode;
  return -1;
}

int FakeOpen(const char*, int) {
  ++log.opens;
  return failure == FakeFailure::kOpen ? Fail() : kFakeDescriptor;
}
int FakeDuplicateFrom(int, int) { return kFakeDescriptor; }
int FakeFlock(int, int) { return 0; }
int FakeGetStatusFlags(int) { return 0; }
int FakeSetStatusFlags(int, int) { return 0; }
int FakeNanosleep(const struct timespec*, struct timespec*) {
  ++log.pauses;
  return 0;
}

struct termios lineSettings;

int FakeTcgetattr(int fd, struct termios* settings) {
  ++log.reads;
  if (fd != kFakeDescriptor) {
    errno = EBADF;
    return -1;
  }
  if (failure == FakeFailure::kReadSettings) return Fail();
  *settings = lineSettings;
  return 0;
}
int FakeTcsetattr(int, int, const struct termios* settings) {
  ++log.applies;
  if (failure == FakeFailure::kApplySettings) return Fail();
  lineSettings = *settings;
  return 0;
}
ssize_t FakeWrite(int, const void* bytes, size_t count) {
  ++log.writes;
  if (failure == FakeFailure::kWrite) return Fail();
  std::size_t taken = count;
  if (failure == FakeFailure::kZeroWrite) taken = 0;
  if (failure == FakeFailure::kShortWrite) taken = 5;
  std::memcpy(log.written, bytes, taken);
  log.writtenCount = taken;
  if (taken != count) errno = errorCode;
  return static_cast<ssize_t>(taken);
}
int FakeClose(int) {
  ++log.closes;
  return failure == FakeFailure::kClose ? Fail() : 0;
}

}  // namespace

void InstallFakeSerial(FakeFailure chosen, std::uint32_t code) {
  failure = chosen;
  errorCode = static_cast<int>(code);
  log = FakeSerialLog{};
  std::memset(&lineSettings, 0, sizeof lineSettings);
  posixSerialCalls = {FakeOpen,           FakeDuplicateFrom, FakeFlock,     FakeGetStatusFlags,
                      FakeSetStatusFlags, FakeNanosleep,     FakeTcgetattr, FakeTcsetattr,
                      FakeWrite,          FakeClose};
}

void RestoreRealSerial() { posixSerialCalls = kRealPosixSerialCalls; }

const FakeSerialLog& FakeSerialCalls() { return log; }

std::uint32_t InvalidHandleError() { return EBADF; }
