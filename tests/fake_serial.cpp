#include "tests/fake_serial.h"

FakeSerial fakeSerial;

void InstallFakeSerial(FakeFailure failure, std::uint32_t code) {
  fakeSerial = FakeSerial{};
  fakeSerial.failingCall = kFakeFailingCalls[static_cast<int>(failure)];
  fakeSerial.error = code;
  if (failure == FakeFailure::kZeroWrite) fakeSerial.writeReports = 0;
  if (failure == FakeFailure::kShortWrite) fakeSerial.writeReports = 5;
  InstallFakeSerialCalls();
}

const FakeSerialLog& FakeSerialCalls() { return fakeSerial.calls; }
