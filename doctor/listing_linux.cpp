// The list of ports (ListPorts), and of USB adapters with no port.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "doctor/doctor_linux.h"

// The listing looks without opening any port: an open would raise DTR and
// RTS on every port of the machine (and restart a board that resets on DTR).

namespace {

// ttyS0 to ttyS31 exist whether or not a UART is there; type 0 says none is.
bool IsSerialPort(const TtyDevice& tty) {
  if (!tty.hasDevice) return false;
  return tty.name.rfind("ttyS", 0) != 0 || tty.uartType != "0";
}

// ttyS2 before ttyS10: the name's letters, then its number.
bool ListedBefore(const TtyDevice& a, const TtyDevice& b) {
  const std::size_t aDigits = a.name.find_last_not_of("0123456789") + 1;
  const std::size_t bDigits = b.name.find_last_not_of("0123456789") + 1;
  const std::string aStem = a.name.substr(0, aDigits), bStem = b.name.substr(0, bDigits);
  if (aStem != bStem) return aStem < bStem;
  return std::atol(a.name.c_str() + aDigits) < std::atol(b.name.c_str() + bDigits);
}

std::string JoinedOrNone(const std::vector<std::string>& items) {
  return items.empty() ? "none" : Joined(items);
}

// Who holds the port and how, for the listing's held-by; "none" when free.
std::string HeldByText(const std::string& root, const PortHolders& holders) {
  std::vector<std::string> ways;
  for (const Holder& holder : holders.programs) {
    ways.push_back(DescribeProcess(holder.pid, holder.command) + ", " +
                   (holder.flock      ? "flock"
                    : holder.lockFile ? "lock file " + holders.lockPath
                                      : "open"));
  }
  if (holders.hasLockFile && !holders.lockFile.judged) {
    ways.push_back("lock file " + holders.lockPath + " of user " +
                   UserName(root, holders.lockFile.owner) +
                   (holders.lockFile.readable ? ", naming no pid" : ", unreadable here"));
  }
  return JoinedOrNone(ways);
}

PortListing ListOne(const std::string& root, const TtyDevice& tty, const StableNames& names,
                    const std::vector<Opener>* openers) {
  const std::string device = "/dev/" + tty.name;
  PortListing port;
  port.name = device;
  port.friendlyName = tty.usbProductName;
  port.vendorId = tty.vendorId;
  port.productId = tty.productId;
  port.serial = tty.serial;
  port.location = tty.usbLocation;
  port.usbInterface = tty.usbInterface;
  port.driver = tty.driver;
  // Without a serial number every such adapter gets the same by-id name.
  const bool byIdUnique = !tty.serial.empty();
  if (byIdUnique && names.byId.size() == 1) port.stableName = names.byId.front();
  port.details.push_back(TextDetail(
      "by-id",
      JoinedOrNone(names.byId) + (byIdUnique || names.byId.empty()
                                      ? ""
                                      : " (not unique: the adapter has no serial number)")));
  port.details.push_back(TextDetail("by-path", JoinedOrNone(names.byPath)));
  struct stat node;
  if (::stat((root + device).c_str(), &node) != 0) {
    port.details.push_back(FlagDetail("may-open", false));
    port.details.push_back(TextDetail("why-not", "there is no " + device));
    return port;
  }
  const bool mayOpen = ::access((root + device).c_str(), R_OK | W_OK) == 0;
  port.details.push_back(FlagDetail("may-open", mayOpen));
  if (!mayOpen) {
    const Problem refused = AccessProblem(root, device, node);
    port.details.push_back(TextDetail("why-not", refused.message));
    port.details.push_back(TextDetail("fix", refused.fix));
  }
  if (openers == nullptr) return port;
  const PortHolders holders = FindPortHolders(root, root + device, node, *openers);
  port.details.push_back(TextDetail("held-by", HeldByText(root, holders)));
  return port;
}

}  // namespace

std::vector<PortListing> ListPortsUnder(const std::string& root, bool holders) {
  std::vector<TtyDevice> ttys;
  std::vector<std::string> devices;
  for (const std::string& name : TtyNames(root)) {
    TtyDevice tty;
    if (!ReadTtyByName(root, name, &tty) || !IsSerialPort(tty)) continue;
    ttys.push_back(tty);
    devices.push_back("/dev/" + tty.name);
  }
  std::sort(ttys.begin(), ttys.end(), ListedBefore);
  const auto names = ReadStableNames(root);
  // One look through the processes, for the ports and the usbfs nodes alike;
  // without holders, for the usbfs nodes alone (a program that claims an
  // adapter is why it has no port).
  const std::vector<PortlessAdapter> portless = PortlessAdapters(root);
  const std::vector<std::string> usbNodes = UsbNodes(portless);
  if (!holders) devices.clear();
  devices.insert(devices.end(), usbNodes.begin(), usbNodes.end());
  const auto openers = Openers(root, devices);
  const std::vector<Opener> none;
  std::vector<PortListing> ports;
  for (const TtyDevice& tty : ttys) {
    const auto stable = names.find(tty.name);
    const auto open = openers.find("/dev/" + tty.name);
    const std::vector<Opener>* ttyOpeners = open == openers.end() ? &none : &open->second;
    ports.push_back(ListOne(root, tty, stable == names.end() ? StableNames() : stable->second,
                            holders ? ttyOpeners : nullptr));
  }
  for (const PortlessAdapter& adapter : portless) {
    ports.push_back(adapter.listing);
    ports.back().noPort = WhyNoPort(root, adapter, openers);
  }
  return ports;
}

std::vector<PortListing> ListPorts() { return ListPortsUnder("", true); }

std::vector<PortListing> ListUsbAdapters(bool holders) {
  std::vector<PortListing> adapters = ListPortsUnder("", holders);
  adapters.erase(std::remove_if(adapters.begin(), adapters.end(),
                                [](const PortListing& port) { return port.vendorId.empty(); }),
                 adapters.end());
  return adapters;
}
