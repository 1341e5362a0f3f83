#include <windows.h>

#include "serial/serial_port_win32.h"
#include "tests/fake_serial.h"

namespace {

// The chosen call fails with the code given.
bool Fails(const char* call) {
  if (fakeSerial.failingCall != call) return false;
  fakeSerial.lastError = fakeSerial.error;
  return true;
}

HANDLE WINAPI FakeCreateFileW(LPCWSTR path, DWORD access, DWORD share,
                              LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                              HANDLE templateFile) {
  ++fakeSerial.calls.opens;
  fakeSerial.path = path;
  fakeSerial.access = access;
  fakeSerial.share = share;
  fakeSerial.security = security;
  fakeSerial.disposition = disposition;
  fakeSerial.flags = flags;
  fakeSerial.templateFile = templateFile;
  return Fails("CreateFileW") ? INVALID_HANDLE_VALUE : kFakeHandle;
}
void WINAPI FakeSleep(DWORD milliseconds) {
  ++fakeSerial.calls.pauses;
  fakeSerial.pause = milliseconds;
}
BOOL WINAPI FakeGetCommState(HANDLE handle, LPDCB settings) {
  ++fakeSerial.calls.reads;
  fakeSerial.handedToRead = *settings;
  if (handle != kFakeHandle) {
    fakeSerial.lastError = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  if (Fails("GetCommState")) return FALSE;
  *settings = fakeSerial.driver;
  return TRUE;
}
BOOL WINAPI FakeSetCommState(HANDLE, LPDCB settings) {
  ++fakeSerial.calls.applies;
  fakeSerial.applied = *settings;
  return !Fails("SetCommState");
}
// Takes what the write reports, and reports it whether or not it fails.
BOOL WINAPI FakeWriteFile(HANDLE, LPCVOID bytes, DWORD count, LPDWORD written,
                          LPOVERLAPPED overlapped) {
  ++fakeSerial.calls.writes;
  fakeSerial.writtenPreset = *written;
  fakeSerial.overlapped = overlapped;
  const DWORD taken = fakeSerial.writeReports < count ? fakeSerial.writeReports : count;
  const std::uint8_t* frame = static_cast<const std::uint8_t*>(bytes);
  for (DWORD i = 0; i < taken; ++i) fakeSerial.calls.written[i] = frame[i];  // MinGW flags memcpy
  fakeSerial.calls.writtenCount = taken;
  *written = fakeSerial.writeReports;
  if (Fails("WriteFile")) return FALSE;
  if (taken != count) fakeSerial.lastError = fakeSerial.error;
  return TRUE;
}
BOOL WINAPI FakeCloseHandle(HANDLE) {
  ++fakeSerial.calls.closes;
  return !Fails("CloseHandle");
}
DWORD WINAPI FakeGetLastError() { return fakeSerial.lastError; }

}  // namespace

const char* const kFakeFailingCalls[] = {
    "", "CreateFileW", "GetCommState", "SetCommState", "WriteFile", "", "", "CloseHandle"};

void InstallFakeSerialCalls() {
  win32SerialCalls = {FakeCreateFileW, FakeSleep,       FakeGetCommState, FakeSetCommState,
                      FakeWriteFile,   FakeCloseHandle, FakeGetLastError};
}

void RestoreRealSerial() { win32SerialCalls = kRealWin32SerialCalls; }

std::uint32_t InvalidHandleError() { return ERROR_INVALID_HANDLE; }
