#include <windows.h>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "doctor/doctor.h"
#include "doctor/doctor_win32.h"

namespace {

HANDLE const kPortHandle = reinterpret_cast<HANDLE>(static_cast<INT_PTR>(0x64));

// The machine the fake stands for: its device list, the paths that open
// (0) or fail with a code (any path not named: ERROR_FILE_NOT_FOUND), and
// the line an open port shows. Below it, what the doctor asked.
struct FakeMachine {
  std::vector<ComDevice> devices;
  std::map<std::wstring, DWORD> openErrors;
  DWORD settingsError = 0;
  DCB settings = {};
  DWORD modem = 0;
  DWORD modemError = 0;
  COMMTIMEOUTS timeouts = {};
  std::vector<std::wstring> opened;
  DWORD share = 0xFFFFFFFF, disposition = 0;
  int handlesHeld = 0;
  DWORD lastError = 0;
};
FakeMachine fake;

HANDLE WINAPI FakeCreateFileW(LPCWSTR path, DWORD, DWORD share, LPSECURITY_ATTRIBUTES,
                              DWORD disposition, DWORD, HANDLE) {
  fake.opened.push_back(path);
  fake.share = share;
  fake.disposition = disposition;
  const auto known = fake.openErrors.find(path);
  fake.lastError = known == fake.openErrors.end() ? ERROR_FILE_NOT_FOUND : known->second;
  if (fake.lastError != 0) return INVALID_HANDLE_VALUE;
  ++fake.handlesHeld;
  return kPortHandle;
}
BOOL WINAPI FakeGetCommState(HANDLE, LPDCB settings) {
  *settings = fake.settings;
  fake.lastError = fake.settingsError;
  return fake.settingsError == 0;
}
BOOL WINAPI FakeGetCommModemStatus(HANDLE, LPDWORD modem) {
  *modem = fake.modem;
  fake.lastError = fake.modemError;
  return fake.modemError == 0;
}
BOOL WINAPI FakeGetCommTimeouts(HANDLE, LPCOMMTIMEOUTS timeouts) {
  *timeouts = fake.timeouts;
  return TRUE;
}
BOOL WINAPI FakeCloseHandle(HANDLE) { return --fake.handlesHeld >= 0; }
DWORD WINAPI FakeGetLastError() { return fake.lastError; }
std::vector<ComDevice> FakeDevices() { return fake.devices; }

void InstallFake() {
  fake = FakeMachine();
  win32DoctorCalls = {FakeCreateFileW,     FakeGetCommState, FakeGetCommModemStatus,
                      FakeGetCommTimeouts, FakeCloseHandle,  FakeGetLastError,
                      FakeDevices};
}

class DoctorWin32 : public testing::Test {
 protected:
  void SetUp() override { InstallFake(); }
  void TearDown() override { win32DoctorCalls = kRealWin32DoctorCalls; }
};

std::string Codes(const PortReport& report) {
  std::string codes;
  for (const Problem& problem : report.problems) codes += (codes.empty() ? "" : " ") + problem.code;
  return codes;
}

std::string Joined(const std::vector<Detail>& details) {
  std::string text;
  for (const Detail& detail : details)
    text += (text.empty() ? "" : " ") + detail.key + "=" + detail.value;
  return text;
}

// The port is opened as Kavnori opens it, released, and each failure named.
TEST_F(DoctorWin32, OpenErrorsNameTheProblem) {
  struct Case {
    const char* typed;
    const wchar_t* path;
    DWORD openError, settingsError;
    const char* codes;
    const char* details;
  };
  const Case cases[] = {
      {"COM5", L"\\\\.\\COM5", 0, 0, "", ""},
      {"\\\\.\\COM12", L"\\\\.\\COM12", 0, 0, "", ""},
      {"com7", L"\\\\.\\com7", ERROR_FILE_NOT_FOUND, 0, "missing", "error=2"},
      {"COM5", L"\\\\.\\COM5", ERROR_PATH_NOT_FOUND, 0, "missing", "error=3"},
      {"COM5", L"\\\\.\\COM5", ERROR_ACCESS_DENIED, 0, "in-use", "error=5"},
      {"COM5", L"\\\\.\\COM5", ERROR_SHARING_VIOLATION, 0, "in-use", "error=32"},
      {"COM5", L"\\\\.\\COM5", ERROR_GEN_FAILURE, 0, "device-error", "error=31"},
      {"COM5", L"\\\\.\\COM5", ERROR_DEVICE_NOT_CONNECTED, 0, "device-error", "error=1167"},
      {"NUL", L"NUL", 0, ERROR_INVALID_HANDLE, "not-a-serial-port", "error=6"},
      {"COM12345678901234567890123456789", nullptr, 0, 0, "name-too-long", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.typed) + " " + std::to_string(c.openError));
    InstallFake();
    if (c.path != nullptr) fake.openErrors[c.path] = c.openError;
    fake.settingsError = c.settingsError;
    const PortReport report = CheckPort(c.typed);
    EXPECT_EQ(Codes(report), c.codes);
    EXPECT_EQ(DoctorStatusFor(report), report.problems.empty() ? kDoctorReady : kDoctorBlocked);
    EXPECT_EQ(report.problems.empty() ? "" : Joined(report.problems[0].details), c.details);
    EXPECT_EQ(fake.opened,
              c.path ? std::vector<std::wstring>{c.path} : std::vector<std::wstring>{});
    EXPECT_EQ(fake.share, c.path ? 0u : 0xFFFFFFFF);
    EXPECT_EQ(fake.handlesHeld, 0);
  }
}

