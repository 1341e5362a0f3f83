// What the C++ tests share: the frame a board must receive, worked out here
// byte by byte and never by the command's own code; texts as a Windows
// program writes them; and waiting, within a bound, for what should come.
#pragma once

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <string>

#ifndef _WIN32
#include <time.h>
#endif

// 55, address, 11 off / 12 on, three zeros, relay, then the 8-bit sum of the
// seven bytes before.
inline std::array<std::uint8_t, 8> ExpectedFrame(int address, int power, int relay) {
  const int command = power == 1 ? 0x12 : 0x11;
  const auto byte = [](int value) { return static_cast<std::uint8_t>(value & 0xFF); };
  const int sum = 0x55 + address + command + relay;
  return {0x55, byte(address), byte(command), 0, 0, 0, byte(relay), byte(sum)};
}

// A table row's name as GoogleTest takes it for a case of its own:
// letters and digits, '_' for the rest.
inline std::string CaseName(const char* name) {
  std::string caseName;
  for (const char* c = name; *c != '\0'; ++c)
    caseName += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
  return caseName;
}

// The Windows C runtime writes "\n" as CR LF to a file; texts are compared
// without the CR.
inline std::string WithoutCarriageReturns(std::string text) {
  text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
  return text;
}

#ifndef _WIN32
// Bound on waiting for something that should come at once; reaching it is a
// failure of its own, never a measure of speed.
constexpr int kWaitMilliseconds = 10000;

inline long long NowMilliseconds() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Asks `done` every 2 ms until it says yes; false when it has not within
// kWaitMilliseconds.
template <typename Done>
bool WaitUntil(Done done) {
  const long long deadline = NowMilliseconds() + kWaitMilliseconds;
  while (!done()) {
    if (NowMilliseconds() >= deadline) return false;
    struct timespec pause = {0, 2L * 1000L * 1000L};
    nanosleep(&pause, nullptr);
  }
  return true;
}
#endif
