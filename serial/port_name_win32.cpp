#include <windows.h>

#include "serial/port_name.h"

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
