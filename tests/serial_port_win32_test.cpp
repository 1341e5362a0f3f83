#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/run.h"
#include "serial/port_name.h"
#include "serial/serial_port.h"
#include "serial/serial_port_win32.h"
#include "tests/fake_serial.h"
#include "tests/test_kit.h"

namespace {

// ---- Through the seam: what the backend passes to Win32. ----

using Win32Seam = FakeSerialTest;
const SerialPort kFakePort = {reinterpret_cast<std::intptr_t>(kFakeHandle)};

TEST_F(Win32Seam, OpensExclusivelyForSynchronousReadAndWriteThenPauses) {
  const SerialPort port = OpenSerialPort(PortNameOf(L"COM3"));
  EXPECT_EQ(reinterpret_cast<HANDLE>(port.handle), kFakeHandle);
  EXPECT_EQ(fakeSerial.access, static_cast<DWORD>(GENERIC_READ | GENERIC_WRITE));
  EXPECT_EQ(fakeSerial.share, 0u);
  EXPECT_EQ(fakeSerial.security, nullptr);
  EXPECT_EQ(fakeSerial.disposition, static_cast<DWORD>(OPEN_EXISTING));
  EXPECT_EQ(fakeSerial.flags, 0u);  // no overlapped I/O
  EXPECT_EQ(fakeSerial.templateFile, nullptr);
  EXPECT_EQ(fakeSerial.pause, 5u);
}

struct NameCase {
  const char* typed;
  const wchar_t* opened;
};

void ExpectOpenedAs(const NameCase& c) {
  SCOPED_TRACE(c.typed);
  PortName name;
  ASSERT_TRUE(ConvertPortName(c.typed, &name));
  OpenSerialPort(name);
  EXPECT_EQ(fakeSerial.path, c.opened);
}

// As typed on the command line, through the conversion from the ANSI code
// page, to the name CreateFileW gets.
TEST_F(Win32Seam, BareComNamesOpenThroughTheDeviceNamespace) {
  // clang-format off
  const NameCase cases[] = {
      {"COM3", L"\\\\.\\COM3"}, {"COM10", L"\\\\.\\COM10"}, {"com255", L"\\\\.\\com255"},
      {"cOm7", L"\\\\.\\cOm7"}, {"\\\\.\\COM12", L"\\\\.\\COM12"},
      {"\\\\?\\GLOBALROOT\\Device\\Serial0", L"\\\\?\\GLOBALROOT\\Device\\Serial0"},
      {"COM", L"COM"}, {"COM1x", L"COM1x"}, {"COM 1", L"COM 1"}, {"LPT1", L"LPT1"}, {"XOM1", L"XOM1"},
      {"CXM1", L"CXM1"}, {"COX1", L"COX1"}, {"cxm1", L"cxm1"}, {"", L""},
      {"COM1234567890123456789012345678", L"\\\\.\\COM1234567890123456789012345678"},
  };
  // clang-format on
  for (const NameCase& c : cases) ExpectOpenedAs(c);

  // Windows-1252 bytes, the ANSI code page of Western systems (Wine: in an
  // English or C locale); other code pages read them as other characters.
  if (GetACP() != 1252) GTEST_SKIP() << "ANSI code page " << GetACP() << ", not 1252";
  const NameCase western[] = {
      {"COM\xB9", L"COM\u00B9"},            // superscript one is no digit
      {"caf\xE9", L"caf\u00E9"},            // Latin-1, not UTF-8
      {"caf\xC3\xA9", L"caf\u00C3\u00A9"},  // UTF-8 bytes read as two characters
  };
  for (const NameCase& c : western) ExpectOpenedAs(c);
}

TEST_F(Win32Seam, FailedOpenStillPausesAndEndsAtTheSettingsRead) {
  fakeSerial.failingCall = "CreateFileW";
  win32SerialCalls.getCommState = kRealWin32SerialCalls.getCommState;
  win32SerialCalls.getLastError = kRealWin32SerialCalls.getLastError;
  const SerialPort port = OpenSerialPort(PortNameOf(L"COM9"));
  EXPECT_EQ(reinterpret_cast<HANDLE>(port.handle), INVALID_HANDLE_VALUE);
  EXPECT_EQ(fakeSerial.pause, 5u);
  testing::internal::CaptureStdout();
  EXPECT_EQ(ConfigureSerialLine(port), LineSetup::kReadFailed);
  const std::string line = testing::internal::GetCapturedStdout();
  EXPECT_EQ(line.rfind("GetCommState failed with error ", 0), 0u) << line;
}

TEST_F(Win32Seam, ReadsIntoAZeroedRecordAndChangesExactlyFourFields) {
  // A driver's settings with every byte other than zero, reserved ones too:
  // whatever the backend changes or fails to hand back shows.
  std::memset(&fakeSerial.driver, 0xA5, sizeof fakeSerial.driver);
  fakeSerial.driver.DCBlength = sizeof fakeSerial.driver;
  testing::internal::CaptureStdout();
  EXPECT_EQ(ConfigureSerialLine(kFakePort), LineSetup::kConfigured);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

  DCB zeroed;
  std::memset(&zeroed, 0, sizeof zeroed);
  zeroed.DCBlength = sizeof zeroed;
  EXPECT_EQ(std::memcmp(&fakeSerial.handedToRead, &zeroed, sizeof zeroed), 0);

  DCB expected = fakeSerial.driver;
  expected.BaudRate = 9600;
  expected.ByteSize = 8;
  expected.Parity = 0;
  expected.StopBits = 0;
  EXPECT_EQ(std::memcmp(&fakeSerial.applied, &expected, sizeof expected), 0);
}

TEST_F(Win32Seam, WritesTheWholeFrameInOneSynchronousCall) {
  const CommandFrame frame = BuildCommandFrame(255, 1, 16);
  testing::internal::CaptureStdout();
  EXPECT_TRUE(WriteCommandFrame(kFakePort, frame));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(std::vector<unsigned char>(fakeSerial.calls.written,
                                       fakeSerial.calls.written + fakeSerial.calls.writtenCount),
            (std::vector<unsigned char>{0x55, 0xFF, 0x12, 0, 0, 0, 0x10, 0x76}));
  EXPECT_EQ(fakeSerial.writtenPreset, 0u);
  EXPECT_EQ(fakeSerial.overlapped, nullptr);
}

struct WriteCase {
  BOOL accepted;
  DWORD reported, error;
  bool written;
  const char* output;
};

// Only a write that succeeds with all 8 bytes counts: the board acts on
// whole frames alone.
TEST_F(Win32Seam, WriteCountsOnlyWhenAcceptedWithAllEightBytes) {
  const WriteCase cases[] = {
      {TRUE, 8, 0, true, ""},
      {FALSE, 8, ERROR_IO_DEVICE, false, "WriteFile failed with error 1117.\n"},
      {FALSE, 0, ERROR_OPERATION_ABORTED, false, "WriteFile failed with error 995.\n"},
      {TRUE, 0, ERROR_SUCCESS, false, "WriteFile failed with error 0.\n"},
      {TRUE, 5, ERROR_SUCCESS, false, "WriteFile failed with error 0.\n"},
  };
  for (const WriteCase& c : cases) {
    SCOPED_TRACE(testing::Message() << c.accepted << " " << c.reported);
    InstallFakeSerial(c.accepted ? FakeFailure::kNone : FakeFailure::kWrite, c.error);
    fakeSerial.writeReports = c.reported;
    testing::internal::CaptureStdout();
    EXPECT_EQ(WriteCommandFrame(kFakePort, BuildCommandFrame(1, 1, 3)), c.written);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.output);
  }
}

