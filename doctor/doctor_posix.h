// The Linux side of kavnori-doctor, below CheckPort and ListPorts.
//
// Everything the checks read about the machine (/sys, /dev/serial, /run/udev,
// /proc, /etc/group, the udev rules folders, the UUCP lock folders) is read
// below one root folder: "" on a running system, a folder with a laid-out tree
// in the tests. The port named on the command line is not: it is opened where
// it is.
//
//   linux_system.cpp   reading the machine: sysfs, stable names, groups,
//                      processes, flock holders, lock files, udev data,
//                      brltty's rules
//   doctor_posix.cpp   CheckPort: the checks of one port
//   linux_listing.cpp  ListPorts: the machine's serial ports
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "doctor/doctor.h"

struct UucpLock;

PortReport CheckPortUnder(const std::string& root, const std::string& port);
std::vector<PortListing> ListPortsUnder(const std::string& root);

// ---- Reading the machine (linux_system.cpp) ----

// What sysfs tells about one tty: /sys/class/tty/NAME and the device behind it.
struct TtyDevice {
  std::string name;            // ttyUSB0
  std::string subsystem;       // "tty" for terminals; "mem" for /dev/null, ...
  bool hasDevice = false;      // a bus device behind it (a UART, a USB interface)
  std::string uartType;        // ttyS: "0" when no UART was found at that port
  std::string driver;          // ch341-uart, ftdi_sio, cdc_acm, serial8250
  std::string usbId;           // 1a86:7523; empty when not on USB
  std::string usbSerial;       // empty when the adapter has none
  std::string usbProductName;  // the adapter's own name for itself
  std::string usbLocation;     // the USB device's place on the bus: 1-1.2 (bus 1, port 1, port 2)
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

// A process that holds a port, and how.
struct Holder {
  pid_t pid;
  std::string command;  // /proc/PID/comm; empty when not readable
};
std::string ProcessCommand(const std::string& root, pid_t pid);
std::string DescribeProcess(pid_t pid, const std::string& command);  // "picocom (pid 1234)"
bool ProcessRuns(const std::string& root, const std::string& command);
// The pids holding a flock on the file with this filesystem and inode,
// from /proc/locks.
std::vector<pid_t> FlockHolders(const std::string& root, dev_t filesystem, ino_t inode);
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

// /run/udev/data/cMAJOR:MINOR says ModemManager is to leave the device be.
bool ModemManagerIgnores(const std::string& root, dev_t number);
// The first brltty rules file that claims USB adapters VENDOR:PRODUCT
// ("1a86:7523"), as /usr/lib/udev/... or /etc/udev/... path; empty when none.
std::string BrlttyRuleClaiming(const std::string& root, const std::string& usbId);
// A UUCP lock file for the device in the lock folders below the root; its
// path as the machine names it (without the root).
bool FindLockFile(const std::string& root, const std::string& device, UucpLock* lock);
std::string LockPath(const std::string& root, const UucpLock& lock);
