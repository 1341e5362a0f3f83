// Which ports this machine's registry names: Device Manager's Ports class,
// plugged in or not, with each adapter's USB ids, serial number and socket,
// and the SERIALCOMM map of the ports whose drivers run. No port is opened.
#include <windows.h>

#include <cfgmgr32.h>
#include <setupapi.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "doctor/doctor_win32.h"
#include "doctor/serial_chips.h"
#include "doctor/shared_win32.h"
#include "serial/com_name.h"

namespace {

// Device Manager's "Ports (COM & LPT)" class, GUID_DEVCLASS_PORTS.
constexpr GUID kPortsClass = {
    0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
constexpr wchar_t kSerialCommKey[] = L"HARDWARE\\DEVICEMAP\\SERIALCOMM";
// Between a port's node and its adapter's USB device lies at most one node:
// a composite device's interface (&MI_00) or a port of FTDI's bus driver.
constexpr int kLevelsUpToUsbDevice = 1;

// "1a86" of "VID_1A86"; empty unless the token is the prefix and 4 hex digits.
std::string HexId(const std::string& token, const std::string& prefix) {
  if (token.size() != prefix.size() + 4 || !SameName(token.substr(0, prefix.size()), prefix)) {
    return "";
  }
  const std::string id = LowerAscii(token.substr(prefix.size()));
  return id.find_first_not_of("0123456789abcdef") == std::string::npos ? id : "";
}

// ---- The registry's device list ----

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

std::string NodeId(DEVINST node) {
  wchar_t id[MAX_DEVICE_ID_LEN + 1] = {};
  if (CM_Get_Device_IDW(node, id, MAX_DEVICE_ID_LEN, 0) != CR_SUCCESS) return "";
  return Utf8(id);
}

// The USB socket, as Device Manager's Location shows it: Port_#0002.Hub_#0003.
std::string NodeLocation(DEVINST node) {
  wchar_t text[256] = {};
  ULONG type = 0;
  ULONG size = static_cast<ULONG>(sizeof text - sizeof(wchar_t));
  if (CM_Get_DevNode_Registry_PropertyW(node, CM_DRP_LOCATION_INFORMATION, &type, text, &size, 0) !=
          CR_SUCCESS ||
      type != REG_SZ) {
    return "";
  }
  return Utf8(text);
}

// The ids from the port's own node; the serial number and the socket from
// the adapter's whole USB device, which is the port's node (a CH340's) or the
// one above it. An unplugged adapter's node may have no parent to ask.
void AddUsbFacts(DEVINST node, ComDevice* device) {
  for (int level = 0; level <= kLevelsUpToUsbDevice; ++level) {
    const UsbIdentity identity = UsbIdentityOf(NodeId(node));
    if (identity.vendorId.empty()) return;  // not on USB: ACPI\PNP0501, a virtual port
    if (device->vendorId.empty()) {
      device->vendorId = identity.vendorId;
      device->productId = identity.productId;
      device->usbInterface = identity.usbInterface;
    }
    if (identity.wholeDevice) {
      device->serial = identity.serial;
      device->location = NodeLocation(node);
      return;
    }
    DEVINST parent = 0;
    if (CM_Get_Parent(&parent, node, 0) != CR_SUCCESS) return;
    node = parent;
  }
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
  AddUsbFacts(info->DevInst, &device);
  return device;
}

// The device at INDEX of a set; false past the last.
bool DeviceAt(HDEVINFO set, DWORD index, SP_DEVINFO_DATA* info) {
  *info = {};
  info->cbSize = sizeof *info;
  return SetupDiEnumDeviceInfo(set, index, info) != FALSE;
}

void AddDeviceManagerPorts(std::vector<ComDevice>* devices) {
  // Without DIGCF_PRESENT: adapters unplugged now are listed too.
  const HDEVINFO set = SetupDiGetClassDevsW(&kPortsClass, nullptr, nullptr, 0);
  if (set == INVALID_HANDLE_VALUE) return;
  SP_DEVINFO_DATA info;
  for (DWORD i = 0; DeviceAt(set, i, &info); ++i) {
    const ComDevice device = DeviceManagerEntry(set, &info);
    // The class holds printer ports (LPT1) too.
    const std::string printer = "LPT";
    if (!device.port.empty() && !SameName(device.port.substr(0, printer.size()), printer)) {
      devices->push_back(device);
    }
  }
  SetupDiDestroyDeviceInfoList(set);
}

// A communications-class (CDC ACM) device: what its compatible ids say.
bool IsAcmDevice(HDEVINFO set, SP_DEVINFO_DATA* info) {
  const std::string compatible = LowerAscii(Utf8(DeviceProperty(set, info, SPDRP_COMPATIBLEIDS)));
  return compatible.rfind("usb\\class_02&subclass_02", 0) == 0;
}

bool SameAdapter(const ComDevice& a, const ComDevice& b) {
  return a.port.empty() && a.vendorId == b.vendorId && a.productId == b.productId &&
         a.serial == b.serial && a.location == b.location;
}

// USB serial adapters plugged in whose problem code leaves them no COM
// port: with no driver they are in no Ports class but in Other devices, so
// all classes are walked, of the USB bus and of FTDI's.
void AddAdaptersWithoutPort(std::vector<ComDevice>* devices) {
  for (const wchar_t* enumerator : {L"USB", L"FTDIBUS"}) {
    const HDEVINFO set =
        SetupDiGetClassDevsW(nullptr, enumerator, nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) continue;
    SP_DEVINFO_DATA info;
    for (DWORD i = 0; DeviceAt(set, i, &info); ++i) {
      ULONG status = 0, problem = 0;
      if (CM_Get_DevNode_Status(&status, &problem, info.DevInst, 0) != CR_SUCCESS ||
          (status & DN_HAS_PROBLEM) == 0 || problem == 0 ||
          !DeviceKeyText(set, &info, DIREG_DEV, L"PortName").empty()) {
        continue;
      }
      ComDevice device;
      device.friendlyName = Utf8(DeviceProperty(set, &info, SPDRP_FRIENDLYNAME));
      if (device.friendlyName.empty()) {
        device.friendlyName = Utf8(DeviceProperty(set, &info, SPDRP_DEVICEDESC));
      }
      device.hardwareId = Utf8(DeviceProperty(set, &info, SPDRP_HARDWAREID));
      device.inDeviceManager = true;
      device.problemCode = problem;
      AddUsbFacts(info.DevInst, &device);
      const bool serial =
          !ChipDriverName(device.vendorId, device.productId).empty() || IsAcmDevice(set, &info);
      bool known = false;
      for (const ComDevice& listed : *devices) known = known || SameAdapter(listed, device);
      if (serial && !known) devices->push_back(device);
    }
    SetupDiDestroyDeviceInfoList(set);
  }
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

}  // namespace

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

std::wstring Wide(const std::string& utf8) {
  if (utf8.empty()) return {};
  const int length = static_cast<int>(utf8.size());
  const int size = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), length, nullptr, 0);
  if (size <= 0) return {};
  std::wstring out(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), length, &out[0], size);
  return out;
}

