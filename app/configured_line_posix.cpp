#include <cstdio>

#include "app/configured_line.h"

// Narrow, like every other line: a C stream takes the orientation of its
// first output, and wide output mixed in would be lost.
void PrintConfiguredLine(const PortName& portName) {
  std::printf("Serial port [%s] configured.\n", portName.text);
}
