// USB serial adapters that are plugged in but have no port, as sysfs tells
// without opening anything.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "doctor/doctor_linux.h"
#include "doctor/serial_chips.h"

namespace {

// The kernel driver a common chip needs; empty for another.
std::string ChipDriverFor(const std::string& vendorId, const std::string& productId) {
  const SerialChip* chip = FindSerialChip(vendorId, productId);
  return chip == nullptr ? "" : chip->linuxDriver;
}

// One interface of a USB device: 1-1:1.0, below the device's folder.
struct UsbInterface {
  std::string folder;
  bool hasTty = false;  // a ttyUSB0, or a tty/ folder with a ttyACM0
  bool isAcm = false;   // class 02 (communications), subclass 02 (abstract control model)
  std::string driver;   // "" when no driver has taken it
};

std::vector<UsbInterface> InterfacesOf(const std::string& folder, const std::string& device) {
  std::vector<UsbInterface> interfaces;
  for (const std::string& name : FolderEntries(folder)) {
    if (name.rfind(device + ":", 0) != 0) continue;
    UsbInterface interface;
    interface.folder = folder + "/" + name;
    for (const std::string& entry : FolderEntries(interface.folder)) {
      interface.hasTty = interface.hasTty || entry.rfind("tty", 0) == 0;
    }
    interface.isAcm = FirstLine(interface.folder + "/bInterfaceClass") == "02" &&
                      FirstLine(interface.folder + "/bInterfaceSubClass") == "02";
    interface.driver = BaseName(RealPath(interface.folder + "/driver"));
    interfaces.push_back(interface);
  }
  return interfaces;
}

bool SerialDriverLoaded(const std::string& root, const std::string& driver) {
  struct stat folder;
  return ::stat((root + "/sys/bus/usb/drivers/" + driver).c_str(), &folder) == 0;
}

}  // namespace

std::vector<PortlessAdapter> PortlessAdapters(const std::string& root) {
  std::vector<PortlessAdapter> adapters;
  const std::string devices = root + "/sys/bus/usb/devices";
  for (const std::string& device : FolderEntries(devices)) {
    if (device.find(':') != std::string::npos) continue;  // an interface, not a device
    const std::string folder = RealPath(devices + "/" + device);
    PortListing listing;
    listing.vendorId = FirstLine(folder + "/idVendor");
    listing.productId = FirstLine(folder + "/idProduct");
    if (folder.empty() || listing.vendorId.empty()) continue;
    const std::vector<UsbInterface> interfaces = InterfacesOf(folder, device);
    std::string driver = ChipDriverFor(listing.vendorId, listing.productId);
    const auto acm = std::find_if(interfaces.begin(), interfaces.end(),
                                  [](const UsbInterface& i) { return i.isAcm; });
    if (driver.empty() && acm != interfaces.end()) driver = "cdc_acm";
    const bool hasPort = std::any_of(interfaces.begin(), interfaces.end(),
                                     [](const UsbInterface& i) { return i.hasTty; });
    if (driver.empty() || hasPort || interfaces.empty()) continue;
    // The interface the serial driver would take: a CDC device's control
    // interface, else the first.
    const UsbInterface& serial = acm != interfaces.end() ? *acm : interfaces.front();
    // Taken by a driver of another kind (a vendor's, a port not made yet): none of ours.
    if (!serial.driver.empty() && serial.driver != "usbfs") continue;
    listing.friendlyName = FirstLine(folder + "/product");
    listing.serial = FirstLine(folder + "/serial");
    listing.location = device;
    listing.driver = serial.driver.empty() ? "none" : serial.driver;
    char node[64];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03ld/%03ld",
                  std::atol(FirstLine(folder + "/busnum").c_str()),
                  std::atol(FirstLine(folder + "/devnum").c_str()));
    adapters.push_back({listing, node, driver, SerialDriverLoaded(root, driver)});
  }
  return adapters;
}

std::vector<std::string> UsbNodes(const std::vector<PortlessAdapter>& adapters) {
  std::vector<std::string> nodes;
  for (const PortlessAdapter& adapter : adapters) nodes.push_back(adapter.usbNode);
  return nodes;
}
