#include "app/relay_command.h"

#include "app/configured_line.h"
#include "protocol/command_frame.h"
#include "serial/standard_output.h"

namespace {

constexpr int kArgumentCount = 4;
constexpr std::uint32_t kHighestPowerState = 1;

bool IsCSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Compared as unsigned, so every negative value is out of range too.
bool WithinRange(std::int32_t value, std::uint32_t highest) {
  return static_cast<std::uint32_t>(value) <= highest;
}

}  // namespace

std::int32_t ConvertNumber(const char* text) {
  while (IsCSpace(*text)) ++text;
  const bool negative = *text == '-';
  if (*text == '-' || *text == '+') ++text;
  // Accumulate the magnitude up to one past INT32_MAX, the magnitude of
  // INT32_MIN, and stop growing there.
  const std::int64_t limit = std::int64_t{INT32_MAX} + 1;
  std::int64_t magnitude = 0;
  for (; IsDigit(*text); ++text) {
    magnitude = magnitude * 10 + (*text - '0');
    if (magnitude > limit) magnitude = limit;
  }
  const std::int64_t value = negative ? -magnitude : magnitude;
  if (value > INT32_MAX) return INT32_MAX;
  return static_cast<std::int32_t>(value);
}

ParseResult ParseRelayCommand(int argc, const char* const* argv, RelayCommand* command) {
  if (argc != kArgumentCount + 1) return ParseResult::kWrongCount;
  const bool nameFits = ConvertPortName(argv[1], &command->portName);
  command->address = static_cast<std::uint8_t>(ConvertNumber(argv[2]) & 0xFF);
  command->relayNumber = ConvertNumber(argv[3]);
  command->powerState = ConvertNumber(argv[4]);
  if (!WithinRange(command->relayNumber, kRelaysPerBoard) ||
      !WithinRange(command->powerState, kHighestPowerState) || !nameFits) {
    return ParseResult::kOutOfRange;
  }
  return ParseResult::kParsed;
}

void PrintUsage() {
  // The program name is always shown as ./Kavnori.exe; the address, second
  // on the command line, is described only by the third line.
  static constexpr char kUsage[] =
      "Usage: ./Kavnori.exe <Serial port> <Relay num> <On/Off>\n"
      "       Serial Port:  COM<N> (N:1~255)\n"
      "       Adress:    0~255, \n"
      "       Relay Num:    1~16, 0 - All\n"
      "       On/Off:       On - 1 Off - 0\n";
  WriteOutput(kUsage, sizeof kUsage - 1);
}
