#include <pty.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "doctor/doctor_linux.h"
#include "serial/terminal_marks_linux.h"
#include "tests/test_kit.h"

namespace {

namespace fs = std::filesystem;

// A folder laid out as a machine's /sys, /dev, /proc, /etc and /usr/lib would
// be: sysfs as the kernel shows USB adapters, a UART and ports with no UART.
struct FakeRoot {
  std::string path;
  FakeRoot() {
    char folder[] = "/tmp/kavnori-doctor-root.XXXXXX";
    path = ::mkdtemp(folder);
  }
  ~FakeRoot() { fs::remove_all(path); }
  void File(const std::string& at, const std::string& text) const {
    fs::create_directories(fs::path(path + at).parent_path());
    std::ofstream(path + at) << text;
  }
  void Link(const std::string& at, const std::string& to, bool folder = true) const {
    if (fs::is_symlink(path + at)) return;  // one that the ports of an adapter share
    fs::create_directories(fs::path(path + at).parent_path());
    if (folder) fs::create_directories(path + to);
    fs::create_symlink(path + to, path + at);
  }
};

struct FakeTty {
  const char* name;
  const char* usb;  // the USB device's folder name, "" for a UART
  const char* id;   // vendor:product
  const char* serial;
  const char* driver;  // below /sys/bus
  const char* byId;
  char interface = '\0';  // bInterfaceNumber's last hex digit, laid when given
};
// clang-format off
const std::vector<FakeTty> kTtys = {
    {"ttyUSB0", "1-1", "1a86:7523", "", "usb-serial/drivers/ch341-uart", "usb-1a86_USB_Serial"},
    {"ttyUSB1", "1-2", "0403:6001", "A50285BI", "usb-serial/drivers/ftdi_sio", "usb-FTDI_A50285BI"},
    {"ttyACM0", "1-3", "2341:0043", "85\x1B[2J\xC2\x9B", "usb/drivers/cdc_acm", "usb-Arduino_8503631"},
    // Since Linux 6.5 a UART's tty hangs below serial-base's port and ctrl devices.
    {"ttyS10", "", "4", "", "pnp/drivers/serial", ""},
    {"ttyS2", "", "4", "", "pnp/drivers/serial", ""},
    {"ttyS1", "", "0", "", "pnp/drivers/serial", ""},  // no UART found there
};
// An FT4232H: four ports of one USB device, one serial number.
const std::vector<FakeTty> kFourPorts = {
    {"ttyUSB3", "1-6", "0403:6011", "FT4ABC", "usb-serial/drivers/ftdi_sio", "ft4-if00", '0'},
    {"ttyUSB4", "1-6", "0403:6011", "FT4ABC", "usb-serial/drivers/ftdi_sio", "ft4-if01", '1'},
    {"ttyUSB5", "1-6", "0403:6011", "FT4ABC", "usb-serial/drivers/ftdi_sio", "ft4-if02", '2'},
    {"ttyUSB6", "1-6", "0403:6011", "FT4ABC", "usb-serial/drivers/ftdi_sio", "ft4-if03", '3'},
};
// clang-format on

// Lays out the ttys; `pty` is also given as the device number of the first one.
void LayTtys(const FakeRoot& root, dev_t pty, const std::vector<FakeTty>& ttys = kTtys) {
  for (const FakeTty& tty : ttys) {
    const std::string name = tty.name;
    std::string device, classFolder;
    if (tty.usb[0] == '\0') {
      const std::string uart = "/sys/devices/pnp0/00:0" + name.substr(4);
      device = uart + "/ctrl/port";
      root.Link(uart + "/driver", "/sys/bus/" + std::string(tty.driver));
      root.Link(uart + "/ctrl/driver", "/sys/bus/serial-base/drivers/ctrl");
      root.Link(device + "/driver", "/sys/bus/serial-base/drivers/port");
      classFolder = device + "/tty/" + name;
      root.File(classFolder + "/type", std::string(tty.id) + "\n");
    } else {
      const std::string usb = "/sys/devices/pci0000:00/usb1/" + std::string(tty.usb), id = tty.id;
      root.File(usb + "/idVendor", id.substr(0, 4) + "\n");
      root.File(usb + "/idProduct", id.substr(5) + "\n");
      if (tty.serial[0] != '\0') root.File(usb + "/serial", std::string(tty.serial) + "\n");
      root.Link("/sys/bus/usb/devices/" + std::string(tty.usb), usb);
      const std::string interface = usb + "/" + tty.usb + ":1." + std::max(tty.interface, '0');
      if (tty.interface) root.File(interface + "/bInterfaceNumber", {'0', tty.interface, '\n'});
      device = interface + (name[3] == 'U' ? "/" + name : "");
      root.Link(device + "/driver", "/sys/bus/" + std::string(tty.driver));
      classFolder = device + "/tty/" + name;
      root.Link("/dev/serial/by-id/" + std::string(tty.byId), "/dev/" + name, false);
      root.Link("/dev/serial/by-path/usb-0:" + std::string(tty.usb + 2), "/dev/" + name, false);
    }
    root.Link(classFolder + "/device", device);
    root.Link(classFolder + "/subsystem", "/sys/class/tty");
    root.Link("/sys/class/tty/" + name, classFolder);
    if (name != "ttyS10") root.File("/dev/" + name, "");
  }
  root.Link("/sys/class/tty/tty1", "/sys/devices/virtual/tty/tty1");  // no device: no port
  root.Link("/sys/dev/char/" + std::to_string(major(pty)) + ":" + std::to_string(minor(pty)),
            "/sys/class/tty/ttyUSB0");
}

// A USB adapter at bus 1 device 5 (1-5) whose interface has no tty: no
// driver has taken it, or usbfs has (brltty, libusb).
void LayPortless(const FakeRoot& root, const std::string& id, bool usbfs) {
  const std::string usb = "/sys/devices/pci0000:00/usb1/1-5";
  root.File(usb + "/idVendor", id.substr(0, 4) + "\n");
  root.File(usb + "/idProduct", id.substr(5) + "\n");
  root.File(usb + "/busnum", "1\n");
  root.File(usb + "/devnum", "5\n");
  root.File(usb + "/1-5:1.0/bInterfaceClass", "ff\n");
  if (usbfs) root.Link(usb + "/1-5:1.0/driver", "/sys/bus/usb/drivers/usbfs");
  root.Link("/sys/bus/usb/devices/1-5", usb);
}

TEST(DoctorListing, ListsUsbAdaptersAndUartsWithTheirNamesDriversAndHolders) {
  FakeRoot root;
  LayTtys(root, makedev(188, 0));
  struct stat acm;
  ASSERT_EQ(::stat((root.path + "/dev/ttyACM0").c_str(), &acm), 0);
  char lock[128];
  std::snprintf(lock, sizeof lock, "1: FLOCK  ADVISORY  WRITE 4242 %02x:%02x:%llu 0 EOF\n",
                major(acm.st_dev), minor(acm.st_dev), static_cast<unsigned long long>(acm.st_ino));
  root.File("/proc/locks", lock);
  root.File("/proc/4242/comm",
            "pico\x1B]0;x\x07"
            "com\n");  // any program may name itself so
  LayPortless(root, "1a86:7523", true);
  root.File("/proc/812/comm", "brltty\n");
  fs::create_directories(root.path + "/proc/812/fd");
  fs::create_symlink("/dev/bus/usb/001/005", root.path + "/proc/812/fd/9");
  const std::string free = "  may-open: true\n  held-by: none\n";
  const std::string uart = "  driver: serial\n  by-id: none\n  by-path: none\n";
  const std::string listed = FormatPortList(ListPortsUnder(root.path, true), OutputFormat::kText);
  EXPECT_EQ(listed,
            "/dev/ttyACM0\n  vid: 2341\n  pid: 0043\n  serial: 85\\x1b[2J\\xc2\\x9b\n"
            "  location: 1-3\n  driver: cdc_acm\n  by-id: /dev/serial/by-id/usb-Arduino_8503631\n"
            "  by-path: /dev/serial/by-path/usb-0:3\n  may-open: true\n"
            "  held-by: pico\\x1b]0;x\\x07com (pid 4242), flock\n"
            "/dev/ttyS2\n" +
                uart + free + "/dev/ttyS10\n" + uart +
                "  may-open: false\n  why-not: there is no /dev/ttyS10\n"
                "/dev/ttyUSB0\n  vid: 1a86\n  pid: 7523\n  location: 1-1\n  driver: ch341-uart\n"
                "  by-id: /dev/serial/by-id/usb-1a86_USB_Serial (not unique: the adapter has no "
                "serial number)\n  by-path: /dev/serial/by-path/usb-0:1\n" +
                free +
                "/dev/ttyUSB1\n  vid: 0403\n  pid: 6001\n  serial: A50285BI\n  location: 1-2\n"
                "  driver: ftdi_sio\n  by-id: /dev/serial/by-id/usb-FTDI_A50285BI\n"
                "  by-path: /dev/serial/by-path/usb-0:2\n" +
                free +
                "USB adapter without a port\n  vid: 1a86\n  pid: 7523\n  location: 1-5\n"
                "  driver: usbfs\n  no-port: brltty\n  why-not: The USB adapter 1a86:7523 at 1-5 "
                "has no port: brltty (pid 812) has claimed it through usbfs, so ch341 let go of it "
                "and its port is gone (the kernel log says: usbfs: interface 0 claimed by ch341 "
                "while 'brltty' sets config #1).\n  fix: sudo apt remove brltty (unless a Braille "
                "display is used here); or keep it and mask its udev rules: sudo systemctl mask "
                "brltty-udev.service && sudo ln -s /dev/null /etc/udev/rules.d/85-brltty.rules; "
                "then plug the adapter in again\n");
  // Without holders: the same records but held-by; usbfs still tells brltty.
  std::string unheld = listed;
  for (std::size_t at; (at = unheld.find("  held-by: ")) != std::string::npos;)
    unheld.erase(at, unheld.find('\n', at) + 1 - at);
  EXPECT_EQ(FormatPortList(ListPortsUnder(root.path, false), OutputFormat::kText), unheld);
}

// --find over the fake machine, with a second FTDI beside ttyUSB1, and an FT4232H.
TEST(DoctorListing, FindNamesOneAdapterByItsIdsSerialNumberOrSocket) {
  FakeRoot root;
  LayTtys(root, makedev(188, 0));
  std::vector<PortListing> ports = ListPortsUnder(root.path, true);
  ports.push_back(ports.back());
  PortListing& second = ports.back();
  second.name = "/dev/ttyUSB2", second.serial = "A50285BJ", second.location = "1-4";
  second.stableName = "/dev/serial/by-id/usb-\nx";  // no name for a script: the path instead
  FakeRoot fourPorts;
  LayTtys(fourPorts, 0, kFourPorts);
  for (const PortListing& port : ListPortsUnder(fourPorts.path, true)) ports.push_back(port);
  PortListing portless;  // plugged in, with no port: the reason, never "none plugged in"
  portless.vendorId = "10c4", portless.productId = "ea60", portless.location = "1-7";
  portless.noPort = {ProblemCode::kNoDriver, "no driver", "sudo modprobe cp210x", {}};
  ports.push_back(portless);
  const char* const ftdi = "/dev/serial/by-id/usb-FTDI_A50285BI";
  // ttyUSB0 has no serial number, and so no by-id name of its own.
  // clang-format off
  const char* const cases[][3] = {
      {"1a86:7523", "0", "/dev/ttyUSB0"}, {"1A86:7523", "0", "/dev/ttyUSB0"}, {"at:1-2", "0", ftdi},
      {"0403:6001:A50285BI", "0", ftdi}, {"0403:6001:A50285BJ", "0", "/dev/ttyUSB2"},
      {"0403:6001", "3", ""}, {"at:1-9", "2", ""}, {"0403:6001:a50285bi", "2", ""},
      {"0403:6001:A50285B", "2", ""}, {"", "1", ""}, {"/dev/ttyUSB0", "1", ""}, {"COM3", "1", ""},
      {"1a86", "1", ""}, {"1a86:752", "1", ""}, {"1a86:75g3", "1", ""}, {"1a86:75230", "1", ""},
      {"1a86:7523:", "1", ""}, {"at:", "1", ""}, {"10c4:ea60", "2", ""},
      {"0403:6011:FT4ABC:if02", "0", "/dev/serial/by-id/ft4-if02"},
      {"0403:6011:FT4ABC:IF03", "0", "/dev/serial/by-id/ft4-if03"},
      {"at:1-6:if01", "0", "/dev/serial/by-id/ft4-if01"}, {"0403:6011:FT4ABC", "3", ""},
      {"0403:6011:if00", "0", "/dev/serial/by-id/ft4-if00"}, {"at:1-6", "3", ""},
      {"0403:6011:FT4ABC:if04", "2", ""}, {"0403:6011:FT4ABC:if2", "2", ""}, {"at::if01", "1", ""}};
  // clang-format on
  std::string out, error;
  for (const auto& c : cases) {
    EXPECT_EQ(FindAdapter(c[0], ports, OutputFormat::kText, &out, &error), c[1][0] - '0') << c[0];
    EXPECT_EQ(out, *c[2] ? std::string(c[2]) + "\n" : "") << c[0];
    EXPECT_EQ(error.empty(), *c[1] == '0') << c[0];
    const std::string found = *c[2] ? '"' + std::string(c[2]) + '"' : "null";
    EXPECT_EQ(FindAdapter(c[0], ports, OutputFormat::kJson, &out, &error), c[1][0] - '0');
    EXPECT_EQ(out.rfind("{\"found\": " + found + ", \"ports\": [", 0),
              *c[1] == '1' ? std::string::npos : 0);
  }
  EXPECT_EQ(FindAdapter("dead:beef", ports, OutputFormat::kText, &out, &error), kFindNone);
  EXPECT_NE(error.find(
                ":\n  /dev/serial/by-id/usb-Arduino_8503631  2341:0043:85\\x1b[2J\\xc2\\x9b  at:1-3"
                "\n  /dev/ttyUSB0  1a86:7523 (no serial number)  at:1-1\n  /dev/serial/by-id/"),
            std::string::npos);
  EXPECT_NE(error.find("\n  (no port: no-driver)  10c4:ea60 (no serial number)  at:1-7\n"),
            std::string::npos);
  EXPECT_EQ(FindAdapter("0403:6011:FT4ABC", ports, OutputFormat::kText, &out, &error), 3);
  EXPECT_NE(error.find("4 ports match 0403:6011:FT4ABC; name one by a selector below:\n  "
                       "/dev/serial/by-id/ft4-if00  0403:6011:FT4ABC:if00  at:1-6:if00\n"),
            std::string::npos);
  EXPECT_NE(FormatPortList(ports, OutputFormat::kJson)
                .find("\"location\": \"1-6\", \"interface\": \"02\""),
            std::string::npos);
  EXPECT_EQ(FindAdapter("at:1-7", ports, OutputFormat::kText, &out, &error), kFindNone);
  EXPECT_EQ(error,
            "kavnori-doctor: the adapter at:1-7 is plugged in but has no port (at:1-7): "
            "no driver\n  fix: sudo modprobe cp210x\n");
}

struct CheckCase {
  const char* name;
  const char* given;  // "pty", or a link to it below the fake root
  bool flowControl;   // CRTSCTS and IXON left on
  std::vector<std::pair<const char*, const char*>> files;  // laid out below the root
  std::vector<std::string> codes;
};

// A real pseudo-terminal stands for ttyUSB0, the CH340 without a serial
// number: sysfs, udev and the process list around it are the fake root's.
// Each row is a case of its own.
const char* const rules = "/usr/lib/udev/rules.d/85-brltty.rules";
const char* const claim =
    "# Device: 1A86:7523\nENV{PRODUCT}==\"1a86/7523/*\", GOTO=\"brltty_usb_run\"\n";
const char* const attrs =
    "SUBSYSTEM==\"usb\", ATTRS{idVendor}==\"1a86\", ATTRS{idProduct}==\"7523\"\n";
const char* const others = "ENV{PRODUCT}==\"1a86/7522/*\"\n#ENV{PRODUCT}==\"1a86/7523/*\"\n";
const std::pair<const char*, const char*> mm = {"/proc/77/comm", "ModemManager\n"};
// clang-format off
const CheckCase kCheckCases[] = {
    {"a ready line", "pty", false, {}, {}},
    {"flow control of both kinds", "pty", true, {}, {"hardware-flow", "software-flow"}},
    {"brltty claims the CH340", "pty", false, {{rules, claim}}, {"brltty"}},
    {"brltty claims it by ATTRS", "pty", false, {{"/lib/udev/rules.d/85-brltty.rules", attrs}}, {"brltty"}},
    {"brltty's rules masked in /etc", "pty", false, {{rules, claim}, {"/etc/udev/rules.d/85-brltty.rules", ""}}, {}},
    {"brltty claims other adapters", "pty", false, {{rules, others}}, {}},
    {"ModemManager runs", "pty", false, {mm}, {"modemmanager"}},
    {"ModemManager told to leave it", "pty", false, {mm, {"udev", "E:ID_MM_DEVICE_IGNORE=1\n"}}, {}},
    {"a numbered name", "given/ttyUSB0", false, {}, {"unstable-name"}},
    {"a by-id name, no serial number", "given/serial/by-id/usb-1a86", false, {}, {"by-id-not-unique"}},
    {"missing while brltty runs", "given/ttyUSB9", false, {{"/proc/78/comm", "brltty\n"}}, {"missing", "brltty"}},
    {"missing, brltty's rules claim a plugged adapter", "given/ttyUSB9", false, {{rules, claim}}, {"missing", "brltty"}},
    // Lock files under the port's other names; /proc/PID/stat, not laid out, cannot clear them.
    {"a lock under its by-id link's name", "pty", false, {{"/run/lock/LCK..usb-pty", "PID\n"}}, {"uucp-lock"}},
    {"a lock under SVR4's name", "pty", false, {{"/run/lock/SVR4", "PID\n"}}, {"uucp-lock"}},
    {"a lock of pid 1", "pty", false, {{"/var/lock/LCK..usb-pty", "1\n"}}, {"uucp-lock"}},
    {"what blocks above the notes", "pty", true, {{"/run/lock/LCK..usb-pty", "PID\n"}}, {"uucp-lock", "hardware-flow", "software-flow"}},
    // A live lock holds; kill is advised only for a holder shown to have the
    // port open. PPID: a live process whose files the fake /proc shows.
    {"a live lock, its pid's process without the port open", "pty", false, {{"/run/lock/LCK..usb-pty", "PPID\n"}, {"/proc/PPID/comm", "sleep\n"}, {"/proc/PPID/fd/0", "->/dev/null"}}, {"uucp-lock"}},
    {"a live lock of a holder named $(touch X), with the port open", "pty", false, {{"/run/lock/LCK..usb-pty", "PPID\n"}, {"/proc/PPID/comm", "$(touch X)\n"}, {"/proc/PPID/fd/3", "->pty"}}, {"uucp-lock"}},
    {"missing, a program named $(touch X) claims it through usbfs", "given/ttyUSB9", false, {{"portless usbfs", "1a86:7523"}, {"/proc/79/comm", "$(touch X)\n"}, {"/proc/79/fd/5", "->/dev/bus/usb/001/005"}}, {"missing", "usbfs-claimed"}},
    {"no lock folder to write in", "pty", false, {{"no /run/lock", ""}}, {"lock-folder"}},
    {"exclusive, open by two programs", "pty", false, {{"TIOCEXCL", ""}, {"/proc/50/comm", "screen\n"}, {"/proc/50/fd/3", "->pty"}, {"/proc/51/comm", "tio\n"}, {"/proc/51/fd/4", "->pty"}}, {"exclusive"}},
    {"ModemManager has it open", "pty", false, {mm, {"/proc/77/fd/3", "->pty"}}, {"modemmanager"}},
    {"another program has it open", "pty", false, {{"/proc/50/comm", "picocom\n"}, {"/proc/50/fd/3", "->pty"}}, {"open-by-other"}},
    {"HUPCL on", "pty", false, {{"HUPCL", ""}}, {"hupcl"}},
    {"missing, brltty holds a CH340 through usbfs", "given/ttyUSB9", false, {{"portless usbfs", "1a86:7523"}, {"/proc/79/comm", "brltty\n"}, {"/proc/79/fd/5", "->/dev/bus/usb/001/005"}}, {"missing", "brltty"}},
    {"missing, a program claims it through usbfs", "given/ttyUSB9", false, {{"portless usbfs", "1a86:7523"}, {"/proc/79/comm", "openocd\n"}, {"/proc/79/fd/5", "->/dev/bus/usb/001/005"}}, {"missing", "usbfs-claimed"}},
    {"missing, no driver for the FTDI", "given/ttyUSB9", false, {{"portless", "0403:6001"}}, {"missing", "no-driver"}},
    {"missing, the FTDI let go of while brltty runs", "given/ttyUSB9", false, {{"portless", "0403:6001"}, {"/sys/bus/usb/drivers/ftdi_sio/new_id", ""}, {"/proc/78/comm", "brltty\n"}}, {"missing", "brltty"}},
};
// clang-format on

// Names the row in test output instead of dumping its files.
void PrintTo(const CheckCase& c, std::ostream* out) { *out << c.name; }

class DoctorCheck : public testing::TestWithParam<CheckCase> {};

TEST_P(DoctorCheck, FindsWhatTheAdapterTheLineAndTheMachineHoldAgainstARun) {
  const CheckCase& c = GetParam();
  int master, slave;
  ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  struct termios line;
  ASSERT_EQ(::tcgetattr(slave, &line), 0);
  line.c_cflag = (c.flowControl ? line.c_cflag | CRTSCTS : line.c_cflag & ~CRTSCTS) & ~HUPCL;
  line.c_iflag = c.flowControl ? line.c_iflag | IXON : line.c_iflag & ~IXON;
  ASSERT_EQ(::tcsetattr(slave, TCSANOW, &line), 0);
  const std::string pty = ::ttyname(slave);
  struct stat node;
  ASSERT_EQ(::stat(pty.c_str(), &node), 0);
  FakeRoot root;
  LayTtys(root, node.st_rdev);
  fs::create_directories(root.path + "/run/lock");
  const std::string udev = "/run/udev/data/c" + std::to_string(major(node.st_rdev)) + ":" +
                           std::to_string(minor(node.st_rdev));
  char svr4[64];
  std::snprintf(svr4, sizeof svr4, "/run/lock/LK.%03u.%03u.%03u", major(node.st_dev),
                major(node.st_rdev), minor(node.st_rdev));
  for (const auto& file : c.files) {
    std::string at = file.first, text = file.second;
    const std::string parent = std::to_string(::getppid());
    if (at.find("PPID") != std::string::npos) at.replace(at.find("PPID"), 4, parent);
    if (text == "PPID\n") text = parent + "\n";
    if (at == "no /run/lock") {
      fs::remove(root.path + "/run/lock");
    } else if (at == "TIOCEXCL") {
      ASSERT_EQ(::ioctl(slave, TIOCEXCL), 0);
    } else if (at == "HUPCL") {
      line.c_cflag |= HUPCL;
      ASSERT_EQ(::tcsetattr(slave, TCSANOW, &line), 0);
    } else if (at.rfind("portless", 0) == 0) {
      LayPortless(root, text, at != "portless");
    } else if (text.rfind("->", 0) == 0) {  // a program that has the port (or a node) open
      fs::create_directories(fs::path(root.path + at).parent_path());
      fs::create_symlink(text == "->pty" ? pty : text.substr(2), root.path + at);
    } else {
      const std::string where = at == "udev" ? udev : at == "/run/lock/SVR4" ? svr4 : at;
      root.File(where, text == "PID\n" ? std::to_string(::getpid()) + "\n" : text);
    }
  }
  // qemu-user passes TIOCEXCL on but not TIOCGEXCL (ENOSYS), so there the
  // mark cannot be read back; the native build runs this row.
  if (c.codes == std::vector<std::string>{"exclusive"} && !TerminalIsExclusive(slave)) {
    ::close(slave);
    ::close(master);
    GTEST_SKIP() << "TIOCEXCL cannot be read back here";
  }
  fs::create_symlink(pty, root.path + "/dev/serial/by-id/usb-pty");
  fs::create_directories(root.path + "/given/serial/by-id");
  fs::create_symlink(pty, root.path + "/given/ttyUSB0");
  fs::create_symlink(pty, root.path + "/given/serial/by-id/usb-1a86");
  const std::string given = std::string(c.given) == "pty" ? pty : root.path + "/" + c.given;

  const PortReport report = CheckPortUnder(root.path, given);
  std::vector<std::string> codes;
  for (const Problem& problem : report.problems) codes.push_back(ProblemName(problem.code));
  EXPECT_EQ(codes, c.codes);
  // kill is offered for one holder alone, by its pid, never pid 1, and
  // only to a holder seen to have the port open. Names in fixes are quoted.
  for (const Problem& problem : report.problems) {
    EXPECT_EQ(problem.fix.find(" $("), std::string::npos) << problem.fix;  // a name unquoted
    if (std::string(c.name).find("without the port open") != std::string::npos) {
      EXPECT_NE(problem.message.find("the lock may be left by a program that ended; its pid "
                                     "now belongs to sleep."),
                std::string::npos);
      EXPECT_EQ(problem.fix,
                "if sleep is no program that uses the port: sudo rm /run/lock/LCK..usb-pty");
    }
    const std::size_t kill = problem.fix.find("kill ");
    if (kill == std::string::npos) continue;
    ASSERT_FALSE(problem.details.empty());
    EXPECT_EQ(problem.fix.substr(kill), "kill " + problem.details.front().value);
    EXPECT_NE(problem.details.front().value, "1");
  }
  const bool missing = !c.codes.empty() && c.codes[0] == "missing";
  EXPECT_EQ(report.device, missing ? "" : pty);
  ::close(slave);
  ::close(master);
}

INSTANTIATE_TEST_SUITE_P(Rows, DoctorCheck, testing::ValuesIn(kCheckCases),
                         [](const testing::TestParamInfo<CheckCase>& info) {
                           return CaseName(info.param.name);
                         });

struct AccessCase {
  mode_t mode;
  uid_t owner;
  gid_t group;
  Identity who;
  Access access;
  const char* groupName;
};

TEST(DoctorAccess, TellsMissingGroupsFromGroupsThisSessionLacks) {
  FakeRoot root;
  root.File("/etc/group", "root:x:0:\ntty:x:5:\ndialout:x:20:alice,bob\nplugdev:x:46:\n");
  const Identity alice = {1000, 1000, 1000, {20, 46}, "alice"};
  const Identity aliceBeforeAdded = {1000, 1000, 1000, {46}, "alice"};
  const Identity carol = {1002, 1002, 1002, {}, "carol"};
  const Identity dave = {1003, 1003, 20, {}, "dave"};  // dialout is his login group, since today
  const AccessCase cases[] = {
      {0660, 0, 20, {0, 0, 0, {}, "root"}, Access::kAllowed, "dialout"},
      {0660, 0, 20, alice, Access::kAllowed, "dialout"},
      {0660, 0, 20, aliceBeforeAdded, Access::kGroupNotActive, "dialout"},
      {0660, 0, 20, dave, Access::kGroupNotActive, "dialout"},
      {0660, 0, 20, carol, Access::kNotInGroup, "dialout"},
      {0660, 0, 20, {1004, 1004, 1004, {}, ""}, Access::kNotInGroup, "dialout"},  // no name
      {0600, 0, 20, alice, Access::kOwnerOnly, "dialout"},
      {0620, 0, 5, {1000, 1000, 1000, {5}, "alice"}, Access::kOwnerOnly, "tty"},  // no read
      {0600, 1002, 20, carol, Access::kAllowed, "dialout"},
      {0066, 1002, 99, carol, Access::kOwnerOnly, "99"},  // the owner class comes first
      {0666, 0, 99, carol, Access::kAllowed, "99"},
  };
  const std::vector<GroupEntry> groups = ReadGroups(root.path);
  for (const AccessCase& c : cases) {
    SCOPED_TRACE(testing::Message() << std::oct << c.mode << " for uid " << std::dec << c.who.uid);
    struct stat node = {};
    node.st_mode = S_IFCHR | c.mode;
    node.st_uid = c.owner;
    node.st_gid = c.group;
    const AccessVerdict verdict = JudgeAccess(node, c.who, groups);
    EXPECT_EQ(verdict.access, c.access);
    EXPECT_EQ(verdict.group, c.groupName);
  }
}

// Fix lines are pasted into a shell: a name reads back as the same one word.
TEST(DoctorFix, NamesReadBackAsOneShellWord) {
  EXPECT_EQ(ShellWord("/dev/serial/by-id/usb-FTDI_A1:0-port0"),
            "/dev/serial/by-id/usb-FTDI_A1:0-port0");
  EXPECT_EQ(ShellWord("/tmp/x/my relay"), "'/tmp/x/my relay'");
  EXPECT_EQ(ShellWord("it's;$(rm)"), "'it'\\''s;$(rm)'");
  // Every fix that names the device, for a device path holding shell syntax.
  const std::string device = "/dev/tty$(touch X)";
  struct termios line = {};
  line.c_cflag = CRTSCTS, line.c_iflag = IXON;
  PortReport report;
  CheckedPort checked = {"", device, device, &report};
  CheckFlowControl(&checked, ReadTtySettings(-1, line));  // CTS unknown
  struct stat node = {};
  node.st_mode = S_IFCHR | 0666;  // allowed: refused only by an ACL, whose fix is getfacl
  std::vector<std::string> fixes = {AccessProblem("", device, node).fix, OwnerOnlyFix(device)};
  for (const Problem& problem : report.problems) fixes.push_back(problem.fix);
  EXPECT_EQ(fixes.size(), 4u);
  for (const std::string& fix : fixes) {
    EXPECT_NE(fix.find(" '/dev/tty$(touch X)'"), std::string::npos) << fix;
    EXPECT_EQ(fix.find(" /dev/tty"), std::string::npos) << fix;
  }
}

}  // namespace
