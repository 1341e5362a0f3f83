#include "serial/standard_output.h"

#include <unistd.h>

#include <cerrno>
#include <cstddef>

// Straight to the file descriptor, not through stdio: a run then has no
// stdout buffer to allocate and nothing left to flush at its end.
void WriteOutput(const char* text, std::size_t length) {
  while (length > 0) {
    const ssize_t written = ::write(STDOUT_FILENO, text, length);
    if (written < 0 && errno == EINTR) continue;
    // A closed or broken output loses the line, as it would through stdio.
    if (written <= 0) return;
    text += written;
    length -= static_cast<std::size_t>(written);
  }
}
