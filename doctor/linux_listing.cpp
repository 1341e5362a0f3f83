#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "doctor/doctor_posix.h"
#include "serial/port_holders_posix.h"

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

std::string Joined(const std::vector<std::string>& items, const char* none) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : ", ") + item;
  return text.empty() ? none : text;
}

std::string WhyNot(const std::string& root, const struct stat& node) {
  const AccessVerdict verdict = JudgeAccess(node, CurrentIdentity(root), ReadGroups(root));
  switch (verdict.access) {
    case Access::kNotInGroup:
      return "not in group " + verdict.group + " (sudo usermod -aG " + verdict.group + " $USER)";
    case Access::kGroupNotActive:
      return "in group " + verdict.group + " since this session started (log in again)";
    case Access::kOwnerOnly:
      return "its owner only may open it";
    case Access::kAllowed:
      break;
  }
  return "refused by an ACL or a security module";
}

// Who holds it, from what the system shows without opening the port: flock
// holders, a live UUCP lock, and the programs that have it open.
std::string HeldBy(const std::string& root, const std::string& device, const struct stat& node,
                   const std::vector<Opener>& openers) {
  std::vector<pid_t> pids;
  std::vector<std::string> holders;
  const auto add = [&](pid_t pid, const std::string& how) {
    const std::string command = ProcessCommand(root, pid);
    if (pid <= 0 || command.empty() || std::find(pids.begin(), pids.end(), pid) != pids.end()) {
      return;
    }
    pids.push_back(pid);
    holders.push_back(DescribeProcess(pid, command) + ", " + how);
  };
  for (const Opener& opener : openers) {
    if (opener.holdsFlock) add(opener.pid, "flock");
  }
  for (pid_t pid : FlockHolders(root, node.st_dev, node.st_ino)) add(pid, "flock");
  UucpLock lock;
  if (FindLockFile(root, root + device, &lock) && lock.held) {
    if (!lock.readable) {
      holders.push_back("lock file " + LockPath(root, lock) + " of user " +
                        UserName(root, lock.owner) + ", unreadable here");
    }
    add(lock.pid, "lock file " + LockPath(root, lock));
  }
  for (const Opener& opener : openers) add(opener.pid, "open");
  return Joined(holders, "none");
}

PortListing ListOne(const std::string& root, const TtyDevice& tty, const StableNames& names,
                    const std::vector<Opener>& openers) {
  const std::string device = "/dev/" + tty.name;
  PortListing port;
  port.name = device;
  port.friendlyName = tty.usbProductName;
  const std::size_t colon = tty.usbId.find(':');
  if (colon != std::string::npos) {
    port.vendorId = tty.usbId.substr(0, colon);
    port.productId = tty.usbId.substr(colon + 1);
  }
  port.serial = tty.usbSerial;
  port.location = tty.usbLocation;
  port.driver = tty.driver;
  // Without a serial number every such adapter gets the same by-id name.
  const bool byIdUnique = !tty.usbSerial.empty();
  if (byIdUnique && names.byId.size() == 1) port.lastingName = names.byId.front();
  port.details.push_back(TextDetail(
      "by-id",
      Joined(names.byId, "none") + (byIdUnique || names.byId.empty()
                                        ? ""
                                        : " (not unique: the adapter has no serial number)")));
  port.details.push_back(TextDetail("by-path", Joined(names.byPath, "none")));
  struct stat node;
  if (::stat((root + device).c_str(), &node) != 0) {
    port.details.push_back(FlagDetail("may-open", false));
    port.details.push_back(TextDetail("why-not", "there is no " + device));
    return port;
  }
  const bool mayOpen = ::access((root + device).c_str(), R_OK | W_OK) == 0;
  port.details.push_back(FlagDetail("may-open", mayOpen));
  if (!mayOpen) port.details.push_back(TextDetail("why-not", WhyNot(root, node)));
  port.details.push_back(TextDetail("held-by", HeldBy(root, device, node, openers)));
  return port;
}

}  // namespace

std::vector<PortListing> ListPortsUnder(const std::string& root) {
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
  const auto openers = Openers(root, devices);
  std::vector<PortListing> ports;
  for (const TtyDevice& tty : ttys) {
    const auto stable = names.find(tty.name);
    const auto open = openers.find("/dev/" + tty.name);
    ports.push_back(ListOne(root, tty, stable == names.end() ? StableNames() : stable->second,
                            open == openers.end() ? std::vector<Opener>() : open->second));
  }
  return ports;
}

std::vector<PortListing> ListPorts() { return ListPortsUnder(""); }

std::vector<PortListing> ListUsbAdapters() {
  std::vector<PortListing> adapters = ListPorts();
  adapters.erase(std::remove_if(adapters.begin(), adapters.end(),
                                [](const PortListing& port) { return port.vendorId.empty(); }),
                 adapters.end());
  return adapters;
}
