#include <algorithm>
#include <cctype>

#include "doctor/doctor.h"
#include "text/escaped_text.h"

// --find looks only at what the listing of USB adapters holds: no port is
// opened, so no board that resets on DTR is restarted by a search.

namespace {

constexpr const char* kSelectorForms =
    "a selector is VID:PID or VID:PID:SERIAL (4 hex digits each, such as 1a86:7523), "
    "or at:LOCATION (the USB socket, such as at:1-1.2), each with :ifNN after it "
    "for one port of an adapter with several (:if01)";

bool IsHex(const std::string& text, std::size_t digits) {
  if (text.size() != digits) return false;
  for (char c : text) {
    if (std::isxdigit(static_cast<unsigned char>(c)) == 0) return false;
  }
  return true;
}

// Windows writes a socket "Port_#0002.Hub_#0003" and users copy it in any
// case; Linux's "1-1.2" has no letters.
bool SameLocation(const std::string& a, const std::string& b) {
  return LowerAscii(a) == LowerAscii(b);
}

bool Matches(const PortListing& port, const AdapterSelector& selector) {
  if (port.vendorId.empty()) return false;
  if (!selector.usbInterface.empty() && LowerAscii(port.usbInterface) != selector.usbInterface)
    return false;
  if (!selector.location.empty()) return SameLocation(port.location, selector.location);
  return LowerAscii(port.vendorId) == selector.vendorId &&
         LowerAscii(port.productId) == selector.productId &&
         (!selector.bySerial || port.serial == selector.serial);
}

bool HasControlCharacter(const std::string& text) {
  return std::any_of(text.begin(), text.end(),
                     [](char c) { return IsControlByte(static_cast<unsigned char>(c)); });
}

// Ports of one adapter: an FT4232's four share all but their interface.
bool SameAdapter(const PortListing& a, const PortListing& b) {
  return a.vendorId == b.vendorId && a.productId == b.productId && a.serial == b.serial &&
         a.location == b.location;
}

// One adapter as a person picks it out: its name, then the selectors that
// name it alone when one does (the serial number, the socket), with the
// interface when the adapter has several ports.
std::string AdapterLine(const PortListing& port, bool severalPorts) {
  const std::string name = port.name.empty()
                               ? "(no port: " + std::string(ProblemName(port.noPort.code)) + ")"
                               : EscapedText(FoundName(port));
  const std::string ifNN =
      severalPorts && !port.usbInterface.empty() ? ":if" + EscapedText(port.usbInterface) : "";
  std::string line = "  " + name + "  " + EscapedText(port.vendorId + ":" + port.productId);
  line +=
      port.serial.empty() ? ifNN + " (no serial number)" : ":" + EscapedText(port.serial) + ifNN;
  if (!port.location.empty()) line += "  at:" + EscapedText(port.location) + ifNN;
  if (!port.friendlyName.empty()) line += "  " + EscapedText(port.friendlyName);
  return line + "\n";
}

std::string AdapterLines(const std::vector<PortListing>& ports) {
  std::string lines;
  for (const PortListing& port : ports) {
    const auto sameAdapter = [&port](const PortListing& other) { return SameAdapter(port, other); };
    const bool severalPorts = std::count_if(ports.begin(), ports.end(), sameAdapter) > 1;
    if (!port.vendorId.empty()) lines += AdapterLine(port, severalPorts);
  }
  return lines;
}

// A trailing :ifNN names the interface, whatever the selector before it.
std::string TakeInterface(std::string* text) {
  const std::string mark = ":if";
  const std::size_t digits = 2;
  if (text->size() < mark.size() + digits) return "";
  const std::size_t at = text->size() - mark.size() - digits;
  if (LowerAscii(text->substr(at, mark.size())) != mark ||
      !IsHex(text->substr(at + mark.size()), digits))
    return "";
  const std::string number = LowerAscii(text->substr(at + mark.size()));
  text->erase(at);
  return number;
}

}  // namespace

