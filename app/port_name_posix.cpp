#include <cstdio>
#include <cstring>

#include "app/port_name.h"

bool ConvertPortName(const char* argument, PortName* portName) {
  const std::size_t length = strnlen(argument, kPortNameCapacity);
  if (length == kPortNameCapacity) return false;
  std::memcpy(portName->text, argument, length + 1);
  return true;
}

// Narrow, like every other line: a C stream takes the orientation of its
// first output, and wide output mixed in would be lost.
void PrintConfiguredLine(const PortName& portName) {
  std::printf("Serial port [%s] configured.\n", portName.text);
}
