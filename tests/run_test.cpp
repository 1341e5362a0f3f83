#include "app/run.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "serial/rfc2217_session.h"
#include "serial/serial_port.h"
#include "tests/fake_network.h"
#include "tests/fake_serial.h"
#include "tests/test_kit.h"

namespace {

// The usage text as Kavnori prints it, from the file the shell tests read.
const std::string kUsage(std::istreambuf_iterator<char>(std::ifstream(KAVNORI_USAGE_FILE).rdbuf()),
                         {});
const char kParameterError[] = "***Please check you parameters!\n";
const char kConfigured[] = "Serial port [COM3] configured.\n";

struct RunResult {
  int status;
  std::string output;
};

RunResult RunWith(std::vector<const char*> arguments, FakeFailure failure = FakeFailure::kNone,
                  std::uint32_t errorCode = 0) {
  arguments.insert(arguments.begin(), "Kavnori");
  InstallFakeSerial(failure, errorCode);
  testing::internal::CaptureStdout();
  const int status = RunKavnori(static_cast<int>(arguments.size()), arguments.data());
  const std::string output = testing::internal::GetCapturedStdout();
  RestoreRealSerial();
  return {status, WithoutCarriageReturns(output)};
}

bool PortTouched() {
  const FakeSerialLog& calls = FakeSerialCalls();
  return calls.opens + calls.pauses + calls.reads + calls.applies + calls.writes + calls.closes > 0;
}

TEST(Run, SwitchesAndReportsBothStages) {
  const RunResult result = RunWith({"COM3", "1", "3", "1"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.output, std::string(kConfigured) + "Power On @ Relay 3\n");
  const FakeSerialLog& calls = FakeSerialCalls();
  EXPECT_EQ(calls.opens, 1);
  EXPECT_EQ(calls.pauses, 1);
  EXPECT_EQ(calls.writes, 1);
  EXPECT_EQ(calls.closes, 1);
  const std::uint8_t expected[] = {0x55, 0x01, 0x12, 0x00, 0x00, 0x00, 0x03, 0x6B};
  ASSERT_EQ(calls.writtenCount, 8u);
  EXPECT_EQ(std::vector<std::uint8_t>(calls.written, calls.written + 8),
            std::vector<std::uint8_t>(expected, expected + 8));
}

struct PowerLineCase {
  std::vector<const char*> arguments;
  const char* powerLine;
  std::uint8_t command, relay;
};

TEST(Run, PrintsTheParsedValuesAndSendsThem) {
  const PowerLineCase cases[] = {
      {{"COM3", "1", "3", "0"}, "Power Off @ Relay 3\n", 0x11, 3},
      {{"COM3", "1", "3", "On"}, "Power Off @ Relay 3\n", 0x11, 3},  // the word reads as 0
      {{"COM3", "1", "007", "1"}, "Power On @ Relay 7\n", 0x12, 7},
      {{"COM3", "1", "0", "1"}, "Power On @ Relay 0\n", 0x12, 0},
      {{"COM3", "1", "all", "1"}, "Power On @ Relay 0\n", 0x12, 0},
      {{"COM3", "1", "16", "1x"}, "Power On @ Relay 16\n", 0x12, 16},
  };
  for (const PowerLineCase& c : cases) {
    SCOPED_TRACE(c.arguments[2] + std::string(" ") + c.arguments[3]);
    const RunResult result = RunWith(c.arguments);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.output, std::string(kConfigured) + c.powerLine);
    EXPECT_EQ(FakeSerialCalls().written[2], c.command);
    EXPECT_EQ(FakeSerialCalls().written[6], c.relay);
  }
}

TEST(Run, WrongCountPrintsOnlyTheUsageAndLeavesThePortAlone) {
  const std::vector<std::vector<const char*>> counts = {
      {}, {"COM3", "1", "3"}, {"COM3", "1", "3", "1", "1"}, {"17", "-1", "2"}};
  for (const std::vector<const char*>& arguments : counts) {
    const RunResult result = RunWith(arguments);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.output, kUsage);
    EXPECT_FALSE(PortTouched());
  }
}