// What the driver holds, read and left as it is, and what it means for a run.
TEST_F(DoctorWin32, LineSettingsThatHoldOrSlowAWrite) {
  struct Case {
    bool cts, dsr, xon;
    DWORD modem, modemError, perByte, constant;
    const char* codes;
    const char* firstFix;
    DoctorStatus status;
  };
  const Case cases[] = {
      {0, 0, 0, 0, 0, 0, 0, "", "", kDoctorReady},
      {1, 1, 0, MS_CTS_ON | MS_DSR_ON, 0, 0, 0, "", "", kDoctorReady},
      {1, 0, 0, MS_DSR_ON, 0, 0, 0, "hardware-flow write-timeouts", "mode COM5 octs=off",
       kDoctorMayHold},
      {1, 1, 0, MS_CTS_ON, 0, 0, 0, "hardware-flow write-timeouts", "mode COM5 odsr=off",
       kDoctorMayHold},
      {1, 1, 0, 0, ERROR_NOT_SUPPORTED, 0, 0, "hardware-flow write-timeouts",
       "mode COM5 octs=off odsr=off", kDoctorMayHold},
      {1, 0, 0, 0, 0, 0, 1000, "hardware-flow", "mode COM5 octs=off", kDoctorMayHold},
      {0, 0, 1, 0, 0, 0, 0, "software-flow write-timeouts", "mode COM5 xon=off", kDoctorReady},
      {0, 0, 0, 0, 0, 1, 0, "write-timeouts", nullptr, kDoctorReady},
      {0, 0, 0, 0, 0, 0, 8, "write-timeouts", nullptr, kDoctorReady},
      {0, 0, 0, 0, 0, 0, 9, "", "", kDoctorReady},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(&c - cases));
    InstallFake();
    fake.openErrors[L"\\\\.\\COM5"] = 0;
    fake.settings.fOutxCtsFlow = c.cts;
    fake.settings.fOutxDsrFlow = c.dsr;
    fake.settings.fOutX = c.xon;
    fake.modem = c.modem;
    fake.modemError = c.modemError;
    fake.timeouts.WriteTotalTimeoutMultiplier = c.perByte;
    fake.timeouts.WriteTotalTimeoutConstant = c.constant;
    const PortReport report = CheckPort("COM5");
    EXPECT_EQ(Codes(report), c.codes);
    const std::string fix = report.problems.empty() ? "" : report.problems[0].fix;
    if (c.firstFix != nullptr) {
      EXPECT_EQ(fix, c.firstFix);
    }
    EXPECT_EQ(DoctorStatusFor(report), c.status);
    EXPECT_EQ(fake.handlesHeld, 0);
  }
}

