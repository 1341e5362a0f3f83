// libFuzzer target over the argument path: argument vector in, command
// frame out. It never opens a port.
//
// Input layout (see fuzz/README.md):
//   byte 0       argument count after the program name: (byte + 1) % 7, so
//                the digits '0' to '6' give 0 to 6
//   bytes 1...   the arguments, separated by NUL bytes; arguments past the
//                last piece are empty strings, pieces past the count are
//                ignored
//   0x01 n c     inside an argument: the byte c repeated (n + 1) * 400 times,
//                so that one argument can reach about 100 KB; c == 0 stands
//                for one literal 0x01 byte
//
// Every property is checked against a reference computed here, with
// strtoll and a clamp, not with the product's own conversion.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/relay_command.h"
#include "fuzz/fuzz_check.h"
#include "protocol/command_frame.h"
#include "serial/serial_port.h"

#ifdef _WIN32
#error "the argument path fuzzer checks the byte port names of the POSIX build"
#endif

namespace {

constexpr int kMaxArguments = 6;
constexpr std::uint8_t kRepeatEscape = 0x01;
constexpr std::size_t kRepeatUnit = 400;
constexpr std::uint8_t kFillByte = 0xA5;

// Appends piece bytes to argument, expanding the repeat escape.
void AppendDecoded(const std::uint8_t* piece, std::size_t size, std::string* argument) {
  std::size_t i = 0;
  while (i < size) {
    if (piece[i] == kRepeatEscape && i + 2 < size) {
      const std::size_t times = (static_cast<std::size_t>(piece[i + 1]) + 1) * kRepeatUnit;
      const char c = static_cast<char>(piece[i + 2]);
      if (c == 0) {
        argument->push_back(static_cast<char>(kRepeatEscape));
      } else {
        argument->append(times, c);
      }
      i += 3;
    } else {
      argument->push_back(static_cast<char>(piece[i]));
      ++i;
    }
  }
}

std::vector<std::string> DecodeArguments(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> arguments;
  if (size == 0) return arguments;
  const int count = (data[0] + 1) % (kMaxArguments + 1);
  arguments.resize(static_cast<std::size_t>(count));
  std::size_t start = 1;
  for (int index = 0; index < count && start <= size; ++index) {
    const void* found = std::memchr(data + start, 0, size - start);
    const std::size_t end =
        found ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(found) - data) : size;
    AppendDecoded(data + start, end - start, &arguments[static_cast<std::size_t>(index)]);
    start = end + 1;
  }
  return arguments;
}

// What atoi gives on a platform where int is 32 bits and out-of-range
// values saturate: strtoll saturates at 64 bits, the clamp at 32.
std::int64_t ReferenceNumber(const std::string& text) {
  const long long wide = std::strtoll(text.c_str(), nullptr, 10);
  if (wide > INT32_MAX) return INT32_MAX;
  if (wide < INT32_MIN) return INT32_MIN;
  return wide;
}

void CheckFrame(const CommandFrame& frame, std::uint8_t address, std::int64_t power,
                std::int64_t relay) {
  Check(frame.bytes[0] == kFrameStartByte, "byte 0 is the start byte 0x55");
  Check(frame.bytes[1] == address, "byte 1 is the address");
  Check(frame.bytes[2] == (power != 0 ? kCommandSwitchOn : kCommandSwitchOff),
        "byte 2 is 0x12 for on, 0x11 for off");
  Check(frame.bytes[3] == 0 && frame.bytes[4] == 0 && frame.bytes[5] == 0, "bytes 3 to 5 are zero");
  Check(frame.bytes[6] == static_cast<std::uint8_t>(relay & 0xFF),
        "byte 6 is the low 8 bits of the relay");
  unsigned sum = 0;
  for (std::size_t i = 0; i + 1 < kCommandFrameSize; ++i) sum += frame.bytes[i];
  Check(frame.bytes[7] == static_cast<std::uint8_t>(sum & 0xFFu),
        "byte 7 is the 8-bit sum of bytes 0 to 6");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::string> arguments = DecodeArguments(data, size);

  // argv as main gets it: the program name first, a null pointer last.
  std::vector<const char*> argv;
  argv.push_back("Kavnori");
  for (const std::string& argument : arguments) argv.push_back(argument.c_str());
  argv.push_back(nullptr);
  const int argc = static_cast<int>(argv.size()) - 1;

  // Filled, so that a name the parser did not terminate shows up.
  RelayCommand command;
  std::memset(&command, kFillByte, sizeof command);
  const ParseResult result = ParseRelayCommand(argc, argv.data(), &command);

  if (arguments.size() != 4) {
    Check(result == ParseResult::kWrongCount, "any count but four is kWrongCount");
    return 0;
  }
  Check(result != ParseResult::kWrongCount, "four arguments are never kWrongCount");

  // The decoder never puts a NUL inside an argument.
  const std::string& name = arguments[0];
  const std::int64_t address = ReferenceNumber(arguments[1]);
  const std::int64_t relay = ReferenceNumber(arguments[2]);
  const std::int64_t power = ReferenceNumber(arguments[3]);
  const bool nameFits = name.size() < kPortNameCapacity;
  const bool inRange = relay >= 0 && relay <= 16 && power >= 0 && power <= 1 && nameFits;

  Check(result == (inRange ? ParseResult::kParsed : ParseResult::kOutOfRange),
        "kOutOfRange exactly when relay, power or name length is out of range");

  const std::uint8_t lowAddress = static_cast<std::uint8_t>(static_cast<std::uint64_t>(address));
  if (result == ParseResult::kParsed) {
    Check(std::memchr(command.portName.text, 0, kPortNameCapacity) != nullptr,
          "the port name is terminated within its buffer");
    Check(name == command.portName.text, "the port name equals its argument");
    Check(command.address == lowAddress, "the address is the low 8 bits of its value");
    Check(command.relayNumber == relay, "the relay is its value");
    Check(command.powerState == power, "the power state is its value");
    CheckFrame(BuildCommandFrame(command.address, command.powerState, command.relayNumber),
               lowAddress, power, relay);
  }

  // The frame builder on its own takes any 32-bit value.
  CheckFrame(BuildCommandFrame(lowAddress, static_cast<std::int32_t>(power),
                               static_cast<std::int32_t>(relay)),
             lowAddress, power, relay);
  return 0;
}
