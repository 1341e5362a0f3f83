#include <cstdio>
#include <cwchar>

#include "app/configured_line.h"

// %ls, not %s: with MinGW's C99 printf family, %s in a wide format means a
// narrow string and would show only the first character.
void PrintConfiguredLine(const PortName& portName) {
  std::wprintf(L"Serial port [%ls] configured.\n", portName.text);
  std::fflush(stdout);  // as every other line: out before the write can wait
}
