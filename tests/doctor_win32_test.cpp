#include <windows.h>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "doctor/doctor.h"
#include "doctor/doctor_win32.h"

namespace {

// The machine the fake stands for: its device list, the paths that open (0)
// or fail with a code (a path not named: ERROR_FILE_NOT_FOUND), the line an
// open port shows; then what the doctor asked of it.
struct FakeMachine {
  std::vector<ComDevice> devices;
  std::map<std::wstring, DWORD> openErrors;
  DCB settings = {};
  COMMTIMEOUTS timeouts = {};
  COMSTAT status = {};
  DWORD readError = 0, modem = 0, modemError = 0, lastError = 0;
  std::vector<std::wstring> opened;
  DWORD share = 0xFFFFFFFF, disposition = 0;
  int handlesHeld = 0;
};
FakeMachine fake;

BOOL Result(DWORD error) { return (fake.lastError = error) == 0; }
HANDLE WINAPI FakeCreateFileW(LPCWSTR path, DWORD, DWORD share, LPSECURITY_ATTRIBUTES,
                              DWORD disposition, DWORD, HANDLE) {
  fake.opened.push_back(path);
  fake.share = share;
  fake.disposition = disposition;
  const auto known = fake.openErrors.find(path);
  if (!Result(known == fake.openErrors.end() ? ERROR_FILE_NOT_FOUND : known->second)) {
    return INVALID_HANDLE_VALUE;
  }
  return reinterpret_cast<HANDLE>(static_cast<INT_PTR>(++fake.handlesHeld));
}
template <typename T>
BOOL Give(T* to, const T& value, DWORD error) {
  *to = value;
  return Result(error);
}
BOOL WINAPI FakeCommState(HANDLE, LPDCB to) { return Give(to, fake.settings, fake.readError); }
BOOL WINAPI FakeModemStatus(HANDLE, LPDWORD to) { return Give(to, fake.modem, fake.modemError); }
BOOL WINAPI FakeTimeouts(HANDLE, LPCOMMTIMEOUTS to) { return Give(to, fake.timeouts, 0); }
BOOL WINAPI FakeCommError(HANDLE, LPDWORD, LPCOMSTAT to) { return Give(to, fake.status, 0); }
BOOL WINAPI FakeCloseHandle(HANDLE) { return --fake.handlesHeld >= 0; }
DWORD WINAPI FakeGetLastError() { return fake.lastError; }
std::vector<ComDevice> FakeDevices() { return fake.devices; }

// Each test, and each case of a table, starts on a new fake machine.
class DoctorWin32 : public testing::Test {
 protected:
  void SetUp() override {
    fake = FakeMachine();
    win32DoctorCalls = {FakeCreateFileW, FakeCommState,   FakeModemStatus,  FakeTimeouts,
                        FakeCommError,   FakeCloseHandle, FakeGetLastError, FakeDevices};
  }
  void TearDown() override { win32DoctorCalls = kRealWin32DoctorCalls; }
};

std::string Joined(const std::vector<Detail>& details) {
  std::string text;
  for (const Detail& d : details) text += " " + d.key + "=" + d.value;
  return text;
}

// "code/severity details; ..." for each problem.
std::string Summary(const PortReport& report) {
  const char* const severities[] = {"blocks", "may-hold", "note"};
  std::string text;
  for (const Problem& p : report.problems) {
    text += (text.empty() ? "" : "; ") + std::string(ProblemName(p.code)) + "/" +
            severities[static_cast<int>(SeverityOf(p.code))] + Joined(p.details);
  }
  return text;
}

// Opened as Kavnori opens it, exclusively and never created, before any
// port a missing one's fix offers; released; each failure named.
TEST_F(DoctorWin32, OpenErrorsNameTheProblem) {
  struct Case {
    const char* typed;
    const wchar_t* path;
    DWORD openError, readError;
    const char* problems;
  };
  const Case cases[] = {
      {"COM5", L"\\\\.\\COM5", 0, 0, ""},
      {"\\\\.\\COM12", L"\\\\.\\COM12", 0, 0, ""},
      {"com7", L"\\\\.\\com7", ERROR_FILE_NOT_FOUND, 0, "missing/blocks error=2"},
      {"COM5", L"\\\\.\\COM5", ERROR_PATH_NOT_FOUND, 0, "missing/blocks error=3"},
      {"COM5", L"\\\\.\\COM5", ERROR_ACCESS_DENIED, 0, "in-use/blocks error=5"},
      {"COM5", L"\\\\.\\COM5", ERROR_SHARING_VIOLATION, 0, "in-use/blocks error=32"},
      {"COM5", L"\\\\.\\COM5", ERROR_GEN_FAILURE, 0, "device-error/blocks error=31"},
      {"COM5", L"\\\\.\\COM5", ERROR_DEVICE_NOT_CONNECTED, 0, "device-error/blocks error=1167"},
      {"NUL", L"NUL", 0, ERROR_INVALID_HANDLE, "not-a-serial-port/blocks error=6"},
      {"C:\\Windows", L"C:\\Windows", 5, 0, "not-a-serial-port/blocks error=5"},
      {"CON", L"CON", ERROR_INVALID_PARAMETER, 0, "not-a-serial-port/blocks error=87"},
      {"\\\\.\\CNCA0", L"\\\\.\\CNCA0", 5, 0, "in-use/blocks error=5"},
      {"COM12345678901234567890123456789", nullptr, 0, 0, "name-too-long/blocks"},
  };
  for (const Case& c : cases) {
    SetUp();
    if (c.path != nullptr) fake.openErrors[c.path] = c.openError;
    fake.readError = c.readError;
    EXPECT_EQ(Summary(CheckPort(c.typed)), c.problems) << c.typed;
    EXPECT_EQ(fake.opened.empty() ? L"" : fake.opened.front(), c.path ? c.path : L"");
    EXPECT_EQ(fake.share + fake.disposition, c.path ? OPEN_EXISTING : 0xFFFFFFFF);
    EXPECT_EQ(fake.handlesHeld, 0);
  }
}

// What the driver holds, and what it means for a run's write.
TEST_F(DoctorWin32, LineSettingsThatHoldOrCutAWrite) {
  struct Case {
    bool cts, dsr, xon, xoffHeld;
    DWORD modem, modemError, perByte, constant;
    const char *problems, *modeOptions;  // of the first problem's fix
  };
  const Case cases[] = {
      {0, 0, 0, 0, 0, 0, 0, 0, "", nullptr},
      {1, 1, 0, 0, MS_CTS_ON | MS_DSR_ON, 0, 0, 0, "", nullptr},
      {1, 0, 0, 0, MS_DSR_ON, 0, 0, 0, "hardware-flow/may-hold; write-timeouts/note", "octs=off"},
      {1, 1, 0, 0, MS_CTS_ON, 0, 0, 0, "hardware-flow/may-hold; write-timeouts/note", "odsr=off"},
      {1, 1, 0, 0, 0, 50, 0, 0, "hardware-flow/may-hold error=50; write-timeouts/note",
       "octs=off odsr=off"},
      {1, 0, 0, 0, 0, 0, 0, 1000, "hardware-flow/may-hold", "octs=off"},
      {0, 0, 1, 0, 0, 0, 0, 0, "software-flow/note; write-timeouts/note", "xon=off"},
      {0, 0, 1, 1, 0, 0, 0, 0,
       "held-now/may-hold queued=0; software-flow/note; write-timeouts/note", "xon=off"},
      {0, 0, 0, 0, 0, 0, 1, 0, "write-timeouts/note milliseconds=8", nullptr},
      {0, 0, 0, 0, 0, 0, 0, 8, "write-timeouts/note milliseconds=8", nullptr},
      {0, 0, 0, 0, 0, 0, 0, 9, "", nullptr},
  };
  for (const Case& c : cases) {
    SetUp();
    fake.openErrors[L"\\\\.\\COM5"] = 0;
    fake.settings.fOutxCtsFlow = c.cts;
    fake.settings.fOutxDsrFlow = c.dsr;
    fake.settings.fOutX = c.xon;
    fake.status.fXoffHold = c.xoffHeld;
    fake.modem = c.modem;
    fake.modemError = c.modemError;
    fake.timeouts = {0, 0, 0, c.perByte, c.constant};
    const PortReport report = CheckPort("COM5");
    EXPECT_EQ(Summary(report), c.problems) << &c - cases;
    if (c.modeOptions != nullptr) {
      EXPECT_EQ(report.problems.at(0).fix, std::string("mode COM5 ") + c.modeOptions);
    }
    EXPECT_EQ(fake.handlesHeld, 0);
  }
}

// Device Manager's entries, SERIALCOMM's, and a port only an open finds.
TEST_F(DoctorWin32, DeviceListShapesTheListAndTheChecks) {
  // An unplugged adapter may keep the name of the one plugged in now.
  fake.devices = {
      {"COM5", "USB-SERIAL CH340 (COM5)", "", "1a86", "7523", "", "", "", "", "", true, false, 0},
      {"COM5", "USB-SERIAL CH340 (COM5)", "", "1a86", "7523", "", "Port_#0002.Hub_#0003", "wch.cn",
       "3.8.2023.2", "", true, true, 0},
      {"COM3", "Prolific USB-to-Serial (COM3)", "", "", "", "", "", "", "", "", true, false, 0},
      {"COM9", "USB Serial Port (COM9)", "", "", "", "", "", "", "", "", true, true, 10},
      {"COM1", "", "", "", "", "", "", "", "", "\\Device\\Serial0", false, true, 0},
      // Plugged in with no COM port: a CP210x without its driver, an FTDI stopped.
      {"", "CP2102 USB to UART", "", "10c4", "ea60", "", "Port_#0004.Hub_#0001", "", "", "", true,
       true, 28},
      {"", "", "", "0403", "6001", "A9Z3", "", "", "", "", true, true, 43}};
  fake.openErrors = {
      {L"\\\\.\\COM5", 0}, {L"\\\\.\\COM1", ERROR_ACCESS_DENIED}, {L"\\\\.\\COM12", 0}};
  const std::vector<PortListing> ports = ListPorts();
  const std::string listed[] = {
      "COM1 source=SERIALCOMM device=\\Device\\Serial0 opens=false open-problem=in-use "
      "open-error=5",
      "COM3 source=Device Manager present=false opens=false "
      "open-problem=missing open-error=2",
      "COM5 source=Device Manager present=false opens=true",
      "COM5 source=Device Manager present=true driver-version=3.8.2023.2 driver-note=CH340 driver "
      "3.8.2023.2 is "
      "known to fail with some CH340 chips: the port opens and the board gets nothing opens=true",
      "COM9 source=Device Manager present=true problem-code=10 "
      "problem=the device cannot start opens=false open-problem=missing open-error=2",
      "COM12 source=no registry entry; opens as \\\\.\\COM12 opens=true",
      " source=Device Manager present=true problem-code=28 problem=no driver is installed "
      "no-port=no-driver",
      " source=Device Manager present=true problem-code=43 problem=Windows stopped it after it "
      "reported problems no-port=device-error",
  };
  ASSERT_EQ(ports.size(), 8u);
  for (std::size_t i = 0; i < 8; ++i)
    EXPECT_EQ(ports[i].name + Joined(ports[i].details) +
                  (ports[i].noPort.code == ProblemCode::kNone
                       ? ""
                       : " no-port=" + std::string(ProblemName(ports[i].noPort.code))),
              listed[i]);
  // The present device is the one checked; one that fails to start is at fault.
  const char* const checks[][2] = {
      {"COM3",
       "missing/blocks error=2; no-driver/blocks problem-code=28; device-error/blocks "
       "problem-code=43"},
      {"COM9", "device-error/blocks error=2 problem-code=10"},
      {"COM5", "driver-version/note"},
  };
  for (const auto& check : checks) EXPECT_EQ(Summary(CheckPort(check[0])), check[1]);
  EXPECT_EQ(CheckPort("COM5").device, "USB-SERIAL CH340 (COM5)");
  EXPECT_EQ(CheckPort("COM77").problems.at(0).fix,
            "name one of the ports there are: COM1, COM5, COM9, COM12 (kavnori-doctor without a "
            "port describes each)");
  EXPECT_EQ(fake.handlesHeld, 0);
  fake.opened.clear();     // --find: adapters plugged in now only; no port opened
  std::string out, error;  // not two: the unplugged one has the same ids
  for (const char* find : {"1A86:7523", "at:port_#0002.hub_#0003"}) {
    EXPECT_EQ(FindAdapter(find, ListUsbAdapters(false), OutputFormat::kText, &out, &error),
              kFindOne);
    EXPECT_EQ(out, "COM5\n") << find;
  }
  EXPECT_EQ(FindAdapter("1a86:7523:X", ListUsbAdapters(false), OutputFormat::kText, &out, &error),
            kFindNone);  // the port-less CP210x is listed, with why
  EXPECT_NE(error.find("  (no port: no-driver)  10c4:ea60 (no serial number)  at:Port_#0004"),
            std::string::npos);
  EXPECT_EQ(FindAdapter("0403:6001", ListUsbAdapters(false), OutputFormat::kText, &out, &error),
            kFindNone);
  EXPECT_EQ(error,
            "kavnori-doctor: the adapter 0403:6001 is plugged in but has no port: The USB "
            "adapter 0403:6001 has no COM port: Device Manager shows it with "
            "Code 43: Windows stopped it after it reported problems.\n  fix: unplug the "
            "adapter and plug it into another USB socket, not through a hub; if Code 43 "
            "stays, the adapter or its cable is faulty\n");
  EXPECT_TRUE(fake.opened.empty());
}

// The USB ids, and a serial number only where the device reports one.
TEST(DoctorWin32Usb, InstanceIdsGiveIdsAndSerial) {
  const char* const cases[][2] = {
      {"USB\\VID_1A86&PID_7523\\5&2A3B4C5D&0&2", "1a86:7523 serial= whole"},
      {"USB\\VID_0403&PID_6001\\A9Z3XYZA", "0403:6001 serial=A9Z3XYZA whole"},
      {"FTDIBUS\\VID_0403+PID_6001+A9Z3XYZAA\\0000", "0403:6001 serial= if00"},
      {"FTDIBUS\\VID_0403+PID_6011+FT4ABCC\\0000", "0403:6011 serial= if02"},
      {"USB\\VID_2E8A&PID_000A&MI_00\\7&1B2C3D&0&0000", "2e8a:000a serial= if00"},
      {"USB\\VID_10C4&PID_EA70&MI_01\\6&2A3B4C5D&0&0001", "10c4:ea70 serial= if01"},
      {"ACPI\\PNP0501\\1", ": serial="},
  };
  for (const auto& c : cases) {
    const UsbIdentity id = UsbIdentityOf(c[0]);
    EXPECT_EQ(id.vendorId + ":" + id.productId + " serial=" + id.serial +
                  (id.wholeDevice ? " whole" : "") +
                  (id.usbInterface.empty() ? "" : " if" + id.usbInterface),
              c[1]);
  }
}

}  // namespace
