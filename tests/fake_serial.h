// Stand-ins for the serial backend's platform calls, so that a run can be
// taken to any stage's failure on either platform, and a test can see what
// the backend asked of the system. Everything succeeds except the one call
// chosen, which fails with the error code given.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "protocol/command_frame.h"
#include "serial/serial_port.h"

enum class FakeFailure {
  kNone,
  kOpen,           // the device does not open: the handle stays invalid
  kReadSettings,   // GetCommState / tcgetattr
  kApplySettings,  // SetCommState / tcsetattr
  kWrite,          // the write reports failure
  kZeroWrite,      // the write reports success with no byte written
  kShortWrite,     // the write reports success with 5 of 8 bytes written
  kClose,          // CloseHandle / close
};

struct FakeSerialLog {
  int opens, pauses, reads, applies, writes, closes;
  std::uint8_t written[kCommandFrameSize];
  std::size_t writtenCount;
};

// Installs the fake with everything recorded so far cleared.
void InstallFakeSerial(FakeFailure failure, std::uint32_t errorCode);
void RestoreRealSerial();
const FakeSerialLog& FakeSerialCalls();

// The code that reading the settings on an invalid handle leaves.
std::uint32_t InvalidHandleError();

// A port name as the command hands it on, from a test's text.
template <typename Char>
PortName PortNameOf(const Char* text) {
  PortName name = {};
  for (std::size_t i = 0; i + 1 < kPortNameCapacity && text[i]; ++i) name.text[i] = text[i];
  return name;
}

// Each test starts with the fake installed and nothing recorded.
class FakeSerialTest : public testing::Test {
 protected:
  void SetUp() override { InstallFakeSerial(FakeFailure::kNone, 0); }
  void TearDown() override { RestoreRealSerial(); }
};

// Each platform's fake: the call that each FakeFailure makes fail, in the
// enum's order, and the installing of its calls.
extern const char* const kFakeFailingCalls[];
void InstallFakeSerialCalls();

#ifdef _WIN32
#include <windows.h>

inline HANDLE const kFakeHandle = reinterpret_cast<HANDLE>(static_cast<INT_PTR>(0x64));
#else
#include <termios.h>
#include <time.h>

constexpr int kFakeDescriptor = 7;
#endif

// What the backend passed to the system, and what the fake gives back.
struct FakeSerial {
  FakeSerialLog calls;
  // Given: the call that fails (by its name below) with its code, and the
  // count a write reports.
  std::string failingCall;
  std::uint32_t error = 0, writeReports = kCommandFrameSize;
#ifdef _WIN32
  std::wstring path;
  DWORD access = 0, share = 0xFFFFFFFF, disposition = 0, flags = 0xFFFFFFFF;
  LPSECURITY_ATTRIBUTES security = nullptr;
  HANDLE templateFile = nullptr;
  DWORD pause = 0, writtenPreset = 0xFFFFFFFF;
  DCB handedToRead = {}, applied = {};
  LPOVERLAPPED overlapped = nullptr;
  // Given: the driver's settings; the failing call is "CreateFileW",
  // "GetCommState", "SetCommState", "WriteFile" or "CloseHandle".
  DCB driver = {};
  DWORD lastError = 0;
#else
  std::string openedPath;
  int openFlags = 0;
  int duplicatedFd = -1, duplicateLowest = -1;
  int flockFd = -1, flockOperation = 0;
  int statusFlagsFd = -1, statusFlagsSet = -1;
  struct timespec pause = {-1, -1};
  std::vector<int> closed;
  struct termios applied = {};
  int appliedWhen = -1;
  std::vector<int> drains;  // each tcdrain, as the count of writes before it
  // Given: the descriptors the open and a duplicate return, the settings the
  // driver holds at the first read and what it keeps of those applied, and
  // how many waits a stop breaks; the failing call is "open",
  // "F_DUPFD_CLOEXEC", "flock", "F_GETFL", "F_SETFL", "tcgetattr",
  // "read-back", "tcsetattr", "write", "tcdrain" or "close".
  int openedFd = kFakeDescriptor, duplicateFd = kFakeDescriptor;
  struct termios read = {};
  void (*driverKept)(struct termios*) = nullptr;
  int interruptedDrains = 0;
#endif
};

extern FakeSerial fakeSerial;
