// The Win32 calls behind the Windows serial backend, as one record so that a
// test can make any of them fail with a chosen error code and see what was
// passed. win32SerialCalls starts as kRealWin32SerialCalls.
#pragma once

#include <windows.h>

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
