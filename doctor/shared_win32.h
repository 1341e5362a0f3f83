// What the Windows doctor's files share; doctor_win32.h has the map.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "doctor/doctor.h"
#include "doctor/doctor_win32.h"
#include "serial/serial_port.h"
#include "serial/serial_port_win32.h"

// ---- Names (devices_win32.cpp) ----

std::string Utf8(const std::wstring& text);
std::wstring Wide(const std::string& utf8);
// Equal but for the case of ASCII letters, as Windows compares device names.
bool SameName(const std::string& a, const std::string& b);
// N of COM<N>; 0 for any other name.
int ComNumber(const std::string& name);
// COM2 before COM10, COM ports before any other name.
bool ComesFirst(const std::string& a, const std::string& b);
// A present device first: an unplugged one may still claim the same name.
const ComDevice* FindDevice(const std::vector<ComDevice>& devices, const std::string& name);

// The real readComDevices.
std::vector<ComDevice> ReadComDevices();
// The maker's driver a common serial chip needs ("WCH's CH341SER driver");
// empty for other ids.
std::string ChipDriverName(const std::string& vendorId, const std::string& productId);

// ---- Opening (doctor_win32.cpp) ----

struct OpenResult {
  HANDLE handle;
  DWORD error;  // when the handle is INVALID_HANDLE_VALUE
};

// Opens a port's device path (serial/'s DevicePathFor) as Kavnori opens it.
OpenResult OpenAsKavnori(const wchar_t (&path)[kDevicePathCapacity]);
// The same for a name from the device list, closed again at once.
OpenResult OpenAndRelease(const std::string& name);
// The problem code a failed open means: "missing", "in-use", ...
ProblemCode OpenProblemCode(DWORD error);
// " (error 5)": a Windows error code, to follow a message's words.
std::string ErrorSuffix(DWORD error);

// ---- The driver (doctor_win32.cpp) ----

// Device Manager's "Code N" in words; null for a code without them.
const char* ProblemMeaning(unsigned long code);
// Why an adapter plugged in has no COM port (its problem code), with the fix.
Problem PortlessProblem(const ComDevice& device);
// A note when the driver's release is one known to fail; empty otherwise.
std::string DriverWarningText(const ComDevice& device);

// ---- The list (listing_win32.cpp) ----

// The ports a missing one's fix offers: those the list shows, unplugged
// ones left out, in the list's order, joined by ", ".
std::string PortsToOffer(const std::vector<ComDevice>& devices);

// ---- The line (line_win32.cpp) ----

// Reads the open port's settings, its modem lines, its write timeouts and
// whether its output is held now, and adds what may hold or cut a run's
// write. False when the settings cannot be read: then it is no serial port,
// and *error says why.
bool CheckLine(PortReport* report, const std::string& name, HANDLE handle, DWORD* error);
