#include "serial/standard_output.h"

#include <cstdio>

// Through the C runtime, which the configured line's wide output shares.
// Flushed at once: the Windows C runtime treats line buffering as full
// buffering.
void WriteOutput(const char* text, std::size_t length) {
  std::fwrite(text, 1, length, stdout);
  std::fflush(stdout);
}
