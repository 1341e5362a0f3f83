#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#include <termios.h>

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
  for (const char* folder :
       {"/etc/udev/rules.d", "/run/udev/rules.d", "/usr/lib/udev/rules.d", "/lib/udev/rules.d"}) {
    for (const std::string& name : FolderEntries(root + folder)) {
      if (name.find("brltty") == std::string::npos || name.size() < 6 ||
          name.compare(name.size() - 6, 6, ".rules") != 0 ||
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

void CheckFlowControl(CheckedPort* checked, int fd, const struct termios& line) {
  if ((line.c_cflag & CRTSCTS) != 0) {
    int lines = 0;
    const bool known = ::ioctl(fd, TIOCMGET, &lines) == 0;
    if (!known || (lines & TIOCM_CTS) == 0) {
      AddProblem(checked->report, ProblemCode::kHardwareFlow,
                 std::string("Hardware flow control (CRTSCTS) is on and CTS is ") +
                     (known ? "low" : "unknown (the driver does not tell)") +
                     ": a write waits until the other end raises CTS, which relay boards do not.",
                 "stty -F " + ShellWord(checked->device) + " -crtscts");
    }
  }
  if ((line.c_iflag & IXON) != 0) {
    AddProblem(checked->report, ProblemCode::kSoftwareFlow,
               "Software flow control (IXON) is on: an XOFF byte from the board would hold writes.",
               "stty -F " + ShellWord(checked->device) + " -ixon");
  }
  // Bytes that wait in the driver while flow control is on: output is held
  // right now, and a run's frame would wait behind them.
  int queued = 0;
  const bool flow = (line.c_cflag & CRTSCTS) != 0 || (line.c_iflag & IXON) != 0;
  if (flow && ::ioctl(fd, TIOCOUTQ, &queued) == 0 && queued > 0) {
    AddProblem(
        checked->report, ProblemCode::kHeldNow,
        "Output is held right now: " + std::to_string(queued) + " bytes wait in " +
            checked->device + "'s output queue, with flow control on.",
        "raise CTS at the far end, or: stty -F " + ShellWord(checked->device) + " -crtscts -ixon")
        .details.push_back(NumberDetail("queued", queued));
  }
}

// Kavnori keeps every setting but the four of its line, this one too.
void CheckHangupOnClose(CheckedPort* checked, const struct termios& line) {
  if ((line.c_cflag & HUPCL) == 0) return;
  AddProblem(checked->report, ProblemCode::kHupcl,
             "HUPCL is on: DTR and RTS drop at each close and rise at the next open; a board "
             "that resets on DTR loses its state at each run.",
             "stty -F " + ShellWord(checked->device) + " -hupcl");
}

std::string ModemManagerFix(const TtyDevice& tty) {
  if (tty.vendorId.empty()) {
    return "sudo systemctl disable --now ModemManager (or a udev rule setting "
           "ENV{ID_MM_DEVICE_IGNORE}=\"1\" for this adapter)";
  }
  return "echo 'ATTRS{idVendor}==\"" + tty.vendorId + "\", ATTRS{idProduct}==\"" + tty.productId +
         "\", ENV{ID_MM_DEVICE_IGNORE}=\"1\"' | sudo tee -a "
         "/etc/udev/rules.d/99-kavnori-modemmanager.rules; then plug the adapter in again (or: "
         "sudo systemctl disable --now ModemManager)";
}

// brltty takes adapters whose chips Braille displays use (CH340, CP210x, ...):
// the port appears and is gone a moment later, while the adapter itself stays
// plugged in on the USB bus.
void CheckBrltty(CheckedPort* checked) {
  for (const std::string& id : UsbDeviceIds(checked->root)) {
    const std::string rules = BrlttyRuleClaiming(checked->root, id);
    if (rules.empty()) continue;
    AddProblem(checked->report, ProblemCode::kBrltty,
               "A USB adapter " + id + " is plugged in, and brltty's udev rules (" + rules +
                   ") claim it: brltty takes it, and its serial port is gone.",
               BrlttyFix(rules));
    return;
  }
  if (!ProcessRuns(checked->root, "brltty")) return;
  AddProblem(
      checked->report, ProblemCode::kBrltty,
      "brltty runs: it takes USB serial adapters that look like Braille displays, so the port "
      "appears and vanishes.",
      BrlttyFix(""));
}

void CheckAdapter(CheckedPort* checked, const TtyDevice& tty, dev_t number) {
  if (!tty.vendorId.empty()) {
    const std::string vendorProduct = tty.vendorId + ":" + tty.productId;
    const std::string rules = BrlttyRuleClaiming(checked->root, vendorProduct);
    if (!rules.empty()) {
      AddProblem(checked->report, ProblemCode::kBrltty,
                 "brltty's udev rules (" + rules + ") claim USB adapters " + vendorProduct +
                     ": brltty takes the port as it appears.",
                 BrlttyFix(rules));
    }
  }
  const auto& problems = checked->report->problems;
  const bool named = std::any_of(problems.begin(), problems.end(), [](const Problem& p) {
    return p.code == ProblemCode::kModemManager;
  });
  if (!named && tty.hasDevice && !ModemManagerIgnores(checked->root, number) &&
      ProcessRuns(checked->root, "ModemManager")) {
    AddProblem(
        checked->report, ProblemCode::kModemManager,
        "ModemManager runs and " + checked->device +
            " is not marked to be ignored: it may open the port and send AT commands to the board.",
        ModemManagerFix(tty));
  }
}
