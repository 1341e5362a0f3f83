// The doctor's advice on Linux: the fix lines that more than one question
// gives, and the names of programs as fix lines and messages put them.
#include "doctor/doctor_linux.h"

const char kListFix[] = "kavnori-doctor (without a port) lists the ports there are";

std::string PlugInFix() { return "plug the adapter in; " + std::string(kListFix); }

std::string NameTheDeviceFix() {
  return "name the serial device, e.g. /dev/ttyUSB0; " + std::string(kListFix);
}

std::string ProgramWord(const std::string& command) {
  return command.empty() ? "that program" : ShellWord(command);
}

std::string DescribeProcess(pid_t pid, const std::string& command) {
  return (command.empty() ? std::string("a process") : command) + " (pid " + std::to_string(pid) +
         ")";
}

// kill is never the advice for pid 1, the first process of the system (or
// container), nor for the virtual board, which keeps its end of the port
// open; nor one kill for several programs, of which maybe one is at fault.
std::string StopFix(const std::vector<Holder>& holders, const std::string& port) {
  if (holders.size() > 1) {
    return "close these programs one at a time, and ask again: kavnori-doctor " + ShellWord(port);
  }
  const Holder& holder = holders.front();
  const std::string program = ProgramWord(holder.command);
  if (holder.pid == 1) {
    return "close " + program + "; pid 1 is the system's first process, not one to kill";
  }
  if (IsBoard(holder)) {
    return "relay-board-sim is the virtual board itself: close the other program that holds the "
           "port, or start the board again";
  }
  return "close " + program + ", or: kill " + std::to_string(holder.pid);
}

std::string BrlttyFix(const std::string& rules) {
  const std::string name = rules.empty() ? "85-brltty.rules" : BaseName(rules);
  return "sudo apt remove brltty (unless a Braille display is used here); or keep it and mask its "
         "udev rules: sudo systemctl mask brltty-udev.service && sudo ln -s /dev/null "
         "/etc/udev/rules.d/" +
         ShellWord(name) + "; then plug the adapter in again";
}

void AddBrlttyProblem(PortReport* report, const std::string& message, const std::string& rules) {
  AddProblem(report, ProblemCode::kBrltty, message, BrlttyFix(rules));
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

// The device node is made anew at every replug and boot, by udev: a chmod
// is gone then, a rule stays.
std::string OwnerOnlyFix(const std::string& device) {
  const std::string devices = "/dev/";
  const std::string kernelName = device.compare(0, devices.size(), devices) == 0
                                     ? device.substr(devices.size())
                                     : BaseName(device);
  const std::string rule = "KERNEL==\"" + kernelName + "\", GROUP=\"dialout\", MODE=\"0660\"";
  return "sudo chgrp dialout " + ShellWord(device) + " && sudo chmod 660 " + ShellWord(device) +
         "; to keep it: echo " + ShellWord(rule) +
         " | sudo tee -a /etc/udev/rules.d/60-kavnori.rules";
}