bool SameName(const std::string& a, const std::string& b) { return LowerAscii(a) == LowerAscii(b); }

int ComNumber(const std::string& name) {
  const std::size_t mostDigits = 3;  // COM1 to COM999
  if (name.size() > kComPrefixLength + mostDigits || !IsComName(name.c_str())) return 0;
  return std::atoi(name.c_str() + kComPrefixLength);
}

bool ComesFirst(const std::string& a, const std::string& b) {
  const int first = ComNumber(a), second = ComNumber(b);
  if (first != second) return first != 0 && (second == 0 || first < second);
  return a < b;
}

const ComDevice* FindDevice(const std::vector<ComDevice>& devices, const std::string& name) {
  const ComDevice* match = nullptr;
  for (const ComDevice& device : devices) {
    if (SameName(device.port, name) && (match == nullptr || !match->present)) match = &device;
  }
  return match;
}

// ---- USB ids ----

UsbIdentity UsbIdentityOf(const std::string& instanceId) {
  const std::vector<std::string> parts = Split(instanceId, '\\');
  const bool usb = SameName(parts[0], "USB");
  // FTDI's bus driver names each port of a chip by the chip's serial number
  // with a port letter after it, A on a single-port chip too. Whether the
  // last letter is that or the serial number's own cannot be told from the
  // id, so the serial number comes from the USB device above it.
  const bool ftdi = SameName(parts[0], "FTDIBUS");
  if (parts.size() < 2 || (!usb && !ftdi)) return {};
  UsbIdentity identity;
  bool function = false;
  for (const std::string& token : Split(parts[1], usb ? '&' : '+')) {
    if (identity.vendorId.empty()) identity.vendorId = HexId(token, "VID_");
    if (identity.productId.empty()) identity.productId = HexId(token, "PID_");
    const std::string functionMark = "MI_";
    const bool ofFunction = SameName(token.substr(0, functionMark.size()), functionMark);
    if (ofFunction) identity.usbInterface = LowerAscii(token.substr(functionMark.size()));
    function = function || ofFunction;
  }
  // The port letter is the chip's interface: A is 00, D (an FT4232's last) 03.
  const char letter = ftdi && !parts[1].empty() ? parts[1].back() : '\0';
  if (letter >= 'A' && letter <= 'D')
    identity.usbInterface = {'0', static_cast<char>(letter - 'A' + '0')};
  if (identity.vendorId.empty() || identity.productId.empty()) return {};
  identity.wholeDevice = usb && !function;
  // A device with no serial number gets an instance that Windows makes up,
  // which holds '&': 5&2A3B4C5D&0&2.
  if (identity.wholeDevice && parts.size() == 3 && !parts[2].empty() &&
      parts[2].find('&') == std::string::npos) {
    identity.serial = parts[2];
  }
  return identity;
}

std::vector<ComDevice> ReadComDevices() {
  std::vector<ComDevice> devices;
  AddDeviceManagerPorts(&devices);
  AddSerialCommPorts(&devices);
  AddAdaptersWithoutPort(&devices);
  return devices;
}

std::string ChipDriverName(const std::string& vendorId, const std::string& productId) {
  const SerialChip* chip = FindSerialChip(vendorId, productId);
  return chip == nullptr ? "" : chip->windowsDriver;
}
