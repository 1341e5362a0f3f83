#include "doctor/doctor_win32.h"

#include <windows.h>

#include <cfgmgr32.h>
#include <setupapi.h>

#include <algorithm>
#include <string>
#include <vector>

#include "doctor/doctor.h"
#include "serial/port_name.h"
#include "serial/serial_port.h"

namespace {

// Device Manager's "Ports (COM & LPT)" class, GUID_DEVCLASS_PORTS.
constexpr GUID kPortsClass = {
    0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
constexpr wchar_t kSerialCommKey[] = L"HARDWARE\\DEVICEMAP\\SERIALCOMM";
// Device Manager gives COM numbers up to this one.
constexpr int kHighestComNumber = 256;
// A frame takes 8 bytes of 10 bits at 9600 baud on the line: 8.3 ms.
constexpr unsigned long long kFrameMilliseconds = 9;

// ---- Names ----

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return {};
  const int length = static_cast<int>(text.size());
  const int size =
      WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return {};
  std::string out(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), length, &out[0], size, nullptr, nullptr);
  return out;
}

char UpperAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool SameName(const std::string& a, const std::string& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](char x, char y) { return UpperAscii(x) == UpperAscii(y); });
}

// COM5 for COM5 and \\.\COM5: the name Device Manager and mode use.
std::string ShortName(const std::string& port) {
  return port.compare(0, 4, "\\\\.\\") == 0 ? port.substr(4) : port;
}

// N of COM<N>; 0 for any other name.
int ComNumber(const std::string& name) {
  if (name.size() < 4 || name.size() > 6 || !SameName(name.substr(0, 3), "COM")) return 0;
  int number = 0;
  for (std::size_t i = 3; i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9') return 0;
    number = number * 10 + (name[i] - '0');
  }
  return number;
}

// As Kavnori opens a port: a bare COM<N> through \\.\ (COM10 and up open no
// other way), any other name as typed.
std::wstring DevicePathFor(const std::wstring& name) {
  bool bare = name.size() > 3 && name.find_first_not_of(L"0123456789", 3) == std::wstring::npos;
  for (std::size_t i = 0; bare && i < 3; ++i) bare = (name[i] | 0x20) == L"com"[i];
  return bare ? L"\\\\.\\" + name : name;
}

// A present device first: an unplugged one may still claim the same name.
const ComDevice* FindDevice(const std::vector<ComDevice>& devices, const std::string& name) {
  const ComDevice* found = nullptr;
  for (const ComDevice& device : devices) {
    if (SameName(device.port, name) && (found == nullptr || !found->present)) found = &device;
  }
  return found;
}

bool ComesFirst(const std::string& a, const std::string& b) {
  const int first = ComNumber(a), second = ComNumber(b);
  if (first != second) return first != 0 && (second == 0 || first < second);
  return a < b;
}

std::string PresentPorts(const std::vector<ComDevice>& devices) {
  std::vector<std::string> present;
  for (const ComDevice& device : devices) {
    if (device.present) present.push_back(device.port);
  }
  std::sort(present.begin(), present.end(), ComesFirst);
  std::string names;
  for (const std::string& name : present) names += (names.empty() ? "" : ", ") + name;
  return names;
}

// Device Manager's "Code N" for the problems a serial adapter meets most.
const char* ProblemMeaning(unsigned long code) {
  switch (code) {
    case CM_PROB_FAILED_START:
      return "the device cannot start";
    case CM_PROB_DISABLED:
      return "the device is disabled";
    case CM_PROB_FAILED_INSTALL:
      return "no driver is installed";
    case CM_PROB_FAILED_ADD:
      return "Windows cannot load its driver";
    case CM_PROB_FAILED_POST_START:
      return "Windows stopped it after it reported problems";
    case CM_PROB_PHANTOM:
      return "the device is not connected";
    default:
      return nullptr;
  }
}

// ---- Opening ----

struct OpenResult {
  HANDLE handle;
  DWORD error;  // when the handle is INVALID_HANDLE_VALUE
};

