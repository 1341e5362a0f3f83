// The port name as the command prints it. One implementation file per
// platform.
#pragma once

#include "serial/port_name.h"

// "Serial port [<name>] configured.\n"
void PrintConfiguredLine(const PortName& portName);
