// Text in fixed buffers for the command's lines and its look at lock files:
// no allocation, no printf family. Each Append returns the new length, or the
// capacity when the text does not fit (the buffer then ends where it was cut).
#pragma once

#include <cstddef>

// Appends text (each '/' as '_' when flattening) to buffer[length].
std::size_t Append(char* buffer, std::size_t capacity, std::size_t length, const char* text,
                   bool flatten = false);
// At least `width` (1 or more) digits, zero-padded, as %0*u writes them.
std::size_t AppendNumber(char* buffer, std::size_t capacity, std::size_t length,
                         unsigned long long number, int width);
bool SameText(const char* a, const char* b);
bool StartsWith(const char* text, const char* prefix);
const char* BaseName(const char* path);  // after the last '/'