// Share mode 0 and OPEN_EXISTING, as Kavnori opens it: the open fails while
// another program holds the port. Opening raises DTR and RTS, as any open.
OpenResult OpenAsKavnori(const std::wstring& path) {
  HANDLE handle = win32DoctorCalls.createFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                               nullptr, OPEN_EXISTING, 0, nullptr);
  const DWORD error = win32DoctorCalls.getLastError();
  return {handle, handle == INVALID_HANDLE_VALUE ? error : 0};
}

OpenResult OpenAndRelease(const std::wstring& path) {
  const OpenResult opened = OpenAsKavnori(path);
  if (opened.handle != INVALID_HANDLE_VALUE) win32DoctorCalls.closeHandle(opened.handle);
  return opened;
}

const char* OpenProblemCode(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
      return "missing";
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY:
      return "in-use";
    default:  // 31 and the other faults of a device or its driver
      return "device-error";
  }
}

// ---- Problems ----

Problem MakeProblem(const char* code, Severity severity, const std::string& message,
                    const std::string& fix) {
  return {code, severity, message, fix, {}};
}

std::string ErrorText(DWORD error) { return " (error " + std::to_string(error) + ")"; }

Problem MissingProblem(const std::string& name, DWORD error, const ComDevice* device,
                       const std::vector<ComDevice>& devices) {
  if (device != nullptr && !device->present) {
    const std::string adapter = device->friendlyName.empty() ? "an adapter" : device->friendlyName;
    return MakeProblem(
        "missing", Severity::kBlocks,
        name + " belongs to " + adapter + ", which is not plugged in" + ErrorText(error) + ".",
        "Plug the adapter into the USB socket it had: Windows gives each socket "
        "its own COM number");
  }
  const std::string others = PresentPorts(devices);
  return MakeProblem("missing", Severity::kBlocks,
                     "There is no port " + name + " on this machine" + ErrorText(error) + ".",
                     others.empty() ? "Plug the relay board's adapter in; Device Manager > Ports "
                                      "(COM & LPT) then shows its COM number"
                                    : "Name one of the ports there are: " + others +
                                          " (kavnori-doctor without a port describes each)");
}

// The name Device Manager shows for the port.
std::string ShownName(const ComDevice* device, const std::string& name) {
  return device != nullptr && !device->friendlyName.empty() ? device->friendlyName : name;
}

Problem DeviceErrorProblem(const std::string& name, DWORD error, const ComDevice* device) {
  std::string message = name + "'s device or driver reports a fault" + ErrorText(error);
  const unsigned long code = device != nullptr ? device->problemCode : 0;
  if (code != 0) {
    message += "; Device Manager marks it yellow, Code " + std::to_string(code);
    if (ProblemMeaning(code) != nullptr) message += std::string(": ") + ProblemMeaning(code);
  }
  const std::string shown = ShownName(device, name);
  Problem problem = MakeProblem(
      "device-error", Severity::kBlocks, message + ".",
      "Unplug the adapter and plug it in again; if the fault stays, Device Manager > Ports (COM & "
      "LPT) > " +
          shown + " > Properties says why, and Update driver reinstalls it");
  if (code != 0) problem.details.push_back(NumberDetail("problem-code", code));
  return problem;
}

Problem OpenProblem(const std::string& name, DWORD error, const ComDevice* device,
                    const std::vector<ComDevice>& devices) {
  const std::string code = OpenProblemCode(error);
  // A driver that failed to start leaves no port to open: the fault is the device's.
  const bool faulty = device != nullptr && device->present && device->problemCode != 0;
  Problem problem;
  if (code == "missing" && !faulty) {
    problem = MissingProblem(name, error, device, devices);
  } else if (code == "in-use") {
    problem = MakeProblem("in-use", Severity::kBlocks,
                          name +
                              " is open in another program: Windows lets one program at a "
                              "time use a COM port" +
                              ErrorText(error) + ".",
                          "Close the program that holds it (a serial terminal such as PuTTY, the "
                          "Arduino serial monitor, another Kavnori run), then run again");
  } else {
    problem = DeviceErrorProblem(name, error, device);
  }
  problem.details.insert(problem.details.begin(), NumberDetail("error", error));
  return problem;
}

Problem NotASerialPort(const std::string& what, DWORD error) {
  Problem problem =
      MakeProblem("not-a-serial-port", Severity::kBlocks, what + ErrorText(error) + ".",
                  "Name the relay board's COM port: kavnori-doctor without a port lists them");
  problem.details.push_back(NumberDetail("error", error));
  return problem;
}

