// COM<N>, a Windows port's own name: "COM" in any letter case, then one
// digit or more, with nothing before or after. One reading for the
// command's wide names and the doctor's narrow ones.
#pragma once

#include <cstddef>

constexpr std::size_t kComPrefixLength = 3;  // "COM"

template <typename Char>
bool IsComName(const Char* name) {
  const char prefix[] = "com";
  for (std::size_t i = 0; i < kComPrefixLength; ++i) {
    // Only 'C' and 'c' give 'c' with the lower-case bit set.
    if ((name[i] | 0x20) != prefix[i]) return false;
  }
  const Char* c = name + kComPrefixLength;
  if (*c < '0' || *c > '9') return false;
  while (*c >= '0' && *c <= '9') ++c;
  return *c == 0;
}
