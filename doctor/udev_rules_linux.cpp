// What udev's files say about a device: brltty's rules, which claim USB
// adapters, and udev's data, which may tell ModemManager to leave one be.
#include <sys/sysmacros.h>

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "doctor/doctor_linux.h"

namespace {

// A rule names an adapter either as ENV{PRODUCT}=="1a86/7523/*" (numbers in
// hex without leading zeros) or as ATTRS{idVendor}=="1a86", ATTRS{idProduct}=="7523".
bool RuleLineClaims(const std::string& line, unsigned vendor, unsigned product) {
  unsigned ruleVendor = 0, ruleProduct = 0;
  const std::size_t productAt = line.find("ENV{PRODUCT}==\"");
  if (productAt != std::string::npos &&
      std::sscanf(line.c_str() + productAt, "ENV{PRODUCT}==\"%x/%x", &ruleVendor, &ruleProduct) ==
          2) {
    return ruleVendor == vendor && ruleProduct == product;
  }
  const std::size_t vendorAt = line.find("ATTRS{idVendor}==\"");
  const std::size_t productIdAt = line.find("ATTRS{idProduct}==\"");
  return vendorAt != std::string::npos && productIdAt != std::string::npos &&
         std::sscanf(line.c_str() + vendorAt, "ATTRS{idVendor}==\"%x", &ruleVendor) == 1 &&
         std::sscanf(line.c_str() + productIdAt, "ATTRS{idProduct}==\"%x", &ruleProduct) == 1 &&
         ruleVendor == vendor && ruleProduct == product;
}

bool RulesClaim(const std::string& text, unsigned vendor, unsigned product) {
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    const std::size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line[start] == '#') continue;
    if (RuleLineClaims(line, vendor, product)) return true;
  }
  return false;
}

}  // namespace

bool ModemManagerIgnores(const std::string& root, dev_t number) {
  const std::string data = ReadFile(root + "/run/udev/data/c" + std::to_string(major(number)) +
                                    ":" + std::to_string(minor(number)));
  std::istringstream in(data);
  for (std::string line; std::getline(in, line);) {
    if (line == "E:ID_MM_DEVICE_IGNORE=1" || line == "E:ID_MM_PORT_IGNORE=1") return true;
  }
  return false;
}

// A rules file in /etc/udev/rules.d replaces one of the same name in /run or
// /usr/lib (a link to /dev/null there turns it off); the first folder wins.
std::string BrlttyRuleClaiming(const std::string& root, const std::string& vendorProduct) {
  unsigned vendor = 0, product = 0;
  if (std::sscanf(vendorProduct.c_str(), "%x:%x", &vendor, &product) != 2) return "";
  std::vector<std::string> seen;
  const std::string suffix = ".rules";
  for (const char* folder :
       {"/etc/udev/rules.d", "/run/udev/rules.d", "/usr/lib/udev/rules.d", "/lib/udev/rules.d"}) {
    for (const std::string& name : FolderEntries(root + folder)) {
      if (name.find("brltty") == std::string::npos || name.size() < suffix.size() ||
          name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0 ||
          std::find(seen.begin(), seen.end(), name) != seen.end()) {
        continue;
      }
      seen.push_back(name);
      const std::string path = std::string(folder) + "/" + name;
      if (RulesClaim(ReadFile(root + path), vendor, product)) return path;
    }
  }
  return "";
}
