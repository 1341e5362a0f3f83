// The Linux side of kavnori-doctor, below CheckPort and ListPorts, in three
// layers; a file uses only those of its own layer named before it, and the
// layers below.
//
// Facts: read the machine and return records; they judge nothing.
//   files_linux.cpp        reading files and folders below the root
//   processes_linux.cpp    the processes, and which have a file open
//   port_holders_linux.cpp who holds a port: flocks, lock files, openers
//   users_linux.cpp        who asks, and the groups there are
//   ttys_linux.cpp         the ttys in sysfs, the USB devices, the stable names
//   usb_adapters_linux.cpp USB serial adapters plugged in with no port
//   udev_rules_linux.cpp   brltty's rules, ModemManager's mark in udev's data
//   tty_settings_linux.cpp the settings of an open tty
// Advice: the fix lines more than one question gives, and how they name a
// program.
//   advice_linux.cpp
// Checks: each question judges facts and adds its problems to the report.
//   access_linux.cpp       may this user open it: the mode, the groups
//   holders_linux.cpp      who holds it: flock, TIOCEXCL, UUCP lock files,
//                          the programs that have it open
//   line_linux.cpp         are the driver and the line right: flow control,
//                          output held now, HUPCL, brltty, ModemManager
//   adapters_linux.cpp     USB serial adapters with no port, and why
//   listing_linux.cpp      the list of ports (ListPorts)
//   names_linux.cpp        where a name leads: missing, a link, a Windows
//                          name, no terminal, a name that changes at the next
//                          plug-in
//   check_linux.cpp        CheckPort: asks each question of one port, in turn
//
// Everything the checks read about the machine (/sys, /dev/serial, /run/udev,
// /proc, /etc/group, the udev rules folders, the UUCP lock folders) is read
// below one root folder: "" on a running system, a folder with a laid-out tree
// in the tests. The port named on the command line is not: it is opened where
// it is.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>
#include <termios.h>

#include <map>
#include <string>
#include <vector>

#include "doctor/doctor.h"
#include "serial/uucp_lock_linux.h"

// One port as CheckPort looks at it; each question adds its problems to the
// report.
struct CheckedPort {
  std::string root;
  std::string given;   // the name as given on the command line
  std::string device;  // the device it leads to
  PortReport* report;
};

// ---- Facts: files below the root (files_linux.cpp) ----

std::string ReadFile(const std::string& path);
std::string FirstLine(const std::string& path);
std::vector<std::string> FolderEntries(const std::string& path);  // sorted, no . and ..
std::string RealPath(const std::string& path);                    // "" when it leads nowhere
bool IsNumber(const std::string& text);
std::string SystemMessage(int error);  // strerror's text for an errno

// ---- Facts: the processes (processes_linux.cpp) ----

std::string ProcessCommand(const std::string& root, pid_t pid);  // /proc/PID/comm
bool ProcessRuns(const std::string& root, const std::string& command);
// A process (other than this one) with a path open, from /proc/PID/fd;
// processes of other users are seen by root only. A flock belongs to an open
// file: /proc/PID/fdinfo shows which of them holds one, also when the pid
// that took the lock has gone (flock(1) running a command, say).
struct Opener {
  pid_t pid;
  bool holdsFlock;
};
std::map<std::string, std::vector<Opener>> Openers(const std::string& root,
                                                   const std::vector<std::string>& paths);

// ---- Facts: who holds a port (port_holders_linux.cpp) ----

// A program that holds a port, and each way it does.
struct Holder {
  pid_t pid;
  std::string command;    // /proc/PID/comm
  bool flock = false;     // it holds a flock on the device
  bool lockFile = false;  // a live UUCP lock file names it
  bool open = false;      // it has the device open
};
// Everyone who holds one port, as far as this user can see: the one answer
// that the check and the listing both give.
struct PortHolders {
  std::vector<Holder> programs;
  bool locked = false;       // /proc/locks has a flock or record lock on the device
  bool hasLockFile = false;  // a UUCP lock file names the device
  UucpLock lockFile;         // when hasLockFile: held, stale or unreadable
  std::string lockPath;      // its path as the machine names it (without the root)
};
// lockName: the device's path as the lock-file look-up is to take it;
// node: the device, whose flocks /proc/locks lists.
PortHolders FindPortHolders(const std::string& root, const std::string& lockName,
                            const struct stat& node, const std::vector<Opener>& openers);
// The virtual board, which keeps its own end of the port open.
bool IsBoard(const Holder& holder);

// ---- Facts: who asks (users_linux.cpp) ----

