// Stand-ins for the serial backend's platform calls, so that a run can be
// taken to any stage's failure on either platform. Everything succeeds except
// the one call chosen, which fails with the error code given.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/command_frame.h"

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
  int opens;
  int pauses;
  int reads;
  int applies;
  int writes;
  int closes;
  std::uint8_t written[kCommandFrameSize];
  std::size_t writtenCount;
};

void InstallFakeSerial(FakeFailure failure, std::uint32_t errorCode);
void RestoreRealSerial();
const FakeSerialLog& FakeSerialCalls();

// The code that reading the settings on an invalid handle leaves.
std::uint32_t InvalidHandleError();
