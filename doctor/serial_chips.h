// The common USB serial chips, with the driver each needs on each platform:
// the one table both platforms look an adapter up in.
#pragma once

#include <string>

struct SerialChip {
  const char* vendorId;       // 4 hex digits in lower case
  const char* productId;      // "" for any of the vendor's
  const char* linuxDriver;    // the kernel driver: ftdi_sio, ch341
  const char* windowsDriver;  // the maker's driver, as a fix names it
};

// The chip with these ids (in either case), or nullptr for none of the common ones.
const SerialChip* FindSerialChip(const std::string& vendorId, const std::string& productId);
