// The configured line: the port name as the command prints it. One
// implementation file per platform (a narrow or a wide stream).
#pragma once

#include "serial/port_name.h"

// "Serial port [<name>] configured.\n"
void PrintConfiguredLine(const PortName& portName);
