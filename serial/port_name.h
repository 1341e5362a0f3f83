// The port name as the platform holds it: wide on Windows, bytes elsewhere.
// One implementation file per platform.
#pragma once

#include "serial/serial_port.h"

// False when the argument does not fit the buffer; nothing is read or
// written past either end.
bool ConvertPortName(const char* argument, PortName* portName);

// True for a network port's name (rfc2217://HOST:PORT, rfc2217_client.h),
// copied into `name` as the network client reads it.
bool NetworkPortName(const PortName& portName, char (&name)[kPortNameCapacity]);
