// The check of one port: may Kavnori open it, does another program hold it,
// is its driver right; its line is line_win32.cpp's.
#include "doctor/doctor_win32.h"

#include <windows.h>

#include <cfgmgr32.h>

#include <string>
#include <vector>

#include "doctor/doctor.h"
#include "doctor/shared_win32.h"
#include "serial/port_name.h"
#include "serial/serial_port.h"
#include "serial/serial_port_win32.h"

namespace {

// COM5 for COM5 and \\.\COM5: the name Device Manager and mode use.
std::string ShortName(const std::string& port) {
  const std::string devicePrefix = "\\\\.\\";
  return port.compare(0, devicePrefix.size(), devicePrefix) == 0 ? port.substr(devicePrefix.size())
                                                                 : port;
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

// ---- Problems ----

// The name Device Manager shows for the port.
std::string DeviceManagerName(const ComDevice* device, const std::string& name) {
  return device != nullptr && !device->friendlyName.empty() ? device->friendlyName : name;
}

Problem& AddMissing(PortReport* report, const std::string& name, DWORD error,
                    const ComDevice* device, const std::vector<ComDevice>& devices) {
  if (device != nullptr && !device->present) {
    const std::string adapter = device->friendlyName.empty() ? "an adapter" : device->friendlyName;
    return AddProblem(
        report, ProblemCode::kMissing,
        name + " belongs to " + adapter + ", which is not plugged in" + ErrorSuffix(error) + ".",
        "plug the adapter into the USB socket it had: Windows gives each socket its own COM "
        "number");
  }
  const std::string others = PortsToOffer(devices);
  return AddProblem(report, ProblemCode::kMissing,
                    "There is no port " + name + " on this machine" + ErrorSuffix(error) + ".",
                    others.empty() ? "plug the relay board's adapter in; Device Manager > Ports "
                                     "(COM & LPT) then shows its COM number"
                                   : "name one of the ports there are: " + others +
                                         " (kavnori-doctor without a port describes each)");
}

Problem& AddDeviceError(PortReport* report, const std::string& name, DWORD error,
                        const ComDevice* device) {
  std::string message = name + "'s device or driver reports a fault" + ErrorSuffix(error);
  const unsigned long code = device != nullptr ? device->problemCode : 0;
  if (code != 0) {
    message += "; Device Manager marks it yellow, Code " + std::to_string(code);
    if (ProblemMeaning(code) != nullptr) message += std::string(": ") + ProblemMeaning(code);
  }
  Problem& problem = AddProblem(
      report, ProblemCode::kDeviceError, message + ".",
      "unplug the adapter and plug it in again; if the fault stays, Device Manager > Ports (COM & "
      "LPT) > " +
          DeviceManagerName(device, name) +
          " > Properties says why, and Update driver reinstalls it");
  if (code != 0) problem.details.push_back(NumberDetail("problem-code", code));
  return problem;
}

void AddOpenProblem(PortReport* report, const std::string& name, DWORD error,
                    const ComDevice* device, const std::vector<ComDevice>& devices) {
  const ProblemCode code = OpenProblemCode(error);
  // A driver that failed to start leaves no port to open: the fault is the device's.
  const bool faulty = device != nullptr && device->present && device->problemCode != 0;
  Problem* problem = nullptr;
  if (code == ProblemCode::kMissing && !faulty) {
    problem = &AddMissing(report, name, error, device, devices);
    problem->details.insert(problem->details.begin(), NumberDetail("error", error));
    // Plugged in without a port: most likely the board's adapter.
    for (const ComDevice& adapter : devices) {
      if (!adapter.port.empty() || !adapter.present) continue;
      const Problem why = PortlessProblem(adapter);
      AddProblem(report, why.code, why.message, why.fix).details = why.details;
    }
    return;
  } else if (code == ProblemCode::kInUse) {
    problem = &AddProblem(
        report, ProblemCode::kInUse,
        name + " is open in another program: Windows lets one program at a time use a COM port" +
            ErrorSuffix(error) + ".",
        "close the program that holds it (a serial terminal such as PuTTY, the Arduino serial "
        "monitor, another Kavnori run), then run again");
  } else {
    problem = &AddDeviceError(report, name, error, device);
  }
  problem->details.insert(problem->details.begin(), NumberDetail("error", error));
}

void AddNotASerialPort(PortReport* report, const std::string& what, DWORD error) {
  AddProblem(report, ProblemCode::kNotASerialPort, what + ErrorSuffix(error) + ".",
             "name the relay board's COM port: kavnori-doctor without a port lists them")
      .details.push_back(NumberDetail("error", error));
}

// Names other than COM<N> and device paths (\\.\, \\?\): a folder, CON, a
// file. Their failed opens tell of no port in use and no driver at fault.
bool IsPortName(const std::string& port) {
  return ComNumber(ShortName(port)) != 0 || port.rfind("\\\\", 0) == 0;
}

void AddDriverWarning(PortReport* report, const std::string& name, const ComDevice& device) {
  const std::string warning = DriverWarningText(device);
  if (warning.empty()) return;
  AddProblem(report, ProblemCode::kDriverVersion, warning + ".",
             "Device Manager > Ports (COM & LPT) > " + DeviceManagerName(&device, name) +
                 " > Properties > Driver > Roll Back Driver (or Update driver > Browse > Let me "
                 "pick)");
}

// The device a report names: Device Manager's name, else the kernel's, else the path.
std::string ReportedDevice(const ComDevice* device, const wchar_t* path) {
  if (device != nullptr && !device->friendlyName.empty()) return device->friendlyName;
  if (device != nullptr && !device->kernelDevice.empty()) return device->kernelDevice;
  return Utf8(path);
}

}  // namespace

// ---- Opening ----

// As Kavnori opens it: the open fails while another program holds the port.
// Opening raises DTR and RTS, as any open.
OpenResult OpenAsKavnori(const wchar_t (&path)[kDevicePathCapacity]) {
  HANDLE handle = win32DoctorCalls.createFileW(path, kPortAccess, kPortShareMode, nullptr,
                                               OPEN_EXISTING, 0, nullptr);
  const DWORD error = win32DoctorCalls.getLastError();
  return {handle, handle == INVALID_HANDLE_VALUE ? error : 0};
}

OpenResult OpenAndRelease(const std::string& name) {
  const std::wstring wide = Wide(name);
  PortName portName;
  // A name Kavnori could not be given is one it cannot open.
  if (wide.size() >= kPortNameCapacity) return {INVALID_HANDLE_VALUE, ERROR_FILENAME_EXCED_RANGE};
  for (std::size_t i = 0; i <= wide.size(); ++i) portName.text[i] = wide.c_str()[i];
  wchar_t path[kDevicePathCapacity];
  DevicePathFor(portName, path);
  const OpenResult opened = OpenAsKavnori(path);
  if (opened.handle != INVALID_HANDLE_VALUE) win32DoctorCalls.closeHandle(opened.handle);
  return opened;
}

ProblemCode OpenProblemCode(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
      return ProblemCode::kMissing;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY:
      return ProblemCode::kInUse;
    case ERROR_FILENAME_EXCED_RANGE:
      return ProblemCode::kNameTooLong;
    default:  // 31 and the other faults of a device or its driver
      return ProblemCode::kDeviceError;
  }
}