ComDevice Device(const char* port, const char* name, bool present, unsigned long problemCode) {
  ComDevice device;
  device.port = port;
  device.friendlyName = name;
  device.inDeviceManager = *name != '\0';
  device.present = present;
  device.problemCode = problemCode;
  return device;
}

// Device Manager's entries, SERIALCOMM's, and a port only an open finds.
TEST_F(DoctorWin32, DeviceListShapesTheListAndTheChecks) {
  // An unplugged adapter may keep the name of the one plugged in now.
  fake.devices = {Device("COM5", "USB-SERIAL CH340 (COM5)", false, 0),
                  Device("COM5", "USB-SERIAL CH340 (COM5)", true, 0),
                  Device("COM3", "Prolific USB-to-Serial (COM3)", false, 0),
                  Device("COM9", "USB Serial Port (COM9)", true, 10), Device("COM1", "", true, 0)};
  fake.devices[1].provider = "wch.cn";
  fake.devices[1].driverVersion = "3.8.2023.2";
  fake.devices[4].kernelDevice = "\\Device\\Serial0";
  fake.openErrors = {
      {L"\\\\.\\COM5", 0}, {L"\\\\.\\COM1", ERROR_ACCESS_DENIED}, {L"\\\\.\\COM12", 0}};
  const std::vector<PortListing> ports = ListPorts();
  const std::string listed[] = {
      "source=SERIALCOMM device=\\Device\\Serial0 opens=false open-problem=in-use open-error=5",
      "name=Prolific USB-to-Serial (COM3) source=Device Manager present=false opens=false "
      "open-problem=missing open-error=2",
      "name=USB-SERIAL CH340 (COM5) source=Device Manager present=false opens=true",
      "name=USB-SERIAL CH340 (COM5) source=Device Manager present=true driver-provider=wch.cn "
      "driver-version=3.8.2023.2 opens=true",
      "name=USB Serial Port (COM9) source=Device Manager present=true problem-code=10 problem=the "
      "device cannot start opens=false open-problem=missing open-error=2",
      "source=no registry entry; opens as \\\\.\\COM12 opens=true",
  };
  ASSERT_EQ(ports.size(), 6u);
  for (std::size_t i = 0; i < ports.size(); ++i) EXPECT_EQ(Joined(ports[i].details), listed[i]);
  EXPECT_EQ(ports[5].name, "COM12");
  EXPECT_EQ(fake.handlesHeld, 0);

  struct Case {
    const char* port;
    const char* codes;
    const char* found;  // in the first problem's message and fix
  };
  const Case cases[] = {
      {"COM3", "missing", "Prolific USB-to-Serial (COM3), which is not plugged in"},
      {"COM9", "device-error", "Code 10: the device cannot start"},
      {"COM77", "missing", "there are: COM1, COM5, COM9 "},
      {"COM5", "driver-version", "Roll Back Driver"},
  };
  for (const Case& c : cases) {
    const PortReport report = CheckPort(c.port);
    EXPECT_EQ(Codes(report), c.codes) << c.port;
    if (report.problems.empty()) continue;
    EXPECT_NE((report.problems[0].message + report.problems[0].fix).find(c.found),
              std::string::npos)
        << report.problems[0].message << " / " << report.problems[0].fix;
  }
  EXPECT_EQ(CheckPort("COM5").device, "USB-SERIAL CH340 (COM5)");
}

}  // namespace
