// Access to one serial port for one run.
//
//   SerialPort port = OpenSerialPort(name);     open, then a 5 ms pause
//   ConfigureSerialLine(port);                  9600 baud 8N1, rest kept
//   WriteCommandFrame(port, frame);             one write of 8 bytes
//   CloseSerialPort(port);
//
// A failed open is not reported by itself: it leaves the port invalid, and
// reading the line settings on it then fails. Every failing platform call
// prints "<call> failed with error <code>." to standard output, with the
// platform's error code taken straight after the call. The call names are
// the Win32 ones on every platform, so one script reads both.
//
// serial_port.cpp sends a network port's name (rfc2217://HOST:PORT) to
// rfc2217_client.h and any other to the platform's own port (local_port.h:
// serial_port_win32.cpp or serial_port_linux.cpp, which CMake picks).
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/command_frame.h"

#ifdef _WIN32
// Win32 opens devices by wide name; 31 characters and the terminator.
using PortNameChar = wchar_t;
constexpr std::size_t kPortNameCapacity = 32;
// A Windows port needs nothing beyond its handle.
struct LocalPortMarks {};
#else
#include "serial/uucp_lock_linux.h"
// Room for long stable names such as /dev/serial/by-id/...
using PortNameChar = char;
constexpr std::size_t kPortNameCapacity = 256;
// The names and device a Linux port was opened by, for the look at the lock
// files just before the write.
using LocalPortMarks = LockTarget;
#endif

// A device name, always terminated within its buffer.
struct PortName {
  PortNameChar text[kPortNameCapacity];
};

// The device handle from the open to the close: a HANDLE on Windows, a file
// descriptor elsewhere, held as an integer wide enough for both; a socket
// for a network port (rfc2217://HOST:PORT, rfc2217_client.h), whose failed
// open keeps its code for the read of the settings to report.
struct SerialPort {
  std::intptr_t handle;
  bool network = false;
  std::uint32_t openError = 0;
  LocalPortMarks opened = {};
};

enum class LineSetup {
  kConfigured,
  kReadFailed,   // GetCommState: also what a failed open ends in
  kApplyFailed,  // SetCommState: the driver refused the settings
};

SerialPort OpenSerialPort(const PortName& portName);
LineSetup ConfigureSerialLine(const SerialPort& port);
bool WriteCommandFrame(const SerialPort& port, const CommandFrame& frame);
bool CloseSerialPort(const SerialPort& port);
