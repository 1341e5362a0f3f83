// The Windows side of kavnori-doctor, below CheckPort, ListPorts and
// ListUsbAdapters, one file for each question a port is asked:
//
//   devices_win32.cpp  which ports this machine's registry names (Device
//                      Manager, SERIALCOMM), with their USB ids, serial
//                      number and socket
//   listing_win32.cpp  which ports there are, as listed: those, and the ones
//                      only an open finds (ListPorts, ListUsbAdapters)
//   doctor_win32.cpp   CheckPort: may Kavnori open it, does another program
//                      hold it, is its driver right
//   line_win32.cpp     is its line right: flow control, output held now,
//                      write timeouts
//   shared_win32.h     what those files share
//
// The Windows calls behind them, as one record so that a test can give it
// any device list and make any call fail with a chosen code.
// win32DoctorCalls starts as kRealWin32DoctorCalls.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// One COM port as this machine names it: from Device Manager's Ports class
// (plugged in or not), or only from the registry's SERIALCOMM map. Or a USB
// serial adapter plugged in that has no COM port, for a problem code that
// Device Manager shows (port empty): Code 28 for a CH340 without its driver.
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
  std::string usbInterface = {};  // the USB interface of one port of several: "02"
};

struct Win32DoctorCalls {
  decltype(&::CreateFileW) createFileW;
  decltype(&::GetCommState) getCommState;
  decltype(&::GetCommModemStatus) getCommModemStatus;
  decltype(&::GetCommTimeouts) getCommTimeouts;
  decltype(&::ClearCommError) clearCommError;
  decltype(&::CloseHandle) closeHandle;
  decltype(&::GetLastError) getLastError;
  // SetupAPI's walk of the Ports class, merged with SERIALCOMM by port name,
  // and the USB serial adapters whose problem code leaves them no port.
  std::vector<ComDevice> (*readComDevices)();
};

extern const Win32DoctorCalls kRealWin32DoctorCalls;
extern Win32DoctorCalls win32DoctorCalls;

// What a device instance id tells of a USB device, from ids such as
// USB\VID_1A86&PID_7523\5&2A3B4C5D&0&2 or FTDIBUS\VID_0403+PID_6001+A9Z3XYZAA\0000.
// Empty texts for what it does not tell.
struct UsbIdentity {
  std::string vendorId;  // 4 hex digits in lower case
  std::string productId;
  std::string serial;  // the serial number the device reports; empty when it has none
  // A port's USB interface, "02": MI_02, or FTDI's port letter C (A is 00).
  std::string usbInterface;
  // The id names a whole USB device, the one whose serial number and socket
  // are the adapter's; false for one of its interfaces or functions (&MI_,
  // FTDIBUS), whose parent is that device.
  bool wholeDevice = false;
};
UsbIdentity UsbIdentityOf(const std::string& instanceId);
