#include "text/escaped_text.h"

#include <cstdio>

namespace {

unsigned char ByteAt(const std::string& text, std::size_t at) {
  return static_cast<unsigned char>(text[at]);
}

// The length of the well-formed UTF-8 sequence at text[at], or 0 where
// there is none: a stray or cut-off byte, an overlong form, a surrogate or a
// code point past U+10FFFF. Only the second byte has bounds of its own.
std::size_t Utf8SequenceLength(const std::string& text, std::size_t at) {
  const unsigned char lead = ByteAt(text, at);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned char secondLow = 0x80;
  unsigned char secondHigh = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) secondLow = 0xA0;   // else overlong
    if (lead == 0xED) secondHigh = 0x9F;  // else a surrogate
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) secondLow = 0x90;   // else overlong
    if (lead == 0xF4) secondHigh = 0x8F;  // else past U+10FFFF
  } else {
    return 0;
  }
  if (text.size() - at < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    const unsigned char next = ByteAt(text, at + i);
    const unsigned char low = i == 1 ? secondLow : 0x80;
    const unsigned char high = i == 1 ? secondHigh : 0xBF;
    if (next < low || next > high) return 0;
  }
  return length;
}

// The control character that the well-formed sequence at text[at] is (C0,
// DEL, or C1: U+0080 to U+009F, written C2 80 to C2 9F), or -1 for any other.
int ControlCharacter(const std::string& text, std::size_t at, std::size_t length) {
  const unsigned char lead = ByteAt(text, at);
  if (length == 1) return IsControlByte(lead) ? lead : -1;
  if (length == 2 && lead == 0xC2 && ByteAt(text, at + 1) <= 0x9F) return ByteAt(text, at + 1);
  return -1;
}

void AppendFormatted(std::string* out, const char* format, unsigned value) {
  char text[16];  // room for any unsigned, though only a byte is given
  std::snprintf(text, sizeof text, format, value);
  *out += text;
}

}  // namespace

bool IsControlByte(unsigned char byte) { return byte < 0x20 || byte == 0x7F; }

std::string EscapedText(const std::string& text) {
  std::string shown;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t length = Utf8SequenceLength(text, at);
    if (length != 0 && ControlCharacter(text, at, length) < 0) {
      shown.append(text, at, length);
      at += length;
      continue;
    }
    const std::size_t end = at + (length == 0 ? 1 : length);
    for (; at < end; ++at) AppendFormatted(&shown, "\\x%02x", ByteAt(text, at));
  }
  return shown;
}

std::string JsonString(const std::string& text) {
  std::string quoted = "\"";
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t length = Utf8SequenceLength(text, at);
    if (length == 0) {
      quoted += "\\uFFFD";
      at += 1;
      continue;
    }
    const unsigned char byte = ByteAt(text, at);
    const int control = ControlCharacter(text, at, length);
    if (byte == '"' || byte == '\\') {
      quoted += '\\';
      quoted += text[at];
    } else if (control >= 0) {
      AppendFormatted(&quoted, "\\u%04X", static_cast<unsigned>(control));
    } else {
      quoted.append(text, at, length);
    }
    at += length;
  }
  return quoted + "\"";
}