// Names other than COM<N> and device paths (\\.\, \\?\): a folder, CON, a
// file. Their failed opens tell of no port in use and no driver at fault.
bool IsPortName(const std::string& port) {
  return ComNumber(ShortName(port)) != 0 || port.compare(0, 2, "\\\\") == 0;
}

struct LineState {
  DCB settings;
  bool modemKnown;
  DWORD modem;  // MS_CTS_ON, MS_DSR_ON, ...
  DWORD modemError;
  bool timeoutsKnown;
  COMMTIMEOUTS timeouts;
};

// Reads what the driver holds, changing nothing. False when the settings
// cannot be read: then it is no serial port.
bool ReadLine(HANDLE handle, LineState* line, DWORD* error) {
  line->settings.DCBlength = sizeof line->settings;
  if (!win32DoctorCalls.getCommState(handle, &line->settings)) {
    *error = win32DoctorCalls.getLastError();
    return false;
  }
  line->modemKnown = win32DoctorCalls.getCommModemStatus(handle, &line->modem) != FALSE;
  line->modemError = line->modemKnown ? 0 : win32DoctorCalls.getLastError();
  line->timeoutsKnown = win32DoctorCalls.getCommTimeouts(handle, &line->timeouts) != FALSE;
  return true;
}

// A write waits while a line that output flow control watches is low.
bool AddHardwareFlow(const std::string& name, const LineState& line,
                     std::vector<Problem>* problems) {
  std::string held, options;
  const auto watch = [&](bool on, DWORD high, const char* pin, const char* option) {
    if (!on || (line.modemKnown && (line.modem & high) != 0)) return;
    held += (held.empty() ? "" : " and ") + std::string(pin);
    options += std::string(" ") + option + "=off";
  };
  watch(line.settings.fOutxCtsFlow != 0, MS_CTS_ON, "CTS", "octs");
  watch(line.settings.fOutxDsrFlow != 0, MS_DSR_ON, "DSR", "odsr");
  if (held.empty()) return false;
  const bool both = options.size() > std::string(" octs=off").size();
  const std::string message =
      line.modemKnown
          ? "Hardware flow control is on and " + held + (both ? " are" : " is") +
                " low: a write waits until the board raises " + (both ? "them." : "it.")
          : "Hardware flow control is on (" + held + ") and Windows cannot read the line's state" +
                ErrorText(line.modemError) + ": a write waits while " +
                (both ? "they are low." : "it is low.");
  Problem problem =
      MakeProblem("hardware-flow", Severity::kMayHold, message, "mode " + name + options);
  if (!line.modemKnown) problem.details.push_back(NumberDetail("error", line.modemError));
  problems->push_back(problem);
  return true;
}

void AddLineProblems(const std::string& name, const LineState& line,
                     std::vector<Problem>* problems) {
  const bool hardwareHeld = AddHardwareFlow(name, line, problems);
  const bool softwareFlow = line.settings.fOutX != 0;
  if (softwareFlow) {
    problems->push_back(MakeProblem(
        "software-flow", Severity::kNote,
        "XON/XOFF flow control is on: an XOFF byte from the line holds a write until XON comes.",
        "mode " + name + " xon=off"));
  }
  if (!line.timeoutsKnown) return;
  const unsigned long long total =
      static_cast<unsigned long long>(line.timeouts.WriteTotalTimeoutMultiplier) *
          kCommandFrameSize +
      line.timeouts.WriteTotalTimeoutConstant;
  if (total == 0 && (hardwareHeld || softwareFlow)) {
    problems->push_back(MakeProblem(
        "write-timeouts", Severity::kNote,
        "No write timeout is set: a write that flow control holds waits until the run is stopped.",
        "Turn the flow control off as above; Ctrl+C stops a held run"));
  } else if (total != 0 && total < kFrameMilliseconds) {
    Problem problem = MakeProblem(
        "write-timeouts", Severity::kNote,
        "The write timeout, " + std::to_string(total) +
            " ms for 8 bytes, is shorter than the 9 ms the frame takes at 9600 baud: the write "
            "can end before the whole frame is out.",
        "Unplug the adapter and plug it in again: the driver starts with no write timeout");
    problem.details.push_back(NumberDetail("milliseconds", static_cast<long long>(total)));
    problems->push_back(problem);
  }
}

