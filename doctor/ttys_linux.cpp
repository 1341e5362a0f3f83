// What sysfs and /dev/serial tell about the terminals: each tty and the
// device behind it, the USB devices, the stable names.
#include <sys/sysmacros.h>

#include "doctor/doctor_linux.h"

namespace {

// The USB device is the first folder above the tty's device with an
// idVendor; the interface (1-1.2:1.0) is on the way there.
void ReadUsbAdapter(const std::string& deviceFolder, const std::string& sysRoot, TtyDevice* tty) {
  for (std::string folder = deviceFolder; folder.size() > sysRoot.size();
       folder = folder.substr(0, folder.rfind('/'))) {
    if (tty->usbInterface.empty()) tty->usbInterface = FirstLine(folder + "/bInterfaceNumber");
    const std::string vendor = FirstLine(folder + "/idVendor");
    if (vendor.empty()) continue;
    tty->vendorId = vendor;
    tty->productId = FirstLine(folder + "/idProduct");
    tty->serial = FirstLine(folder + "/serial");
    tty->usbProductName = FirstLine(folder + "/product");
    tty->usbLocation = BaseName(folder);
    return;
  }
}

// Since Linux 6.5 a UART's tty hangs below serial-base's own port and ctrl
// devices; the driver that tells the hardware is the one above them.
std::string DriverOf(std::string device, const std::string& sysRoot) {
  for (; device.size() > sysRoot.size(); device = device.substr(0, device.rfind('/'))) {
    const std::string driver = RealPath(device + "/driver");
    if (driver.find("/bus/serial-base/") == std::string::npos) return BaseName(driver);
  }
  return "";
}

bool ReadTtyFolder(const std::string& root, const std::string& classFolder, TtyDevice* tty) {
  const std::string folder = RealPath(classFolder);
  if (folder.empty()) return false;
  *tty = TtyDevice();
  tty->name = BaseName(folder);
  tty->subsystem = BaseName(RealPath(folder + "/subsystem"));
  tty->uartType = FirstLine(folder + "/type");
  const std::string device = RealPath(folder + "/device");
  tty->hasDevice = !device.empty();
  if (!tty->hasDevice) return true;
  const std::string sysRoot = RealPath(root + "/sys");
  tty->driver = DriverOf(device, sysRoot);
  ReadUsbAdapter(device, sysRoot, tty);
  return true;
}

}  // namespace

bool ReadTtyByName(const std::string& root, const std::string& name, TtyDevice* tty) {
  return ReadTtyFolder(root, root + "/sys/class/tty/" + name, tty);
}

bool ReadTtyByNumber(const std::string& root, dev_t number, TtyDevice* tty) {
  const std::string link =
      root + "/sys/dev/char/" + std::to_string(major(number)) + ":" + std::to_string(minor(number));
  return ReadTtyFolder(root, link, tty);
}

std::vector<std::string> TtyNames(const std::string& root) {
  return FolderEntries(root + "/sys/class/tty");
}

std::vector<std::string> UsbDeviceIds(const std::string& root) {
  std::vector<std::string> ids;
  for (const std::string& device : FolderEntries(root + "/sys/bus/usb/devices")) {
    const std::string folder = root + "/sys/bus/usb/devices/" + device;
    const std::string vendor = FirstLine(folder + "/idVendor");
    if (!vendor.empty()) ids.push_back(vendor + ":" + FirstLine(folder + "/idProduct"));
  }
  return ids;
}

std::map<std::string, StableNames> ReadStableNames(const std::string& root) {
  std::map<std::string, StableNames> names;
  for (const char* kind : {"by-id", "by-path"}) {
    const std::string folder = std::string("/dev/serial/") + kind;
    for (const std::string& link : FolderEntries(root + folder)) {
      const std::string target = BaseName(RealPath(root + folder + "/" + link));
      if (target.empty()) continue;
      StableNames& found = names[target];
      (std::string(kind) == "by-id" ? found.byId : found.byPath).push_back(folder + "/" + link);
    }
  }
  return names;
}
