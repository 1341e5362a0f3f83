// The platform's own serial port, one implementation file per platform
// (serial_port_linux.cpp, serial_port_win32.cpp): the stages of
// serial_port.h for a device, which serial_port.cpp calls for every name
// but a network port's.
#pragma once

#include "protocol/command_frame.h"
#include "serial/serial_port.h"

// Ends what an earlier run in this process left behind (on Linux its own
// lock file); every run starts with it, a network port's too.
void EndEarlierLocalRun();

// Fills in the handle (and on Linux the names the port was opened by).
void OpenLocalPort(const PortName& portName, SerialPort* port);
// On Linux a failed stage ends the run without a close: it lets the run's
// own lock go, as the close does.
LineSetup ConfigureLocalLine(const SerialPort& port);
bool WriteLocalFrame(const SerialPort& port, const CommandFrame& frame);
bool CloseLocalPort(const SerialPort& port);
