#include <windows.h>

#include <cstring>

#include "serial/serial_port_win32.h"
#include "tests/fake_serial.h"

namespace {

HANDLE const kFakeHandle = reinterpret_cast<HANDLE>(static_cast<INT_PTR>(0x42));

FakeFailure failure;
DWORD errorCode;
DWORD lastError;
FakeSerialLog log;
DCB lineSettings;

BOOL Fail() {
  lastError = errorCode;
  return FALSE;
}

HANDLE WINAPI FakeCreateFileW(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
  ++log.opens;
  if (failure != FakeFailure::kOpen) return kFakeHandle;
  Fail();
  return INVALID_HANDLE_VALUE;
}
void WINAPI FakeSleep(DWORD) { ++log.pauses; }
BOOL WINAPI FakeGetCommState(HANDLE handle, LPDCB settings) {
  ++log.reads;
  if (handle != kFakeHandle) {
    lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  if (failure == FakeFailure::kReadSettings) return Fail();
  *settings = lineSettings;
  return TRUE;
}
BOOL WINAPI FakeSetCommState(HANDLE, LPDCB settings) {
  ++log.applies;
  if (failure == FakeFailure::kApplySettings) return Fail();
  lineSettings = *settings;
  return TRUE;
}
BOOL WINAPI FakeWriteFile(HANDLE, LPCVOID bytes, DWORD count, LPDWORD written, LPOVERLAPPED) {
  ++log.writes;
  if (failure == FakeFailure::kWrite) return Fail();
  DWORD taken = count;
  if (failure == FakeFailure::kZeroWrite) taken = 0;
  if (failure == FakeFailure::kShortWrite) taken = 5;
  const std::uint8_t* frame = static_cast<const std::uint8_t*>(bytes);
  for (DWORD i = 0; i < taken; ++i) log.written[i] = frame[i];  // MinGW flags memcpy
  log.writtenCount = taken;
  *written = taken;
  if (taken != count) lastError = errorCode;
  return TRUE;
}
BOOL WINAPI FakeCloseHandle(HANDLE) {
  ++log.closes;
  return failure == FakeFailure::kClose ? Fail() : TRUE;
}
DWORD WINAPI FakeGetLastError() { return lastError; }

}  // namespace

void InstallFakeSerial(FakeFailure chosen, std::uint32_t code) {
  failure = chosen;
  errorCode = code;
  lastError = 0;
  log = FakeSerialLog{};
  std::memset(&lineSettings, 0, sizeof lineSettings);
  lineSettings.DCBlength = sizeof lineSettings;
  win32SerialCalls = {FakeCreateFileW, FakeSleep,       FakeGetCommState, FakeSetCommState,
                      FakeWriteFile,   FakeCloseHandle, FakeGetLastError};
}

void RestoreRealSerial() { win32SerialCalls = kRealWin32SerialCalls; }

const FakeSerialLog& FakeSerialCalls() { return log; }

std::uint32_t InvalidHandleError() { return ERROR_INVALID_HANDLE; }
