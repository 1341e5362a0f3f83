// The doctor's small text kit, the same on both platforms: joining lists
// for messages, taking names apart, comparing ids.
#pragma once

#include <string>
#include <vector>

// "a, b, c"; empty for no items.
std::string Joined(const std::vector<std::string>& items);
// What follows the last '/': ttyUSB0 of /dev/ttyUSB0, the whole of a name without one
// (serial/fixed_text.h's, for std::string).
std::string BaseName(const std::string& path);
// The parts between separators, empty ones too: "a::b" gives a, "", b; "" gives one empty part.
std::vector<std::string> Split(const std::string& text, char separator);
// The parts between runs of blanks, none empty.
std::vector<std::string> Words(const std::string& line);
// A–Z to a–z alone: for names and ids the system writes in either case (COM5,
// VID_1A86), never for a person's text.
std::string LowerAscii(std::string text);
