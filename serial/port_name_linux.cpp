#include <cstring>

#include "serial/port_name.h"
#include "serial/rfc2217_client.h"

// A counting loop rather than strnlen: one library symbol fewer to bind at
// every start.
bool ConvertPortName(const char* argument, PortName* portName) {
  std::size_t length = 0;
  while (length < kPortNameCapacity && argument[length] != '\0') ++length;
  if (length == kPortNameCapacity) return false;
  std::memcpy(portName->text, argument, length + 1);
  return true;
}

bool NetworkPortName(const PortName& portName, char (&name)[kPortNameCapacity]) {
  if (!IsNetworkPortName(portName.text)) return false;
  std::memcpy(name, portName.text, sizeof name);
  return true;
}
