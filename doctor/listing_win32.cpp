// Which ports there are, as kavnori-doctor lists them: those the registry
// names, and those only an open finds.
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "doctor/doctor.h"
#include "doctor/doctor_win32.h"
#include "doctor/shared_win32.h"

namespace {

// Device Manager gives COM numbers up to this one.
constexpr int kHighestComNumber = 256;

// The facts both platforms list, with the same keys.
PortListing IdentityOf(const ComDevice& device) {
  PortListing listing;
  listing.name = device.port;
  listing.friendlyName = device.friendlyName;
  listing.vendorId = device.vendorId;
  listing.productId = device.productId;
  listing.serial = device.serial;
  listing.location = device.location;
  listing.usbInterface = device.usbInterface;
  listing.driver = device.provider;
  return listing;
}

PortListing ListingFor(const ComDevice& device, const OpenResult& opened,
                       const std::string& source) {
  PortListing listing = IdentityOf(device);
  std::vector<Detail>& details = listing.details;
  details.push_back(TextDetail("source", source));
  if (device.inDeviceManager) details.push_back(FlagDetail("present", device.present));
  if (!device.kernelDevice.empty()) details.push_back(TextDetail("device", device.kernelDevice));
  if (!device.hardwareId.empty()) details.push_back(TextDetail("hardware-id", device.hardwareId));
  if (!device.driverVersion.empty()) {
    details.push_back(TextDetail("driver-version", device.driverVersion));
  }
  const std::string warning = DriverWarningText(device);
  if (!warning.empty()) details.push_back(TextDetail("driver-note", warning));
  if (device.problemCode != 0) {
    details.push_back(NumberDetail("problem-code", device.problemCode));
    const char* meaning = ProblemMeaning(device.problemCode);
    if (meaning != nullptr) details.push_back(TextDetail("problem", meaning));
  }
  // A port-less adapter has nothing to open; its problem code says why.
  if (device.port.empty()) {
    listing.noPort = PortlessProblem(device);
    return listing;
  }
  const bool opens = opened.handle != INVALID_HANDLE_VALUE;
  details.push_back(FlagDetail("opens", opens));
  if (!opens) {
    details.push_back(TextDetail("open-problem", ProblemName(OpenProblemCode(opened.error))));
    details.push_back(NumberDetail("open-error", opened.error));
  }
  return listing;
}

struct FoundByOpen {
  std::string port;
  OpenResult opened;
};

// Ports no registry entry names, yet open: Wine maps its COM ports this
// way, through links in dosdevices.
std::vector<FoundByOpen> PortsOnlyAnOpenFinds(const std::vector<ComDevice>& devices) {
  std::vector<FoundByOpen> found;
  for (int number = 1; number <= kHighestComNumber; ++number) {
    const std::string port = "COM" + std::to_string(number);
    if (FindDevice(devices, port) != nullptr) continue;
    const OpenResult opened = OpenAndRelease(port);
    if (opened.handle == INVALID_HANDLE_VALUE &&
        OpenProblemCode(opened.error) == ProblemCode::kMissing) {
      continue;
    }
    found.push_back({port, opened});
  }
  return found;
}

// Adapters without a port last.
bool ListedFirst(const PortListing& a, const PortListing& b) {
  if (a.name.empty() || b.name.empty()) return !a.name.empty() && b.name.empty();
  return ComesFirst(a.name, b.name);
}

}  // namespace

std::string PortsToOffer(const std::vector<ComDevice>& devices) {
  std::vector<std::string> ports;
  for (const ComDevice& device : devices) {
    if (device.present && !device.port.empty()) ports.push_back(device.port);
  }
  for (const FoundByOpen& found : PortsOnlyAnOpenFinds(devices)) ports.push_back(found.port);
  std::sort(ports.begin(), ports.end(), ComesFirst);
  ports.erase(std::unique(ports.begin(), ports.end(), SameName), ports.end());
  return Joined(ports);
}

std::vector<PortListing> ListPorts() {
  const std::vector<ComDevice> devices = win32DoctorCalls.readComDevices();
  std::vector<PortListing> ports;
  for (const ComDevice& device : devices) {
    const OpenResult none = {INVALID_HANDLE_VALUE, ERROR_FILE_NOT_FOUND};
    ports.push_back(ListingFor(device, device.port.empty() ? none : OpenAndRelease(device.port),
                               device.inDeviceManager ? "Device Manager" : "SERIALCOMM"));
  }
  for (const FoundByOpen& found : PortsOnlyAnOpenFinds(devices)) {
    ComDevice device;
    device.port = found.port;
    ports.push_back(
        ListingFor(device, found.opened, "no registry entry; opens as \\\\.\\" + found.port));
  }
  std::stable_sort(ports.begin(), ports.end(), ListedFirst);
  return ports;
}

// From what the registry tells alone: no port is opened, and no holder is
// named in any case.
std::vector<PortListing> ListUsbAdapters(bool /*holders*/) {
  std::vector<PortListing> adapters;
  for (const ComDevice& device : win32DoctorCalls.readComDevices()) {
    if (!device.inDeviceManager || !device.present || device.vendorId.empty()) continue;
    adapters.push_back(IdentityOf(device));
    if (device.port.empty()) adapters.back().noPort = PortlessProblem(device);
  }
  std::stable_sort(adapters.begin(), adapters.end(), ListedFirst);
  return adapters;
}