// Driver releases known to fail with some chips: a note, since the same
// release works with others.
struct DriverWarning {
  const char* provider;  // a part of the provider's name, lower case
  const char* version;   // the start of DriverVersion
  const char* chip;
};
constexpr DriverWarning kDriverWarnings[] = {
    {"wch", "3.8.2023.", "CH340"},
};

std::string LowerAscii(std::string text) {
  for (char& c : text) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  return text;
}

// The release's warning when it is one known to fail; null otherwise.
const DriverWarning* KnownBadDriver(const ComDevice& device) {
  for (const DriverWarning& warning : kDriverWarnings) {
    const std::string version = warning.version;
    if (LowerAscii(device.provider).find(warning.provider) != std::string::npos &&
        device.driverVersion.compare(0, version.size(), version) == 0) {
      return &warning;
    }
  }
  return nullptr;
}

std::string DriverWarningText(const DriverWarning& warning, const ComDevice& device) {
  return std::string(warning.chip) + " driver " + device.driverVersion +
         " is known to fail with some " + warning.chip +
         " chips: the port opens and the board gets nothing";
}

void AddDriverWarning(const std::string& name, const ComDevice& device,
                      std::vector<Problem>* problems) {
  const DriverWarning* warning = KnownBadDriver(device);
  if (warning == nullptr) return;
  problems->push_back(MakeProblem(
      "driver-version", Severity::kNote, DriverWarningText(*warning, device) + ".",
      "Device Manager > Ports (COM & LPT) > " + ShownName(&device, name) +
          " > Properties > Driver > Roll Back Driver (or Update driver > Browse > Let me pick)"));
}

std::string DeviceShown(const ComDevice* device, const std::wstring& path) {
  if (device != nullptr && !device->friendlyName.empty()) return device->friendlyName;
  if (device != nullptr && !device->kernelDevice.empty()) return device->kernelDevice;
  return Utf8(path);
}

// ---- The device list ----

std::wstring DeviceProperty(HDEVINFO set, SP_DEVINFO_DATA* info, DWORD property) {
  wchar_t text[512] = {};
  // Room kept for a terminator the registry may lack; of a list (hardware
  // IDs) the first entry.
  if (!SetupDiGetDeviceRegistryPropertyW(
          set, info, property, nullptr, reinterpret_cast<BYTE*>(text),
          static_cast<DWORD>(sizeof text - sizeof(wchar_t)), nullptr)) {
    return L"";
  }
  return text;
}

std::wstring RegistryText(HKEY key, const wchar_t* value) {
  wchar_t text[512] = {};
  DWORD type = 0;
  DWORD size = static_cast<DWORD>(sizeof text - sizeof(wchar_t));
  if (RegQueryValueExW(key, value, nullptr, &type, reinterpret_cast<BYTE*>(text), &size) !=
          ERROR_SUCCESS ||
      type != REG_SZ) {
    return L"";
  }
  return text;
}

// DIREG_DEV: the device's key (PortName); DIREG_DRV: its driver's.
std::wstring DeviceKeyText(HDEVINFO set, SP_DEVINFO_DATA* info, DWORD which, const wchar_t* value) {
  const HKEY key = SetupDiOpenDevRegKey(set, info, DICS_FLAG_GLOBAL, 0, which, KEY_READ);
  if (key == INVALID_HANDLE_VALUE) return L"";
  const std::wstring text = RegistryText(key, value);
  RegCloseKey(key);
  return text;
}

ComDevice DeviceManagerEntry(HDEVINFO set, SP_DEVINFO_DATA* info) {
  ComDevice device;
  device.port = Utf8(DeviceKeyText(set, info, DIREG_DEV, L"PortName"));
  device.friendlyName = Utf8(DeviceProperty(set, info, SPDRP_FRIENDLYNAME));
  device.hardwareId = Utf8(DeviceProperty(set, info, SPDRP_HARDWAREID));
  device.provider = Utf8(DeviceKeyText(set, info, DIREG_DRV, L"ProviderName"));
  device.driverVersion = Utf8(DeviceKeyText(set, info, DIREG_DRV, L"DriverVersion"));
  device.inDeviceManager = true;
  ULONG status = 0, problem = 0;
  // Only a device that is plugged in has a node with a status.
  device.present = CM_Get_DevNode_Status(&status, &problem, info->DevInst, 0) == CR_SUCCESS;
  if (device.present && (status & DN_HAS_PROBLEM) != 0) device.problemCode = problem;
  return device;
}