// Who is asking, as the kernel sees this process.
struct Identity {
  uid_t uid;
  gid_t gid;                  // effective
  gid_t loginGid;             // the primary group in /etc/passwd
  std::vector<gid_t> groups;  // this session's supplementary groups
  std::string user;           // empty when /etc/passwd has no entry
};
Identity CurrentIdentity(const std::string& root);         // root/etc/passwd for the name
std::string UserName(const std::string& root, uid_t uid);  // "uid N" when passwd has none

struct GroupEntry {
  std::string name;
  gid_t gid;
  std::vector<std::string> members;
};
std::vector<GroupEntry> ReadGroups(const std::string& root);  // root/etc/group

// ---- Facts: the ttys and USB devices sysfs tells of (ttys_linux.cpp) ----

// What sysfs tells about one tty: /sys/class/tty/NAME and the device behind it.
struct TtyDevice {
  std::string name;            // ttyUSB0
  std::string subsystem;       // "tty" for terminals; "mem" for /dev/null, ...
  bool hasDevice = false;      // a bus device behind it (a UART, a USB interface)
  std::string uartType;        // ttyS: "0" when no UART was found at that port
  std::string driver;          // ch341-uart, ftdi_sio, cdc_acm, serial8250
  std::string vendorId;        // the USB vendor id, 1a86; empty when not on USB
  std::string productId;       // the USB product id, 7523
  std::string serial;          // the USB serial number; empty when the adapter has none
  std::string usbProductName;  // the adapter's own name for itself
  std::string usbLocation;     // the USB device's place on the bus: 1-1.2 (bus 1, port 1, port 2)
  std::string usbInterface;    // the USB interface the tty is on: "00", "02"
};

// By the tty's name in /sys/class/tty, or by a device number through
// /sys/dev/char/MAJOR:MINOR. False when sysfs has no such entry.
bool ReadTtyByName(const std::string& root, const std::string& name, TtyDevice* tty);
bool ReadTtyByNumber(const std::string& root, dev_t number, TtyDevice* tty);
std::vector<std::string> TtyNames(const std::string& root);
// The vendor:product of every USB device plugged in, from /sys/bus/usb/devices.
std::vector<std::string> UsbDeviceIds(const std::string& root);

// The links in /dev/serial/by-id and /dev/serial/by-path that lead to a tty
// named NAME: name -> {by-id paths, by-path paths}, as /dev/serial/... paths.
struct StableNames {
  std::vector<std::string> byId;
  std::vector<std::string> byPath;
};
std::map<std::string, StableNames> ReadStableNames(const std::string& root);

// ---- Facts: USB adapters with no port (usb_adapters_linux.cpp) ----

struct PortlessAdapter {
  PortListing listing;       // no name; its driver the USB interface's: "none", "usbfs"
  std::string usbNode;       // /dev/bus/usb/001/004, which a program that claims it has open
  std::string serialDriver;  // the kernel driver its chip needs: ftdi_sio, ch341, cdc_acm
  bool serialDriverLoaded;   // that driver is in the kernel
};
// The USB serial adapters plugged in (the common chips, CDC ACM devices)
// whose serial interface has no tty and no driver, or usbfs.
std::vector<PortlessAdapter> PortlessAdapters(const std::string& root);
std::vector<std::string> UsbNodes(const std::vector<PortlessAdapter>& adapters);

// ---- Facts: udev's rules and data (udev_rules_linux.cpp) ----

// /run/udev/data/cMAJOR:MINOR says ModemManager is to leave the device be.
bool ModemManagerIgnores(const std::string& root, dev_t number);
// The first brltty rules file that claims USB adapters VENDOR:PRODUCT
// ("1a86:7523"), as /usr/lib/udev/... or /etc/udev/... path; empty when none.
std::string BrlttyRuleClaiming(const std::string& root, const std::string& vendorProduct);

// ---- Facts: an open tty's settings (tty_settings_linux.cpp) ----

struct TtySettings {
  bool hardwareFlow = false;   // CRTSCTS
  bool softwareFlow = false;   // IXON
  bool hangupOnClose = false;  // HUPCL
  bool ctsKnown = false;       // the driver tells the modem lines
  bool ctsHigh = false;
  int queued = 0;  // bytes waiting in the output queue; 0 when the driver does not tell
};
TtySettings ReadTtySettings(int fd, const struct termios& line);

// ---- Advice (advice_linux.cpp) ----

