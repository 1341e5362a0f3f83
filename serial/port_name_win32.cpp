#include <windows.h>

#include "serial/port_name.h"
#include "serial/rfc2217_client.h"

bool ConvertPortName(const char* argument, PortName* portName) {
  // -1 takes the terminator along; a name that does not fit fails with
  // ERROR_INSUFFICIENT_BUFFER and is refused.
  const int converted = MultiByteToWideChar(CP_ACP, 0, argument, -1, portName->text,
                                            static_cast<int>(kPortNameCapacity));
  if (converted == 0) {
    portName->text[0] = L'\0';
    return false;
  }
  return true;
}

// A network port's name, rfc2217://HOST:PORT, is ASCII: a name with any
// other character is a device's.
bool NetworkPortName(const PortName& portName, char (&name)[kPortNameCapacity]) {
  if (portName.text[0] != L'r') return false;
  for (std::size_t i = 0; i < kPortNameCapacity; ++i) {
    if (portName.text[i] > 0x7F) return false;
    name[i] = static_cast<char>(portName.text[i]);
    if (name[i] == '\0') break;
  }
  return IsNetworkPortName(name);
}