void AddDeviceManagerPorts(std::vector<ComDevice>* devices) {
  // Without DIGCF_PRESENT: adapters unplugged now are listed too.
  const HDEVINFO set = SetupDiGetClassDevsW(&kPortsClass, nullptr, nullptr, 0);
  if (set == INVALID_HANDLE_VALUE) return;
  SP_DEVINFO_DATA info = {};
  info.cbSize = sizeof info;
  for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &info); ++i) {
    const ComDevice device = DeviceManagerEntry(set, &info);
    // The class holds printer ports (LPT1) too.
    if (!device.port.empty() && !SameName(device.port.substr(0, 3), "LPT")) {
      devices->push_back(device);
    }
  }
  SetupDiDestroyDeviceInfoList(set);
}

// The ports whose drivers are running, by kernel device (\Device\Serial0).
void AddSerialCommPorts(std::vector<ComDevice>* devices) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSerialCommKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return;
  for (DWORD i = 0;; ++i) {
    wchar_t kernelDevice[256] = {};
    DWORD kernelDeviceLength = 255;
    wchar_t port[64] = {};
    DWORD portSize = static_cast<DWORD>(sizeof port - sizeof(wchar_t));
    DWORD type = 0;
    const LONG result = RegEnumValueW(key, i, kernelDevice, &kernelDeviceLength, nullptr, &type,
                                      reinterpret_cast<BYTE*>(port), &portSize);
    if (result == ERROR_NO_MORE_ITEMS) break;
    if (result != ERROR_SUCCESS || type != REG_SZ) continue;
    ComDevice entry;
    entry.port = Utf8(port);
    entry.kernelDevice = Utf8(kernelDevice);
    bool known = false;
    for (ComDevice& device : *devices) {
      if (!SameName(device.port, entry.port)) continue;
      device.kernelDevice = entry.kernelDevice;
      known = true;
    }
    if (!known) devices->push_back(entry);
  }
  RegCloseKey(key);
}

std::vector<ComDevice> ReadComDevices() {
  std::vector<ComDevice> devices;
  AddDeviceManagerPorts(&devices);
  AddSerialCommPorts(&devices);
  return devices;
}

// ---- The list ----

// The facts both platforms list, with the same keys.
PortListing IdentityOf(const ComDevice& device) {
  PortListing listing;
  listing.name = device.port;
  listing.friendlyName = device.friendlyName;
  listing.vendorId = device.vendorId;
  listing.productId = device.productId;
  listing.serial = device.serial;
  listing.location = device.location;
  listing.driver = device.provider;
  return listing;
}

PortListing ListingFor(const ComDevice& device, const OpenResult& opened,
                       const std::string& source) {
  PortListing listing = IdentityOf(device);
  std::vector<Detail>& details = listing.details;
  details.push_back(TextDetail("source", source));
  if (device.inDeviceManager) details.push_back(FlagDetail("present", device.present));
  if (!device.kernelDevice.empty()) details.push_back(TextDetail("device", device.kernelDevice));
  if (!device.hardwareId.empty()) details.push_back(TextDetail("hardware-id", device.hardwareId));
  if (!device.driverVersion.empty()) {
    details.push_back(TextDetail("driver-version", device.driverVersion));
  }
  const DriverWarning* warning = KnownBadDriver(device);
  if (warning != nullptr)
    details.push_back(TextDetail("driver-note", DriverWarningText(*warning, device)));
  if (device.problemCode != 0) {
    details.push_back(NumberDetail("problem-code", device.problemCode));
    const char* meaning = ProblemMeaning(device.problemCode);
    if (meaning != nullptr) details.push_back(TextDetail("problem", meaning));
  }
  const bool opens = opened.handle != INVALID_HANDLE_VALUE;
  details.push_back(FlagDetail("opens", opens));
  if (!opens) {
    details.push_back(TextDetail("open-problem", OpenProblemCode(opened.error)));
    details.push_back(NumberDetail("open-error", opened.error));
  }
  return listing;
}