bool ParseSelector(const std::string& whole, AdapterSelector* selector, std::string* error) {
  *selector = AdapterSelector();
  const std::string shown = "kavnori-doctor: " + EscapedText(whole) + " is no selector: ";
  std::string text = whole;
  selector->usbInterface = TakeInterface(&text);
  const std::string atMark = "at:";
  if (text.rfind(atMark, 0) == 0) {
    selector->location = text.substr(atMark.size());
    if (!selector->location.empty()) return true;
    *error = shown + "at: needs the USB socket after it, such as at:1-1.2\n";
    return false;
  }
  const std::size_t first = text.find(':');
  const std::size_t second = first == std::string::npos ? first : text.find(':', first + 1);
  const std::string vendor = text.substr(0, first);
  const std::string product =
      first == std::string::npos ? "" : text.substr(first + 1, second - first - 1);
  if (!IsHex(vendor, 4) || !IsHex(product, 4)) {
    *error = shown + kSelectorForms + "\n";
    return false;
  }
  selector->vendorId = LowerAscii(vendor);
  selector->productId = LowerAscii(product);
  selector->bySerial = second != std::string::npos;
  if (selector->bySerial) selector->serial = text.substr(second + 1);
  if (!selector->bySerial || !selector->serial.empty()) return true;
  *error = shown + "the serial number after the second ':' is empty\n";
  return false;
}

std::vector<PortListing> MatchingAdapters(const std::vector<PortListing>& adapters,
                                          const AdapterSelector& selector) {
  std::vector<PortListing> matches;
  for (const PortListing& port : adapters) {
    if (Matches(port, selector)) matches.push_back(port);
  }
  return matches;
}

// A by-id name is printed for a script to pass on as an argument: one that
// holds a control character (a newline would make two lines of it) gives
// way to the device path, which the kernel names.
std::string FoundName(const PortListing& port) {
  return port.stableName.empty() || HasControlCharacter(port.stableName) ? port.name
                                                                         : port.stableName;
}

FindStatus FindAdapter(const std::string& selectorText, const std::vector<PortListing>& adapters,
                       OutputFormat format, std::string* out, std::string* error) {
  out->clear();
  error->clear();
  AdapterSelector selector;
  if (!ParseSelector(selectorText, &selector, error)) return kFindUsage;
  const std::vector<PortListing> matches = MatchingAdapters(adapters, selector);
  if (format == OutputFormat::kJson) {
    // The listing's records, led by the name to give Kavnori when one matches.
    const std::string found = matches.size() == 1 && !matches.front().name.empty()
                                  ? JsonString(FoundName(matches.front()))
                                  : "null";
    *out = "{\"found\": " + found + ", " + FormatPortList(matches, format).substr(1);
  }
  const std::string wanted = EscapedText(selectorText);
  if (matches.empty()) {
    const std::string there = AdapterLines(adapters);
    *error = there.empty() ? "kavnori-doctor: no adapter matches " + wanted +
                                 ", and no USB serial adapter is plugged in\n"
                           : "kavnori-doctor: no adapter matches " + wanted +
                                 "; the USB serial adapters plugged in now:\n" + there;
    return kFindNone;
  }
  if (matches.size() > 1) {
    *error = "kavnori-doctor: " + std::to_string(matches.size()) + " ports match " + wanted +
             "; name one by a selector below:\n" + AdapterLines(matches);
    return kFindSeveral;
  }
  const PortListing& found = matches.front();
  if (found.name.empty()) {
    // Plugged in, yet no port: what keeps it from having one, never "none plugged in".
    *error = "kavnori-doctor: the adapter " + wanted + " is plugged in but has no port" +
             (found.location.empty() ? "" : " (at:" + EscapedText(found.location) + ")") + ": " +
             EscapedText(found.noPort.message) + "\n  fix: " + EscapedText(found.noPort.fix) + "\n";
    return kFindNone;
  }
  if (format == OutputFormat::kText) *out = FoundName(found) + "\n";
  return kFindOne;
}
