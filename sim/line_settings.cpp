#include "sim/line_settings.h"

#include <termios.h>

namespace {

struct SpeedName {
  speed_t code;
  std::uint32_t baud;
};

// Every speed glibc has a constant for. A speed set as a number (BOTHER)
// has none; the simulator reads those from the kernel (line_speed.h).
constexpr SpeedName kSpeeds[] = {
    {B0, 0},
    {B50, 50},
    {B75, 75},
    {B110, 110},
    {B134, 134},
    {B150, 150},
    {B200, 200},
    {B300, 300},
    {B600, 600},
    {B1200, 1200},
    {B1800, 1800},
    {B2400, 2400},
    {B4800, 4800},
    {B9600, 9600},
    {B19200, 19200},
    {B38400, 38400},
    {B57600, 57600},
    {B115200, 115200},
    {B230400, 230400},
    {B460800, 460800},
    {B500000, 500000},
    {B576000, 576000},
    {B921600, 921600},
    {B1000000, 1000000},
    {B1152000, 1152000},
    {B1500000, 1500000},
    {B2000000, 2000000},
    {B2500000, 2500000},
    {B3000000, 3000000},
    {B3500000, 3500000},
    {B4000000, 4000000},
};

std::uint32_t BaudFromCode(speed_t code) {
  for (const SpeedName& speed : kSpeeds) {
    if (speed.code == code) return speed.baud;
  }
  return 0;
}

int DataBitsFromFlags(tcflag_t cflag) {
  switch (cflag & CSIZE) {
    case CS5:
      return 5;
    case CS6:
      return 6;
    case CS7:
      return 7;
    default:
      return 8;
  }
}

Parity ParityFromFlags(tcflag_t cflag) {
  if ((cflag & PARENB) == 0) return Parity::kNone;
  const bool odd = (cflag & PARODD) != 0;
#ifdef CMSPAR
  // Stick parity: the bit is always 1 (odd flag) or always 0.
  if ((cflag & CMSPAR) != 0) return odd ? Parity::kMark : Parity::kSpace;
#endif
  return odd ? Parity::kOdd : Parity::kEven;
}

// A parity's letter in "8N1" and its name in JSON.
struct ParityNames {
  Parity parity;
  char letter;
  const char* name;
};

constexpr ParityNames kParityNames[] = {
    {Parity::kNone, 'N', "none"}, {Parity::kEven, 'E', "even"},   {Parity::kOdd, 'O', "odd"},
    {Parity::kMark, 'M', "mark"}, {Parity::kSpace, 'S', "space"},
};

ParityNames NamesOf(Parity parity) {
  for (const ParityNames& names : kParityNames) {
    if (names.parity == parity) return names;
  }
  return {parity, '?', "unknown"};
}

}  // namespace

LineSettings BoardLineSettings() { return {9600, 0, 8, Parity::kNone, 1, false}; }

LineSettings LineSettingsFromTermios(const struct termios& settings) {
  LineSettings line = {};
  line.baud = BaudFromCode(cfgetospeed(&settings));
  line.inputBaud = BaudFromCode(cfgetispeed(&settings));
  line.dataBits = DataBitsFromFlags(settings.c_cflag);
  line.parity = ParityFromFlags(settings.c_cflag);
  line.stopBits = (settings.c_cflag & CSTOPB) != 0 ? 2 : 1;
  line.outputProcessing = (settings.c_oflag & OPOST) != 0;
  return line;
}

bool IsBoardLine(const LineSettings& line) {
  const bool inputFollows = line.inputBaud == 0 || line.inputBaud == line.baud;
  return line.baud == 9600 && inputFollows && line.dataBits == 8 && line.parity == Parity::kNone &&
         line.stopBits == 1;
}

std::string DescribeLine(const LineSettings& line) {
  std::string text = std::to_string(line.baud) + " " + std::to_string(line.dataBits) +
                     NamesOf(line.parity).letter + std::to_string(line.stopBits);
  if (line.inputBaud != 0 && line.inputBaud != line.baud) {
    text += " (input " + std::to_string(line.inputBaud) + ")";
  }
  return text;
}

const char* ParityName(Parity parity) { return NamesOf(parity).name; }
