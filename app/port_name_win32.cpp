#include <windows.h>

#include <cwchar>

#include "app/port_name.h"

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

// %ls, not %s: with MinGW's C99 printf family, %s in a wide format means a
// narrow string and would show only the first character.
void PrintConfiguredLine(const PortName& portName) {
  std::wprintf(L"Serial port [%ls] configured.\n", portName.text);
}
