#include "doctor/serial_chips.h"

#include "doctor/text_kit.h"

namespace {

constexpr SerialChip kSerialChips[] = {
    {"1a86", "7523", "ch341", "WCH's CH341SER driver (CH340)"},
    {"1a86", "5523", "ch341", "WCH's CH341SER driver (CH341)"},
    {"0403", "", "ftdi_sio", "FTDI's VCP driver"},
    {"10c4", "ea60", "cp210x", "Silicon Labs' CP210x VCP driver"},
    {"067b", "2303", "pl2303", "Prolific's PL2303 driver"},
};

}  // namespace

const SerialChip* FindSerialChip(const std::string& vendorId, const std::string& productId) {
  const std::string vendor = LowerAscii(vendorId), product = LowerAscii(productId);
  for (const SerialChip& chip : kSerialChips) {
    if (vendor == chip.vendorId && (chip.productId[0] == '\0' || product == chip.productId)) {
      return &chip;
    }
  }
  return nullptr;
}
