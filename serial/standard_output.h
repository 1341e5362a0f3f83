// The command's lines on standard output. Each is written out whole when it
// is printed: the write and the close after a progress line can wait without
// end (an XOFF with IXON, CTS low with hardware flow control), and a caller
// that then stops the run has every line printed so far.
#pragma once

#include <cstddef>

// Writes length bytes of text to standard output now.
void WriteOutput(const char* text, std::size_t length);