TEST(Run, OutOfRangeValuesAreRefusedBeforeThePortIsTouched) {
  const std::string longName(kPortNameCapacity, 'C');
  const std::vector<std::vector<const char*>> refused = {
      {"COM3", "1", "17", "1"},          {"COM3", "1", "-1", "1"},
      {"COM3", "1", "3", "2"},           {"COM3", "1", "3", "-1"},
      {"COM3", "1", "4294967299", "1"},  {"NoSuchPort", "1", "17", "1"},
      {longName.c_str(), "1", "3", "1"},
  };
  for (const std::vector<const char*>& arguments : refused) {
    SCOPED_TRACE(std::string(arguments[0]).substr(0, 12) + " " + arguments[2] + " " + arguments[3]);
    const RunResult result = RunWith(arguments);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.output, kParameterError + kUsage);
    EXPECT_FALSE(PortTouched());
  }
}

struct StageFailureCase {
  FakeFailure failure;
  int status;
  std::string output;
  int writes;
};

TEST(Run, EachStageFailureEndsWithItsStatusAndLine) {
  const std::string power = "Power On @ Relay 3\n", invalid = std::to_string(InvalidHandleError());
  const std::string writeFailed = kConfigured + std::string("WriteFile failed with error 31.\n");
  const StageFailureCase cases[] = {
      {FakeFailure::kOpen, 2, "GetCommState failed with error " + invalid + ".\n", 0},
      {FakeFailure::kReadSettings, 2, "GetCommState failed with error 31.\n", 0},
      {FakeFailure::kApplySettings, 3, "SetCommState failed with error 31.\n", 0},
      {FakeFailure::kWrite, 4, writeFailed, 1},
      {FakeFailure::kZeroWrite, 4, writeFailed, 1},
      {FakeFailure::kShortWrite, 4, writeFailed, 1},
      {FakeFailure::kClose, 5, kConfigured + power + "CloseHandle failed with error 31.\n", 1},
  };
  for (const StageFailureCase& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.failure));
    const RunResult result = RunWith({"COM3", "1", "3", "1"}, c.failure, 31);
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.output, c.output);
    EXPECT_EQ(FakeSerialCalls().pauses, 1);  // also after a failed open
    EXPECT_EQ(FakeSerialCalls().writes, c.writes);
    // A failed stage leaves the port to the end of the process.
    EXPECT_EQ(FakeSerialCalls().closes, c.status == 5 ? 1 : 0);
  }
  // A code with the top bit set (an NTSTATUS, say) is printed signed.
  EXPECT_EQ(RunWith({"COM3", "1", "3", "1"}, FakeFailure::kClose, 0xC0000005u).output,
            kConfigured + power + "CloseHandle failed with error -1073741819.\n");
}

using Bytes = std::vector<std::uint8_t>;

// `bytes` said `times` over.
Bytes Repeated(const Bytes& bytes, int times) {
  Bytes all;
  for (int i = 0; i < times; ++i) all.insert(all.end(), bytes.begin(), bytes.end());
  return all;
}

constexpr std::size_t kNoLimit = static_cast<std::size_t>(-1);

// The far end's ways (see FakeFarEnd), and what the run printed: the failure
// line, or nothing.
struct FarEndCase {
  const char* name;
  std::size_t readSize;
  int readDelayMs, frameSendMs;
  bool answers;
  std::size_t unreadRoom;
  Bytes behindGreeting, afterAnswer;
  std::string printed;
};

