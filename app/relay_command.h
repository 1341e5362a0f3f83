// The command line: four positional arguments, checked before the port is
// touched.
#pragma once

#include <cstdint>

#include "serial/serial_port.h"

struct RelayCommand {
  PortName portName;
  std::uint8_t address;      // only the low 8 bits of the argument count
  std::int32_t relayNumber;  // 1 to 16, or 0 for every relay
  std::int32_t powerState;   // 1 on, 0 off
};

enum class ParseResult {
  kParsed,
  kWrongCount,  // not exactly four arguments
  kOutOfRange,  // relay, power state or port name length out of range
};

// atoi semantics: leading white space, an optional sign, then decimal digits
// up to the first other character; no digits gives 0. Values beyond 32 bits
// saturate at INT32_MIN / INT32_MAX on every platform, as the Windows C
// runtime does, so that no huge argument wraps back into range.
std::int32_t ConvertNumber(const char* text);

// argc and argv as main gets them, the program name first.
ParseResult ParseRelayCommand(int argc, const char* const* argv, RelayCommand* command);

void PrintUsage();
