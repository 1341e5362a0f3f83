// The serial line format in force on the pseudo-terminal, as a board on the
// far end of a real cable would be wired for it.
#pragma once

#include <cstdint>
#include <string>

struct termios;

enum class Parity { kNone, kEven, kOdd, kMark, kSpace };

struct LineSettings {
  std::uint32_t baud;       // output speed
  std::uint32_t inputBaud;  // 0 when it follows the output speed
  int dataBits;
  Parity parity;
  int stopBits;
  bool outputProcessing;  // OPOST: the driver may rewrite bytes on their way out
};

// The settings a board expects: 9600 baud, 8 data bits, no parity, 1 stop bit.
LineSettings BoardLineSettings();

LineSettings LineSettingsFromTermios(const struct termios& settings);

// Whether a board wired for 9600 8N1 reads bytes sent with these settings.
// Output processing does not count: it changes only some bytes, which the
// checksum then catches.
bool IsBoardLine(const LineSettings& line);

// "9600 8N1", "38400 7E2"; the input speed follows when it differs.
std::string DescribeLine(const LineSettings& line);

const char* ParityName(Parity parity);
