#include <windows.h>

#include <cstring>

#include "serial/com_name.h"
#include "serial/platform_failure.h"
#include "serial/rfc2217_client.h"
#include "serial/serial_port.h"
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

namespace {

// A network port's name, rfc2217://HOST:PORT, is ASCII: a name with any
// other character is a device's.
bool NetworkName(const PortName& portName, char (&name)[kPortNameCapacity]) {
  if (portName.text[0] != L'r') return false;
  for (std::size_t i = 0; i < kPortNameCapacity; ++i) {
    if (portName.text[i] > 0x7F) return false;
    name[i] = static_cast<char>(portName.text[i]);
    if (name[i] == '\0') break;
  }
  return IsNetworkPortName(name);
}

}  // namespace

SerialPort OpenSerialPort(const PortName& portName) {
  char networkName[kPortNameCapacity];
  if (NetworkName(portName, networkName)) return OpenNetworkPort(networkName);
  wchar_t devicePath[kDevicePathCapacity];
  DevicePathFor(portName, devicePath);
  HANDLE handle = win32SerialCalls.createFileW(devicePath, kPortAccess, kPortShareMode, nullptr,
                                               OPEN_EXISTING, 0, nullptr);
  // The pause comes whatever the open returned; a failed open leaves
  // INVALID_HANDLE_VALUE, on which reading the settings fails.
  win32SerialCalls.sleep(kDriverPauseMilliseconds);
  return SerialPort{reinterpret_cast<std::intptr_t>(handle)};
}

LineSetup ConfigureSerialLine(const SerialPort& port) {
  if (port.network) return ConfigureNetworkLine(port);
  DCB settings;
  std::memset(&settings, 0, sizeof settings);
  settings.DCBlength = sizeof settings;
  if (!win32SerialCalls.getCommState(Handle(port), &settings)) {
    const DWORD error = win32SerialCalls.getLastError();
    ReportPlatformFailure("GetCommState", error);
    return LineSetup::kReadFailed;
  }
  // Flow control, modem lines, special characters and flags go back as read.
  SetLineFormat(&settings);
  if (!win32SerialCalls.setCommState(Handle(port), &settings)) {
    const DWORD error = win32SerialCalls.getLastError();
    ReportPlatformFailure("SetCommState", error);
    return LineSetup::kApplyFailed;
  }
  return LineSetup::kConfigured;
}

bool WriteCommandFrame(const SerialPort& port, const CommandFrame& frame) {
  if (port.network) return WriteNetworkFrame(port, frame);
  DWORD written = 0;
  const BOOL accepted =
      win32SerialCalls.writeFile(Handle(port), frame.bytes, kCommandFrameSize, &written, nullptr);
  const DWORD error = win32SerialCalls.getLastError();
  // A frame cut short switches nothing and leaves the board out of step.
  if (accepted && written == kCommandFrameSize) return true;
  ReportPlatformFailure("WriteFile", error);
  return false;
}

bool CloseSerialPort(const SerialPort& port) {
  if (port.network) return CloseNetworkPort(port);
  if (win32SerialCalls.closeHandle(Handle(port))) return true;
  const DWORD error = win32SerialCalls.getLastError();
  ReportPlatformFailure("CloseHandle", error);
  return false;
}
