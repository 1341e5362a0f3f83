#include "app/configured_line.h"
#include "serial/fixed_text.h"
#include "serial/standard_output.h"

void PrintConfiguredLine(const PortName& portName) {
  // Room for the longest name the command takes, so nothing is cut.
  char line[sizeof portName.text + 32];
  std::size_t length = Append(line, sizeof line, 0, "Serial port [");
  length = Append(line, sizeof line, length, portName.text);
  WriteOutput(line, Append(line, sizeof line, length, "] configured.\n"));
}
