// The Windows calls behind kavnori-doctor's checks, as one record so that a
// test can give it any device list and make any call fail with a chosen
// code. win32DoctorCalls starts as kRealWin32DoctorCalls.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// One COM port as this machine names it: from Device Manager's Ports class
// (plugged in or not), or only from the registry's SERIALCOMM map.
struct ComDevice {
  std::string port;               // COM5
  std::string friendlyName;       // USB-SERIAL CH340 (COM5); Device Manager's name
  std::string hardwareId;         // USB\VID_1A86&PID_7523&REV_0264
  std::string vendorId;           // 1a86, in lower case; empty when not on USB
  std::string productId;          // 7523
  std::string serial;             // the USB serial number; empty when it has none
  std::string location;           // the USB socket: Port_#0002.Hub_#0003
  std::string provider;           // the driver's provider, wch.cn
  std::string driverVersion;      // 3.8.2023.2
  std::string kernelDevice;       // \Device\Serial0, from SERIALCOMM
  bool inDeviceManager = false;   // false: SERIALCOMM alone names it
  bool present = true;            // false: Device Manager keeps it, unplugged
  unsigned long problemCode = 0;  // Device Manager's "Code N"; 0 for none
};

struct Win32DoctorCalls {
  decltype(&::CreateFileW) createFileW;
  decltype(&::GetCommState) getCommState;
  decltype(&::GetCommModemStatus) getCommModemStatus;
  decltype(&::GetCommTimeouts) getCommTimeouts;
  decltype(&::CloseHandle) closeHandle;
  decltype(&::GetLastError) getLastError;
  // SetupAPI's walk of the Ports class, merged with SERIALCOMM by port name.
  std::vector<ComDevice> (*readComDevices)();
};

extern const Win32DoctorCalls kRealWin32DoctorCalls;
extern Win32DoctorCalls win32DoctorCalls;
