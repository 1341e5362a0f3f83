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

SerialPort OpenLocalPort(const PortName& portName);
LineSetup ConfigureLocalLine(const SerialPort& port);
bool WriteLocalFrame(const SerialPort& port, const CommandFrame& frame);
bool CloseLocalPort(const SerialPort& port);