std::string ErrorSuffix(DWORD error) { return " (error " + std::to_string(error) + ")"; }

// ---- The driver ----

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
    case CM_PROB_UNSIGNED_DRIVER:
      return "Windows cannot verify its driver's digital signature";
    default:
      return nullptr;
  }
}

Problem PortlessProblem(const ComDevice& device) {
  const std::string id = device.vendorId + ":" + device.productId;
  const std::string shown = device.friendlyName.empty() ? id : device.friendlyName;
  const std::string code = std::to_string(device.problemCode);
  const char* meaning = ProblemMeaning(device.problemCode);
  const std::string chipDriver = ChipDriverName(device.vendorId, device.productId);
  const std::string properties = "Device Manager > " + shown + " > Properties";
  Problem problem{device.problemCode == CM_PROB_FAILED_INSTALL ? ProblemCode::kNoDriver
                                                               : ProblemCode::kDeviceError,
                  "The USB adapter " +
                      (device.friendlyName.empty() ? id : shown + " (" + id + ")") +
                      " has no COM port: Device Manager " + "shows it with Code " + code +
                      (meaning ? std::string(": ") + meaning : "") + ".",
                  "",
                  {NumberDetail("problem-code", device.problemCode)}};
  switch (device.problemCode) {
    case CM_PROB_FAILED_INSTALL:
      problem.fix = "install " + (chipDriver.empty() ? "the adapter maker's driver" : chipDriver) +
                    ", or let Windows look for one: Device Manager > Other devices > " + shown +
                    " > Update driver > Search automatically for drivers";
      break;
    case CM_PROB_FAILED_START:
      problem.fix = "unplug the adapter and plug it in again; if Code 10 stays, " + properties +
                    " > Driver > Update driver (a driver that does not fit the chip fails so)";
      break;
    case CM_PROB_FAILED_POST_START:
      problem.fix =
          "unplug the adapter and plug it into another USB socket, not through a hub; "
          "if Code 43 stays, the adapter or its cable is faulty";
      break;
    case CM_PROB_UNSIGNED_DRIVER:
      problem.fix = "Windows loads no unsigned driver: install a signed release of " +
                    (chipDriver.empty() ? "the adapter maker's driver" : chipDriver) + " (" +
                    properties + " > Driver > Update driver)";
      break;
    default:
      problem.fix = properties + " says why; Update driver reinstalls it";
  }
  return problem;
}

