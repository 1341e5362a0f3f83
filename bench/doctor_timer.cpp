// Times kavnori-doctor's checks in the process, on a machine of PORTS USB
// serial adapters: sysfs and /dev/serial are laid out in a scratch folder as
// the kernel and udev show them; /proc, /etc, /run and the udev rules are
// this machine's own, linked in, so that every process scan is real. The
// terminal TERMINAL (the virtual board's) stands for the first adapter, so a
// check goes through sysfs, brltty's rules and the process list too.
//
//   doctor-timer TERMINAL PORTS ROUNDS
//
// Prints: list PORTS ROUNDS MEDIAN_MS P90_MS, then check 1 ROUNDS MEDIAN_MS P90_MS.
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "bench/monotonic.h"
#include "doctor/doctor_linux.h"

namespace fs = std::filesystem;

namespace {

void Link(const std::string& at, const std::string& to) {
  fs::create_directories(fs::path(at).parent_path());
  fs::create_symlink(to, at);
}

void Write(const std::string& at, const std::string& text) {
  fs::create_directories(fs::path(at).parent_path());
  std::ofstream(at) << text;
}

void LayMachine(const std::string& root, int ports, dev_t terminal) {
  for (const char* real : {"/proc", "/etc", "/run", "/usr/lib/udev", "/lib/udev"}) {
    Link(root + real, real);
  }
  fs::create_directories(root + "/sys/class/tty");
  for (int i = 0; i < ports; ++i) {
    const std::string n = std::to_string(i), name = "ttyUSB" + n;
    const std::string usb = root + "/sys/devices/pci0000:00/usb1/1-" + n;
    Write(usb + "/idVendor", i % 2 ? "0403\n" : "1a86\n");
    Write(usb + "/idProduct", i % 2 ? "6001\n" : "7523\n");
    if (i % 2) Write(usb + "/serial", "A5028" + n + "\n");
    // As the kernel links each USB device: the listing looks through them
    // all for adapters that have no port.
    Link(root + "/sys/bus/usb/devices/1-" + n, usb);
    const std::string port = usb + "/1-" + n + ":1.0/" + name;
    fs::create_directories(root + "/sys/bus/usb-serial/drivers/ch341-uart");
    Link(port + "/driver", root + "/sys/bus/usb-serial/drivers/ch341-uart");
    Link(port + "/tty/" + name + "/device", port);
    Link(port + "/tty/" + name + "/subsystem", root + "/sys/class/tty");
    Link(root + "/sys/class/tty/" + name, port + "/tty/" + name);
    Write(root + "/dev/" + name, "");
    Link(root + "/dev/serial/by-id/usb-adapter_" + n + "-if00-port0", "../../" + name);
    Link(root + "/dev/serial/by-path/pci-0000:00:14.0-usb-0:" + n + ":1.0-port0", "../../" + name);
  }
  Link(root + "/sys/dev/char/" + std::to_string(major(terminal)) + ":" +
           std::to_string(minor(terminal)),
       root + "/sys/class/tty/ttyUSB0");
}

void Report(const char* what, int ports, int rounds, const std::function<void()>& run) {
  std::vector<double> ms;
  for (int i = 0; i < rounds + 3; ++i) {
    const double start = 1e3 * MonotonicSeconds();
    run();
    if (i >= 3) ms.push_back(1e3 * MonotonicSeconds() - start);
  }
  std::sort(ms.begin(), ms.end());
  std::printf("%s %d %d %.3f %.3f\n", what, ports, rounds, ms[ms.size() / 2],
              ms[ms.size() * 9 / 10]);
}

}  // namespace

int main(int argc, char** argv) {
  struct stat terminal;
  if (argc != 4 || ::stat(argv[1], &terminal) != 0) {
    std::fprintf(stderr, "usage: doctor-timer TERMINAL PORTS ROUNDS\n");
    return 1;
  }
  const int ports = std::atoi(argv[2]), rounds = std::max(1, std::atoi(argv[3]));
  char folder[] = "/tmp/kavnori-doctor-bench.XXXXXX";
  const std::string root = ::mkdtemp(folder);
  LayMachine(root, ports, terminal.st_rdev);
  std::size_t listed = 0;
  Report("list", ports, rounds, [&] { listed = ListPortsUnder(root, true).size(); });
  Report("check", 1, rounds, [&] { CheckPortUnder(root, argv[1]); });
  fs::remove_all(root);
  return listed == static_cast<std::size_t>(ports) ? 0 : 1;
}
