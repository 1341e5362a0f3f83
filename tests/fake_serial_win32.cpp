#include <windows.h>

#include "serial/serial_port_win32.h"
#include "tests/fake_serial.h"

FakeWin32Serial win32Fake;

namespace {

// The chosen call fails with the code given.
bool Fails(const char* call) {
  if (win32Fake.failingCall != call) return false;
  win32Fake.lastError = win32Fake.error;
  return true;
}

HANDLE WINAPI FakeCreateFileW(LPCWSTR path, DWORD access, DWORD share,
                              LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                              HANDLE templateFile) {
  ++win32Fake.calls.opens;
  win32Fake.path = path;
  win32Fake.access = access;
  win32Fake.share = share;
  win32Fake.security = security;
  win32Fake.disposition = disposition;
  win32Fake.flags = flags;
  win32Fake.templateFile = templateFile;
  return Fails("CreateFileW") ? INVALID_HANDLE_VALUE : kFakeHandle;
}
void WINAPI FakeSleep(DWORD milliseconds) {
  ++win32Fake.calls.pauses;
  win32Fake.pause = milliseconds;
}
BOOL WINAPI FakeGetCommState(HANDLE handle, LPDCB settings) {
  ++win32Fake.calls.reads;
  win32Fake.handedToRead = *settings;
  if (handle != kFakeHandle) {
    win32Fake.lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  if (Fails("GetCommState")) return FALSE;
  *settings = win32Fake.driver;
  return TRUE;
}
BOOL WINAPI FakeSetCommState(HANDLE, LPDCB settings) {
  ++win32Fake.calls.applies;
  win32Fake.applied = *settings;
  return !Fails("SetCommState");
}
// Takes what the write reports, and reports it whether or not it fails.
BOOL WINAPI FakeWriteFile(HANDLE, LPCVOID bytes, DWORD count, LPDWORD written,
                          LPOVERLAPPED overlapped) {
  ++win32Fake.calls.writes;
  win32Fake.writtenPreset = *written;
  win32Fake.overlapped = overlapped;
  const DWORD taken = win32Fake.writeReports < count ? win32Fake.writeReports : count;
  const std::uint8_t* frame = static_cast<const std::uint8_t*>(bytes);
  for (DWORD i = 0; i < taken; ++i) win32Fake.calls.written[i] = frame[i];  // MinGW flags memcpy
  win32Fake.calls.writtenCount = taken;
  *written = win32Fake.writeReports;
  if (Fails("WriteFile")) return FALSE;
  if (taken != count) win32Fake.lastError = win32Fake.error;
  return TRUE;
}
BOOL WINAPI FakeCloseHandle(HANDLE) {
  ++win32Fake.calls.closes;
  return !Fails("CloseHandle");
}
DWORD WINAPI FakeGetLastError() { return win32Fake.lastError; }

const char* FailingCall(FakeFailure failure) {
  switch (failure) {
    case FakeFailure::kOpen:
      return "CreateFileW";
    case FakeFailure::kReadSettings:
      return "GetCommState";
    case FakeFailure::kApplySettings:
      return "SetCommState";
    case FakeFailure::kWrite:
      return "WriteFile";
    case FakeFailure::kClose:
      return "CloseHandle";
    default:
      return "";
  }
}

}  // namespace

void InstallFakeSerial(FakeFailure failure, std::uint32_t code) {
  win32Fake = FakeWin32Serial{};
  win32Fake.failingCall = FailingCall(failure);
  win32Fake.error = code;
  if (failure == FakeFailure::kZeroWrite) win32Fake.writeReports = 0;
  if (failure == FakeFailure::kShortWrite) win32Fake.writeReports = 5;
  win32Fake.driver.DCBlength = sizeof win32Fake.driver;
  win32SerialCalls = {FakeCreateFileW, FakeSleep,       FakeGetCommState, FakeSetCommState,
                      FakeWriteFile,   FakeCloseHandle, FakeGetLastError};
}

void RestoreRealSerial() { win32SerialCalls = kRealWin32SerialCalls; }

const FakeSerialLog& FakeSerialCalls() { return win32Fake.calls; }

std::uint32_t InvalidHandleError() { return ERROR_INVALID_HANDLE; }
