// The Win32 calls behind the Windows serial backend, as one record so that a
// test can make any of them fail with a chosen error code and see what was
// passed. win32SerialCalls starts as kRealWin32SerialCalls.
#pragma once

#include <windows.h>

#include <cstddef>

#include "serial/serial_port.h"

// How every open of a port goes, the doctor's too: for reading and writing,
// with share mode 0, so that no other program may hold the port meanwhile,
// and OPEN_EXISTING.
constexpr DWORD kPortAccess = GENERIC_READ | GENERIC_WRITE;
constexpr DWORD kPortShareMode = 0;

// Only COM1 to COM9 are known by their bare names everywhere; COM10 and up
// open only as \\.\COM<N>, which works for every port. Any other name,
// including one that already starts with a backslash, goes as typed.
constexpr std::size_t kDevicePathCapacity = 4 + kPortNameCapacity;
void DevicePathFor(const PortName& portName, wchar_t (&path)[kDevicePathCapacity]);

struct Win32SerialCalls {
  decltype(&::CreateFileW) createFileW;
  decltype(&::Sleep) sleep;
  decltype(&::GetCommState) getCommState;
  decltype(&::SetCommState) setCommState;
  decltype(&::WriteFile) writeFile;
  decltype(&::CloseHandle) closeHandle;
  decltype(&::GetLastError) getLastError;
};

extern const Win32SerialCalls kRealWin32SerialCalls;
extern Win32SerialCalls win32SerialCalls;
