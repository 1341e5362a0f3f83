// Why a USB adapter plugged in has no port: brltty took it, another program
// claimed it through usbfs, or no driver is there for its chip.
#include <algorithm>

#include "doctor/doctor_linux.h"

namespace {

std::string ListPrograms(const std::vector<std::pair<pid_t, std::string>>& programs) {
  std::vector<std::string> names;
  for (const auto& program : programs)
    names.push_back(DescribeProcess(program.first, program.second));
  return Joined(names);
}

// brltty takes adapters whose chips Braille displays use (CH340, CP210x, ...):
// the port appears and is gone a moment later, while the adapter itself stays
// plugged in on the USB bus.
void CheckBrltty(CheckedPort* checked) {
  for (const std::string& id : UsbDeviceIds(checked->root)) {
    const std::string rules = BrlttyRuleClaiming(checked->root, id);
    if (rules.empty()) continue;
    AddBrlttyProblem(checked->report,
                     "A USB adapter " + id + " is plugged in, and brltty's udev rules (" + rules +
                         ") claim it: brltty takes it, and its serial port is gone.",
                     rules);
    return;
  }
  if (!ProcessRuns(checked->root, "brltty")) return;
  AddBrlttyProblem(checked->report,
                   "brltty runs: it takes USB serial adapters that look like Braille displays, "
                   "so the port appears and vanishes.",
                   "");
}

}  // namespace

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
  const bool loaded = adapter.serialDriverLoaded;
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
