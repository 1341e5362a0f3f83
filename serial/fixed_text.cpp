#include "serial/fixed_text.h"

std::size_t Append(char* buffer, std::size_t capacity, std::size_t length, const char* text,
                   bool flatten) {
  if (length >= capacity) return capacity;
  for (; *text != '\0'; ++text) {
    if (length + 1 >= capacity) return capacity;
    buffer[length++] = flatten && *text == '/' ? '_' : *text;
  }
  buffer[length] = '\0';
  return length;
}

std::size_t AppendNumber(char* buffer, std::size_t capacity, std::size_t length,
                         unsigned long long number, int width) {
  char text[24];
  char* digits = text + sizeof text - 1;
  *digits = '\0';
  for (int count = 0; count < width || number != 0; ++count) {
    *--digits = static_cast<char>('0' + number % 10);
    number /= 10;
  }
  return Append(buffer, capacity, length, digits);
}

bool SameText(const char* a, const char* b) {
  while (*a != '\0' && *a == *b) ++a, ++b;
  return *a == *b;
}

bool StartsWith(const char* text, const char* prefix) {
  while (*prefix != '\0' && *text == *prefix) ++text, ++prefix;
  return *prefix == '\0';
}

const char* BaseName(const char* path) {
  const char* base = path;
  for (const char* c = path; *c != '\0'; ++c) {
    if (*c == '/') base = c + 1;
  }
  return base;
}
