// The calls by which kavnori-switch.exe starts its release and ends itself
// on a console event, as one record, so that a test can see what Wine does
// not show: a job that refuses breakaway, and a console that closes.
// switchProcessCalls starts as kRealSwitchProcessCalls.
#pragma once

#include <windows.h>

struct SwitchProcessCalls {
  BOOL(WINAPI* createProcess)
  (LPCWSTR program, LPWSTR line, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL inherit,
   DWORD flags, LPVOID environment, LPCWSTR folder, LPSTARTUPINFOW start,
   LPPROCESS_INFORMATION process);
  void(WINAPI* exitProcess)(UINT status);
};

extern const SwitchProcessCalls kRealSwitchProcessCalls;
extern SwitchProcessCalls switchProcessCalls;

// What Windows calls on Ctrl+C, Ctrl+Break, the console's close, a logoff or
// a shutdown, once InstallRunGuard has set it.
BOOL WINAPI OnConsoleEvent(DWORD event);