// ---- The real Win32 calls. ----

TEST(RealWin32, PortThatDoesNotExistEndsWithTheReadLine) {
  // The code is the one that reading settings on an invalid handle leaves.
  DCB probe;
  std::memset(&probe, 0, sizeof probe);
  probe.DCBlength = sizeof probe;
  ASSERT_FALSE(GetCommState(INVALID_HANDLE_VALUE, &probe));
  const DWORD invalidHandleError = GetLastError();

  const char* argv[] = {"Kavnori", "COM231", "1", "3", "1"};
  testing::internal::CaptureStdout();
  EXPECT_EQ(RunKavnori(5, argv), 2);
  EXPECT_EQ(WithoutCarriageReturns(testing::internal::GetCapturedStdout()),
            "GetCommState failed with error " + std::to_string(invalidHandleError) + ".\n");
}

TEST(RealWin32, FileThatIsNotAPortEndsWithStatus2AndReceivesNothing) {
  // In the working folder: under %TEMP% on a hosted runner the name would
  // pass the 31-character limit and end with status 1.
  char path[MAX_PATH];
  ASSERT_NE(GetTempFileNameA(".", "kav", 0, path), 0u);
  const char* argv[] = {"Kavnori", path, "1", "3", "1"};
  testing::internal::CaptureStdout();
  const int status = RunKavnori(5, argv);
  const std::string output = WithoutCarriageReturns(testing::internal::GetCapturedStdout());
  EXPECT_EQ(status, 2);
  EXPECT_EQ(output.rfind("GetCommState failed with error ", 0), 0u) << output;
  WIN32_FILE_ATTRIBUTE_DATA info;
  ASSERT_TRUE(GetFileAttributesExA(path, GetFileExInfoStandard, &info));
  EXPECT_EQ(info.nFileSizeLow, 0u);
  DeleteFileA(path);
}

}  // namespace