extern const char kListFix[];    // how to see the ports there are
std::string PlugInFix();         // the port is gone: plug it in, or list them
std::string NameTheDeviceFix();  // a name of no serial port: name one
// A process's name as a fix line names it, one shell word; "that program"
// when /proc does not tell.
std::string ProgramWord(const std::string& command);
std::string DescribeProcess(pid_t pid, const std::string& command);  // "picocom (pid 1234)"
// How to stop the programs that hold PORT.
std::string StopFix(const std::vector<Holder>& holders, const std::string& port);
// Remove brltty, or mask its rules (RULES, a path; "" for Debian's name).
std::string BrlttyFix(const std::string& rules);
// brltty takes the port, as MESSAGE tells; the fix is for the RULES that
// claim it ("" when no rules file does and brltty runs).
void AddBrlttyProblem(PortReport* report, const std::string& message, const std::string& rules);
// The udev rule that keeps ModemManager off the adapter (its vid and pid).
std::string ModemManagerFix(const TtyDevice& tty);
std::string OwnerOnlyFix(const std::string& device);  // chgrp and chmod, and the udev rule

// ---- Checks: may this user open it (access_linux.cpp) ----

enum class Access {
  kAllowed,
  kNotInGroup,      // the group may open it; the user is not in that group
  kGroupNotActive,  // in the group in /etc/group, but not in this session
  kOwnerOnly,       // no group would help: the mode gives the group nothing
};
struct AccessVerdict {
  Access access;
  std::string group;  // the device's group by name, or its number
};
// From the mode bits alone, as the kernel would judge an open for reading
// and writing (ACLs and security modules aside).
AccessVerdict JudgeAccess(const struct stat& node, const Identity& who,
                          const std::vector<GroupEntry>& groups);
// Why this user may not open the device, in the words both the check and the
// listing's why-not give; asked when the mode, or the kernel, says no.
Problem AccessProblem(const std::string& root, const std::string& device, const struct stat& node);

// ---- Checks: who holds it (holders_linux.cpp) ----

// The checks of the device's locks (flock, record locks, from /proc/locks),
// of an open descriptor of it (TIOCEXCL), and of its lock file.
void CheckFlock(CheckedPort* checked, const PortHolders& holders);
void CheckExclusive(CheckedPort* checked, const PortHolders& holders);
void CheckUucpLock(CheckedPort* checked, const PortHolders& holders);
void CheckLockFolder(CheckedPort* checked);  // none this user may write: a note
// Other programs that have the port open, not named by a problem that
// blocks: ModemManager with the udev rule that keeps it off, any other as a
// note, since it may read or send on the same line.
void CheckOtherOpeners(CheckedPort* checked, const TtyDevice& tty, const PortHolders& holders);

// ---- Checks: are the driver and the line right (line_linux.cpp) ----

void CheckFlowControl(CheckedPort* checked, const TtySettings& settings);
void CheckHangupOnClose(CheckedPort* checked, const TtySettings& settings);
void CheckAdapter(CheckedPort* checked, const TtyDevice& tty, dev_t number);

// ---- Checks: USB adapters with no port (adapters_linux.cpp) ----

// Why it has no port: brltty, another program through usbfs, no driver;
// usbOpeners: the programs that have the adapters' usbfs nodes open.
Problem WhyNoPort(const std::string& root, const PortlessAdapter& adapter,
                  const std::map<std::string, std::vector<Opener>>& usbOpeners);
// The port named is missing: each adapter without a port, and why; brltty
// when it runs or its rules claim a plugged-in device.
void CheckPortlessAdapters(CheckedPort* checked);

// ---- Checks: the list of ports (listing_linux.cpp) ----

// holders: also who holds each port (held-by), which reads every
// /proc/PID/fd; without, a port's record ends before held-by.
std::vector<PortListing> ListPortsUnder(const std::string& root, bool holders);

// ---- Checks: where a name leads (names_linux.cpp) ----

// Each adds what it finds to the report: missing names, loops and folders
// closed on the way; a link another user owns in /tmp; a link to nothing;
// a file or device that is no terminal; a ttyUSB name that may change.
void CheckMissing(CheckedPort* checked, int error);
bool CheckRefusedLink(CheckedPort* checked, const struct stat& link);
void CheckDanglingLink(CheckedPort* checked);
void NotATerminal(CheckedPort* checked, const std::string& kind);
const char* FileKind(mode_t mode);
bool IsConsole(dev_t number);
void CheckStableName(CheckedPort* checked, const TtyDevice& tty);

// ---- Checks: one port (check_linux.cpp) ----

PortReport CheckPortUnder(const std::string& root, const std::string& port);