std::string DriverWarningText(const ComDevice& device) {
  for (const DriverWarning& warning : kDriverWarnings) {
    const std::string version = warning.version;
    if (LowerAscii(device.provider).find(warning.provider) != std::string::npos &&
        device.driverVersion.compare(0, version.size(), version) == 0) {
      return std::string(warning.chip) + " driver " + device.driverVersion +
             " is known to fail with some " + warning.chip +
             " chips: the port opens and the board gets nothing";
    }
  }
  return "";
}

// ---- The check ----

const Win32DoctorCalls kRealWin32DoctorCalls = {
    ::CreateFileW,    ::GetCommState, ::GetCommModemStatus, ::GetCommTimeouts,
    ::ClearCommError, ::CloseHandle,  ::GetLastError,       ReadComDevices,
};

Win32DoctorCalls win32DoctorCalls = kRealWin32DoctorCalls;

PortReport CheckPort(const std::string& port) {
  PortReport report = {port, "", {}};
  const std::string name = ShortName(port);
  PortName portName;
  if (!ConvertPortName(port.c_str(), &portName)) {
    AddProblem(&report, ProblemCode::kNameTooLong,
               "Kavnori takes port names of up to " + std::to_string(kPortNameCapacity - 1) +
                   " characters; this one is longer.",
               "name the port COM<N>: kavnori-doctor without a port lists them");
    return report;
  }
  const std::vector<ComDevice> devices = win32DoctorCalls.readComDevices();
  const ComDevice* device = FindDevice(devices, name);
  wchar_t path[kDevicePathCapacity];
  DevicePathFor(portName, path);
  const OpenResult opened = OpenAsKavnori(path);
  if (opened.handle == INVALID_HANDLE_VALUE) {
    if (device != nullptr) report.device = ReportedDevice(device, path);
    if (!IsPortName(port) && OpenProblemCode(opened.error) != ProblemCode::kMissing) {
      AddNotASerialPort(&report, name + " is no serial port: it does not open as one",
                        opened.error);
    } else {
      AddOpenProblem(&report, name, opened.error, device, devices);
    }
    return report;
  }
  report.device = ReportedDevice(device, path);
  DWORD error = 0;
  const bool serial = CheckLine(&report, name, opened.handle, &error);
  win32DoctorCalls.closeHandle(opened.handle);
  if (!serial) {
    AddNotASerialPort(&report,
                      name + " opens, but it is no serial port: its line settings cannot be read",
                      error);
    return report;
  }
  if (device != nullptr) AddDriverWarning(&report, name, *device);
  return report;
}