bool ListedFirst(const PortListing& a, const PortListing& b) { return ComesFirst(a.name, b.name); }

std::wstring Wide(const std::string& utf8) {
  if (utf8.empty()) return {};
  const int length = static_cast<int>(utf8.size());
  const int size = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), length, nullptr, 0);
  if (size <= 0) return {};
  std::wstring out(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), length, &out[0], size);
  return out;
}

}  // namespace

const Win32DoctorCalls kRealWin32DoctorCalls = {
    ::CreateFileW, ::GetCommState, ::GetCommModemStatus, ::GetCommTimeouts,
    ::CloseHandle, ::GetLastError, ReadComDevices,
};

Win32DoctorCalls win32DoctorCalls = kRealWin32DoctorCalls;

PortReport CheckPort(const std::string& port) {
  PortReport report = {port, "", {}};
  const std::string name = ShortName(port);
  PortName portName;
  if (!ConvertPortName(port.c_str(), &portName)) {
    report.problems.push_back(
        MakeProblem("name-too-long", Severity::kBlocks,
                    "Kavnori takes port names of up to " + std::to_string(kPortNameCapacity - 1) +
                        " characters; this one is longer.",
                    "Name the port COM<N>: kavnori-doctor without a port lists them"));
    return report;
  }
  const std::vector<ComDevice> devices = win32DoctorCalls.readComDevices();
  const ComDevice* device = FindDevice(devices, name);
  const std::wstring path = DevicePathFor(portName.text);
  const OpenResult opened = OpenAsKavnori(path);
  if (opened.handle == INVALID_HANDLE_VALUE) {
    if (device != nullptr) report.device = DeviceShown(device, path);
    const bool plain = !IsPortName(port) && std::string(OpenProblemCode(opened.error)) != "missing";
    report.problems.push_back(
        plain ? NotASerialPort(name + " is no serial port: it does not open as one", opened.error)
              : OpenProblem(name, opened.error, device, devices));
    return report;
  }
  report.device = DeviceShown(device, path);
  LineState line = {};
  DWORD error = 0;
  const bool serial = ReadLine(opened.handle, &line, &error);
  win32DoctorCalls.closeHandle(opened.handle);
  if (!serial) {
    report.problems.push_back(NotASerialPort(name + " opens, but it is no serial port: its line "
                                                    "settings cannot be read",
                                             error));
    return report;
  }
  AddLineProblems(name, line, &report.problems);
  if (device != nullptr) AddDriverWarning(name, *device, &report.problems);
  return report;
}

std::vector<PortListing> ListPorts() {
  const std::vector<ComDevice> devices = win32DoctorCalls.readComDevices();
  std::vector<PortListing> ports;
  for (const ComDevice& device : devices) {
    const OpenResult opened = OpenAndRelease(DevicePathFor(Wide(device.port)));
    ports.push_back(
        ListingFor(device, opened, device.inDeviceManager ? "Device Manager" : "SERIALCOMM"));
  }
  // Ports no registry entry names, yet open: Wine maps its COM ports this
  // way, through links in dosdevices.
  for (int number = 1; number <= kHighestComNumber; ++number) {
    ComDevice device;
    device.port = "COM" + std::to_string(number);
    if (FindDevice(devices, device.port) != nullptr) continue;
    const OpenResult opened = OpenAndRelease(DevicePathFor(Wide(device.port)));
    if (opened.handle == INVALID_HANDLE_VALUE &&
        std::string(OpenProblemCode(opened.error)) == "missing") {
      continue;
    }
    ports.push_back(
        ListingFor(device, opened, "no registry entry; opens as \\\\.\\" + device.port));
  }
  std::stable_sort(ports.begin(), ports.end(), ListedFirst);
  return ports;
}

std::vector<PortListing> ListUsbAdapters() {
  std::vector<PortListing> adapters;
  for (const ComDevice& device : win32DoctorCalls.readComDevices()) {
    if (device.inDeviceManager && device.present && !device.vendorId.empty())
      adapters.push_back(IdentityOf(device));
  }
  std::stable_sort(adapters.begin(), adapters.end(), ListedFirst);
  return adapters;
}
