// USB serial adapters that are plugged in but have no port, and why: brltty
// took them, another program claimed them through usbfs, or no driver is
// there for their chip. sysfs alone tells, without opening anything.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "doctor/doctor_linux.h"

namespace {

// The kernel driver each common chip needs; a product of 0 stands for any.
struct ChipDriver {
  unsigned vendor;
  unsigned product;
  const char* driver;
};
constexpr ChipDriver kChipDrivers[] = {
    {0x0403, 0, "ftdi_sio"},    {0x1a86, 0x7523, "ch341"},  {0x1a86, 0x5523, "ch341"},
    {0x10c4, 0xea60, "cp210x"}, {0x067b, 0x2303, "pl2303"},
};

std::string ChipDriverFor(const std::string& vendorId, const std::string& productId) {
  const unsigned vendor = static_cast<unsigned>(std::strtoul(vendorId.c_str(), nullptr, 16));
  const unsigned product = static_cast<unsigned>(std::strtoul(productId.c_str(), nullptr, 16));
  for (const ChipDriver& chip : kChipDrivers) {
    if (chip.vendor == vendor && (chip.product == 0 || chip.product == product)) return chip.driver;
  }
  return "";
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

std::string ListPrograms(const std::vector<std::pair<pid_t, std::string>>& programs) {
  std::vector<std::string> names;
  for (const auto& program : programs)
    names.push_back(DescribeProcess(program.first, program.second));
  return Joined(names);
}

}  // namespace

std::string BrlttyFix(const std::string& rules) {
  const std::string name = rules.empty() ? "85-brltty.rules" : BaseName(rules);
  return "sudo apt remove brltty (unless a Braille display is used here); or keep it and mask its "
         "udev rules: sudo systemctl mask brltty-udev.service && sudo ln -s /dev/null "
         "/etc/udev/rules.d/" +
         ShellWord(name) + "; then plug the adapter in again";
}

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
    adapters.push_back({listing, node, driver});
  }
  return adapters;
}

std::vector<std::string> UsbNodes(const std::vector<PortlessAdapter>& adapters) {
  std::vector<std::string> nodes;
  for (const PortlessAdapter& adapter : adapters) nodes.push_back(adapter.usbNode);
  return nodes;
}

// brltty first: it takes an adapter through usbfs and, when it finds no
// Braille display there, lets it go without a driver.
Problem WhyNoPort(const std::string& root, const PortlessAdapter& adapter,
                  const std::map<std::string, std::vector<Opener>>& usbOpeners) {
  const PortListing& listing = adapter.listing;
  const std::string id = listing.vendorId + ":" + listing.productId;
  const std::string what = "The USB adapter " + id + " at " + listing.location;
  std::vector<std::pair<pid_t, std::string>> claimers, brltty;
  const auto at = usbOpeners.find(adapter.usbNode);
  for (const Opener& opener : at == usbOpeners.end() ? std::vector<Opener>() : at->second) {
    const std::string command = ProcessCommand(root, opener.pid);
    (command == "brltty" ? brltty : claimers).push_back({opener.pid, command});
  }
  const bool usbfs = listing.driver == "usbfs";
  const bool loaded = SerialDriverLoaded(root, adapter.serialDriver);
  const std::string rules = BrlttyRuleClaiming(root, id);
  Problem problem;
  if (!brltty.empty() || !rules.empty() ||
      ((usbfs || loaded) && claimers.empty() && ProcessRuns(root, "brltty"))) {
    problem.code = ProblemCode::kBrltty;
    problem.message = what + " has no port: " +
                      (!brltty.empty() ? ListPrograms(brltty) + " has claimed it through usbfs"
                       : rules.empty() ? "brltty runs, and took it from its driver"
                                       : "brltty's udev rules (" + rules + ") claim it") +
                      ", so " + adapter.serialDriver +
                      " let go of it and its port is gone (the kernel log "
                      "says: usbfs: interface 0 claimed by " +
                      adapter.serialDriver + " while 'brltty' sets config #1).";
    problem.fix = BrlttyFix(rules);
  } else if (usbfs) {
    problem.code = ProblemCode::kUsbfsClaimed;
    problem.message = what + " has no port: " +
                      (claimers.empty() ? std::string("a program this user cannot see")
                                        : ListPrograms(claimers)) +
                      " has claimed it through usbfs (libusb), so " + adapter.serialDriver +
                      " let go of it.";
    problem.fix = claimers.empty() ? "sudo kavnori-doctor names it; close it, then plug the "
                                     "adapter in again"
                                   : "close " + ProgramWord(claimers.front().second) +
                                         ", then plug the adapter in again";
  } else if (!loaded) {
    problem.code = ProblemCode::kNoDriver;
    problem.message = what + " has no port: no driver has taken it; its chip needs " +
                      adapter.serialDriver + ", which is not loaded.";
    problem.fix = "sudo modprobe " + adapter.serialDriver;
  } else {
    problem.code = ProblemCode::kNoDriver;
    problem.message = what + " has no port: " + adapter.serialDriver +
                      " is loaded but has not taken it (a product id it does not know, or "
                      "unbound by hand).";
    problem.fix = "echo " + listing.vendorId + " " + listing.productId +
                  " | sudo tee /sys/bus/usb/drivers/" + adapter.serialDriver + "/new_id";
  }
  problem.details = {TextDetail("vid", listing.vendorId), TextDetail("pid", listing.productId),
                     TextDetail("location", listing.location),
                     TextDetail("driver", listing.driver)};
  return problem;
}

void CheckPortlessAdapters(CheckedPort* checked) {
  const std::vector<PortlessAdapter> adapters = PortlessAdapters(checked->root);
  const auto openers = adapters.empty() ? std::map<std::string, std::vector<Opener>>()
                                        : Openers(checked->root, UsbNodes(adapters));
  bool brltty = false;
  for (const PortlessAdapter& adapter : adapters) {
    const Problem why = WhyNoPort(checked->root, adapter, openers);
    brltty = brltty || why.code == ProblemCode::kBrltty;
    AddProblem(checked->report, why.code, why.message, why.fix).details = why.details;
  }
  if (!brltty) CheckBrltty(checked);
}
