// kavnori-doctor: tells why a serial port would not take a Kavnori run.
//
//   PortReport report = CheckPort("/dev/ttyUSB0");   every problem found
//   std::vector<PortListing> ports = ListPorts();     the machine's ports
//   FormatPortReport(report, format)                  text or one JSON object
//   DoctorStatusFor(report)                           0 ready, 2 blocks, 3 may hold
//   FindAdapter("1a86:7523", ListUsbAdapters(), ...)  --find: one adapter's port
//
// The checks only look: they never write a byte to a port, never change its
// settings, never create, change or remove a lock file, and hold a port no
// longer than the check. Unlike Kavnori's, the doctor's output is free to
// change; its problem codes and exit statuses are what scripts may match.
//
// Each platform's files stand behind CheckPort, ListPorts and ListUsbAdapters;
// CMake picks them. On Linux facts, advice and one file for each question a
// port is asked (doctor_linux.h has the map), on Windows doctor_win32.cpp
// and the files doctor_win32.h names. report.cpp formats both; find.cpp
// searches the listing, the same on both; problem_codes.cpp holds the one
// table of problem codes, serial_chips.cpp the one table of common USB
// serial chips and their drivers, text_kit.cpp the text helpers both use.
#pragma once

#include <string>
#include <vector>

#include "doctor/problem_codes.h"
#include "doctor/text_kit.h"

enum DoctorStatus {
  kDoctorReady = 0,    // no problem that blocks or may hold; or the list was printed
  kDoctorUsage = 1,    // wrong arguments or an unknown option
  kDoctorBlocked = 2,  // at least one problem that blocks
  kDoctorMayHold = 3,  // a problem that may hold a run, and none that blocks
};

// One named value of a problem or a listed port, as the JSON output names it.
// A literal (a number, true, false, null) is written as it stands; anything
// else is a JSON string.
struct Detail {
  std::string key;
  std::string value;
  bool literal = false;
};

struct Problem {
  ProblemCode code = ProblemCode::kNone;  // its severity is the code's
  std::string message;                    // what it is, one line
  std::string fix;                        // how to fix it, one line: the command to type
  std::vector<Detail> details;            // pid, command, error, ...
};

struct PortReport {
  std::string port;    // as given on the command line
  std::string device;  // the device it leads to; empty when it leads nowhere
  std::vector<Problem> problems;
};

// One port of the list, with the same keys on both platforms where the facts
// are the same. An empty text is a fact not known, or one the port does not
// have (a UART has no USB ids): the text list leaves it out, JSON gives null.
struct PortListing {
  std::string name;          // /dev/ttyUSB0, COM5: what Kavnori is given
  std::string friendlyName;  // "friendly-name": the adapter's own name, Device Manager's name
  std::string vendorId;      // "vid": the USB vendor id, 4 hex digits in lower case, "1a86"
  std::string productId;     // "pid": the USB product id, "7523"
  std::string serial;        // "serial": the USB serial number
  std::string location;      // "location": the USB socket, "1-1.2", "Port_#0002.Hub_#0003"
  // "interface": the USB interface the port is on, 2 hex digits, "02": the
  // ports of an FT4232 or a CP2105 share all the above and differ in this.
  std::string usbInterface;
  std::string driver;           // "driver": ch341-uart, ftdi_sio; on Windows its provider
  std::vector<Detail> details;  // the platform's own, printed after those
  // Not printed: a name that stays across replugging and reboots and names
  // this adapter alone (Linux's by-id link of an adapter with a serial
  // number); empty when there is none.
  std::string stableName;
  // A USB adapter plugged in that has no port (the name is empty): why, as
  // a problem with its code, message and fix, printed as no-port, why-not
  // and fix. Its driver is the USB interface's: "none", "usbfs".
  Problem noPort;
};

enum class OutputFormat { kText, kJson };

// Platform side: the *_linux.cpp files (doctor_linux.h) or the Windows ones
// (doctor_win32.h).
PortReport CheckPort(const std::string& port);
std::vector<PortListing> ListPorts();
// The ports of USB adapters plugged in now, from what the system tells
// without opening any port: what a search by vendor, product, serial number
// or socket looks through. Adapters with no port come last, each with why.
// holders: also who holds each port, as the list's records tell it (Linux:
// held-by, which reads every /proc/PID/fd); only --json prints that.
std::vector<PortListing> ListUsbAdapters(bool holders);

// report.cpp
// The one way to add a problem: it goes after those as serious or more, so
// that a report lists what blocks first, then what may hold, then notes. The
// reference is good until the next problem is added.
Problem& AddProblem(PortReport* report, ProblemCode code, const std::string& message,
                    const std::string& fix);
DoctorStatus DoctorStatusFor(const PortReport& report);
std::string FormatPortReport(const PortReport& report, OutputFormat format);
std::string FormatPortList(const std::vector<PortListing>& ports, OutputFormat format);
// Convenience constructors for the platform files.
Detail TextDetail(const std::string& key, const std::string& value);
Detail NumberDetail(const std::string& key, long long value);
Detail FlagDetail(const std::string& key, bool value);
// A name as a POSIX shell reads it back, for the commands of fix lines that a
// user pastes: as it is when it holds only plain characters, else in single
// quotes ('my relay', a ' inside as '\'').
std::string ShellWord(const std::string& name);

// find.cpp: kavnori-doctor --find, the port of a USB adapter picked out by
// what it is rather than by a name that changes when it is replugged.
enum FindStatus {
  kFindOne = 0,      // one adapter matches: its name was printed
  kFindUsage = 1,    // the selector is none of the forms
  kFindNone = 2,     // no adapter plugged in now matches, or the one that does has no port
  kFindSeveral = 3,  // more than one matches; none is picked
};

// VID:PID, VID:PID:SERIAL or at:LOCATION, each with :ifNN after it to name
// one port of an adapter with several (udev's by-id names say -ifNN). The
// ids are kept in lower case; a serial number is compared exactly, a
// location in any case.
struct AdapterSelector {
  std::string vendorId;
  std::string productId;
  bool bySerial = false;
  std::string serial;
  std::string location;      // set for at:LOCATION, which then is compared instead of the ids
  std::string usbInterface;  // "02" of :if02, in lower case; empty for any
};

// False with a line for standard error when `text` is no selector.
bool ParseSelector(const std::string& text, AdapterSelector* selector, std::string* error);
// The adapters (ports with USB ids) that the selector names, in list order.
std::vector<PortListing> MatchingAdapters(const std::vector<PortListing>& adapters,
                                          const AdapterSelector& selector);
// The name to give Kavnori: the stable name when there is one, else the port's.
std::string FoundName(const PortListing& port);
// The whole of --find over `adapters` (from ListUsbAdapters): what goes to
// standard output and to standard error, and the exit status.
FindStatus FindAdapter(const std::string& selectorText, const std::vector<PortListing>& adapters,
                       OutputFormat format, std::string* out, std::string* error);
