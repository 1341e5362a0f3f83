#include <windows.h>

#include <cstring>

#include "serial/com_name.h"
#include "serial/local_port.h"
#include "serial/platform_failure.h"
#include "serial/serial_port_win32.h"

namespace {

constexpr DWORD kDriverPauseMilliseconds = 5;
constexpr wchar_t kDevicePrefix[] = L"\\\\.\\";

HANDLE Handle(const SerialPort& port) { return reinterpret_cast<HANDLE>(port.handle); }

// Copies the text with its terminator and returns where the terminator went.
// A loop: MinGW marks wmemcpy as unsafe, as Visual Studio marks wcscpy.
wchar_t* CopyWideText(wchar_t* to, const wchar_t* from) {
  while ((*to = *from++) != L'\0') ++to;
  return to;
}

// Reports the call that has just failed with the code it left; false, the
// stage's answer.
bool ReportLastError(const char* call) {
  const DWORD error = win32SerialCalls.getLastError();
  ReportPlatformFailure(call, error);
  return false;
}

void SetLineFormat(DCB* settings) {
  settings->BaudRate = CBR_9600;
  settings->ByteSize = 8;
  settings->Parity = NOPARITY;
  settings->StopBits = ONESTOPBIT;
}

}  // namespace

void DevicePathFor(const PortName& portName, wchar_t (&path)[kDevicePathCapacity]) {
  wchar_t* end = path;
  if (IsComName(portName.text)) end = CopyWideText(end, kDevicePrefix);
  CopyWideText(end, portName.text);
}

const Win32SerialCalls kRealWin32SerialCalls = {
    ::CreateFileW, ::Sleep,       ::GetCommState, ::SetCommState,
    ::WriteFile,   ::CloseHandle, ::GetLastError,
};

Win32SerialCalls win32SerialCalls = kRealWin32SerialCalls;

void EndEarlierLocalRun() {}  // a run leaves nothing behind on Windows

void OpenLocalPort(const PortName& portName, SerialPort* port) {
  wchar_t devicePath[kDevicePathCapacity];
  DevicePathFor(portName, devicePath);
  HANDLE handle = win32SerialCalls.createFileW(devicePath, kPortAccess, kPortShareMode, nullptr,
                                               OPEN_EXISTING, 0, nullptr);
  // The pause comes whatever the open returned; a failed open leaves
  // INVALID_HANDLE_VALUE, on which reading the settings fails.
  win32SerialCalls.sleep(kDriverPauseMilliseconds);
  port->handle = reinterpret_cast<std::intptr_t>(handle);
}

LineSetup ConfigureLocalLine(const SerialPort& port) {
  DCB settings;
  std::memset(&settings, 0, sizeof settings);
  settings.DCBlength = sizeof settings;
  if (!win32SerialCalls.getCommState(Handle(port), &settings)) {
    ReportLastError("GetCommState");
    return LineSetup::kReadFailed;
  }
  // Flow control, modem lines, special characters and flags go back as read.
  SetLineFormat(&settings);
  if (!win32SerialCalls.setCommState(Handle(port), &settings)) {
    ReportLastError("SetCommState");
    return LineSetup::kApplyFailed;
  }
  return LineSetup::kConfigured;
}

bool WriteLocalFrame(const SerialPort& port, const CommandFrame& frame) {
  DWORD written = 0;
  const BOOL accepted =
      win32SerialCalls.writeFile(Handle(port), frame.bytes, kCommandFrameSize, &written, nullptr);
  const DWORD error = win32SerialCalls.getLastError();
  // A frame cut short switches nothing and leaves the board out of step.
  if (accepted && written == kCommandFrameSize) return true;
  ReportPlatformFailure("WriteFile", error);
  return false;
}

bool CloseLocalPort(const SerialPort& port) {
  return win32SerialCalls.closeHandle(Handle(port)) || ReportLastError("CloseHandle");
}