TEST(Run, NetworkStagesHoldTheirDeadlinesWhateverTheFarEndSends) {
  const std::string timedOut = " failed with error " + std::to_string(kNetworkTimedOut) + ".\n";
  const std::string openFailed = "GetCommState" + timedOut, writeFailed = "WriteFile" + timedOut;
  // 120 KB of offers and requests for options nobody wants, before the rest.
  const Bytes storm = Repeated({kTelnetIac, kTelnetWill, 24, kTelnetIac, kTelnetDo, 31}, 20000);
  const Bytes trickle = Repeated({kTelnetIac, 241}, 20);  // NO-OPERATIONs
  Bytes overLong = {0, 0, 0x4B, 0};                       // speed 19200 and 300 bytes more
  overLong.resize(300, 'A');
  const Bytes overLongAnswer = ComPortAnswer(kServerAnswerOffset + kSetBaudRate, overLong);
  const Bytes otherAnswer = ComPortAnswer(kServerAnswerOffset + kSetControl, {1});
  const std::size_t greeting = sizeof kSer2netGreeting;
  const FarEndCase cases[] = {
      {"every answer whole", 4096, 0, 0, true, kNoLimit, {}, {}, ""},
      {"answers split byte by byte", 1, 0, 0, true, kNoLimit, {}, {}, ""},
      {"an option storm", 4096, 0, 0, true, kNoLimit, storm, {}, ""},
      {"another answer behind each", 4096, 0, 0, true, kNoLimit, {}, otherAnswer, ""},
      // Read after the query, and taken for no answer at all.
      {"an over-long answer", greeting, 0, 0, false, kNoLimit, overLongAnswer, {}, openFailed},
      // One a second, never an answer: the open ends at its 5 s.
      {"a trickle", 2, 1000, 0, false, kNoLimit, trickle, {}, openFailed},
      // Its buffers fill with the refusals to a storm, so a send waits.
      {"a far end that never reads, in a storm", 4096, 1, 0, false, 4096, storm, {}, openFailed},
      // The frame takes the barrier's whole 5 s to leave: no time is left
      // for its answer.
      {"a far end slow to take the frame", 4096, 400, 5000, true, kNoLimit, {}, {}, writeFailed},
  };
  const std::array<std::uint8_t, 8> frame = ExpectedFrame(1, 1, 3);
  for (const FarEndCase& c : cases) {
    SCOPED_TRACE(c.name);
    InstallFakeFarEnd();
    fakeFarEnd.readSize = c.readSize;
    fakeFarEnd.readDelayMs = c.readDelayMs;
    fakeFarEnd.frameSendMs = c.frameSendMs;
    fakeFarEnd.answers = c.answers;
    fakeFarEnd.unreadRoom = c.unreadRoom;
    fakeFarEnd.pending.insert(fakeFarEnd.pending.end(), c.behindGreeting.begin(),
                              c.behindGreeting.end());
    fakeFarEnd.afterAnswer = c.afterAnswer;
    testing::internal::CaptureStdout();
    const FarEndRun run = RunOnFakeFarEnd(BuildCommandFrame(1, 1, 3));
    EXPECT_EQ(WithoutCarriageReturns(testing::internal::GetCapturedStdout()), c.printed);
    RestoreRealNetwork();
    for (int stage = 0; stage < 3; ++stage) EXPECT_LE(run.stageMs[stage], kStageLimitMs[stage]);
    // A run that did not get the barrier's answer leaves its queue to a reset.
    EXPECT_EQ(fakeFarEnd.dropsQueue, !c.printed.empty());
    // The far port gets the frame whole once the line is set, else nothing;
    // the client sends its requests and each refusal once, no more.
    EXPECT_EQ(fakeFarEnd.data, run.configured
                                   ? std::vector<std::uint8_t>(frame.begin(), frame.end())
                                   : std::vector<std::uint8_t>());
    EXPECT_LE(fakeFarEnd.sent.size(), 200u);
    if (c.printed.empty()) {
      EXPECT_EQ(std::vector<std::uint32_t>(fakeFarEnd.held + 1, fakeFarEnd.held + 6),
                (std::vector<std::uint32_t>{9600, 8, 1, 1, 1}));
    }
  }
}

}  // namespace
