#include "sim/frame_decoder.h"

#include <gtest/gtest.h>
#include <termios.h>

#include <string>
#include <vector>

#include "sim/event_report.h"
#include "sim/relay_bank.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

LineSettings BoardLine() { return BoardLineSettings(); }

LineSettings OtherLine(std::uint32_t baud, int dataBits, Parity parity, int stopBits) {
  return {baud, 0, dataBits, parity, stopBits, false};
}

// One read from the sender, optionally followed by the line going quiet.
struct Chunk {
  Bytes bytes;
  LineSettings line;
  bool quietAfter;
};

struct Expected {
  FrameEventKind kind;
  Bytes bytes;
};

struct DecoderCase {
  const char* name;
  std::vector<Chunk> input;
  std::vector<Expected> expected;
};

const Bytes kOn1Relay3 = {0x55, 0x01, 0x12, 0x00, 0x00, 0x00, 0x03, 0x6B};
const Bytes kOff1Relay3 = {0x55, 0x01, 0x11, 0x00, 0x00, 0x00, 0x03, 0x6A};
const Bytes kOn0All = {0x55, 0x00, 0x12, 0x00, 0x00, 0x00, 0x00, 0x67};
const Bytes kOn255Relay16 = {0x55, 0xFF, 0x12, 0x00, 0x00, 0x00, 0x10, 0x76};
const Bytes kOff2All = {0x55, 0x02, 0x11, 0x00, 0x00, 0x00, 0x00, 0x68};
// An address equal to the start byte must not restart the frame.
const Bytes kOff85Relay5 = {0x55, 0x55, 0x11, 0x00, 0x00, 0x00, 0x05, 0xC0};
const Bytes kBadChecksum = {0x55, 0x01, 0x12, 0x00, 0x00, 0x00, 0x03, 0x6C};
const Bytes kCommand13 = {0x55, 0x01, 0x13, 0x00, 0x00, 0x00, 0x03, 0x6C};
const Bytes kRelay17 = {0x55, 0x01, 0x12, 0x00, 0x00, 0x00, 0x11, 0x79};
const Bytes kReservedSet = {0x55, 0x01, 0x12, 0x00, 0x01, 0x00, 0x03, 0x6C};

Bytes Join(const Bytes& first, const Bytes& second) {
  Bytes joined = first;
  joined.insert(joined.end(), second.begin(), second.end());
  return joined;
}

Bytes Slice(const Bytes& bytes, std::size_t from, std::size_t to) {
  return Bytes(bytes.begin() + static_cast<long>(from), bytes.begin() + static_cast<long>(to));
}

const DecoderCase kDecoderCases[] = {
    {"on address 1 relay 3",
     {{kOn1Relay3, BoardLine(), false}},
     {{FrameEventKind::kFrame, kOn1Relay3}}},
    {"off address 1 relay 3",
     {{kOff1Relay3, BoardLine(), false}},
     {{FrameEventKind::kFrame, kOff1Relay3}}},
    {"all on address 0", {{kOn0All, BoardLine(), false}}, {{FrameEventKind::kFrame, kOn0All}}},
    {"checksum wraps",
     {{kOn255Relay16, BoardLine(), false}},
     {{FrameEventKind::kFrame, kOn255Relay16}}},
    {"all off address 2", {{kOff2All, BoardLine(), false}}, {{FrameEventKind::kFrame, kOff2All}}},
    {"address 0x55",
     {{kOff85Relay5, BoardLine(), false}},
     {{FrameEventKind::kFrame, kOff85Relay5}}},
    {"output processing alone is no fault",
     {{kOn1Relay3, LineSettings{9600, 9600, 8, Parity::kNone, 1, true}, false}},
     {{FrameEventKind::kFrame, kOn1Relay3}}},
    {"bad checksum",
     {{kBadChecksum, BoardLine(), false}},
     {{FrameEventKind::kBadChecksum, kBadChecksum}}},
    {"command 13",
     {{kCommand13, BoardLine(), false}},
     {{FrameEventKind::kUnknownCommand, kCommand13}}},
    {"relay 17", {{kRelay17, BoardLine(), false}}, {{FrameEventKind::kRelayOutOfRange, kRelay17}}},
    {"reserved byte set",
     {{kReservedSet, BoardLine(), false}},
     {{FrameEventKind::kReservedNotZero, kReservedSet}}},
    {"stray bytes then a frame",
     {{Join({0x00, 0xFF, 0x13}, kOn1Relay3), BoardLine(), false}},
     {{FrameEventKind::kStrayBytes, {0x00, 0xFF, 0x13}}, {FrameEventKind::kFrame, kOn1Relay3}}},
    {"stray bytes then quiet",
     {{{0x0D, 0x0A}, BoardLine(), true}},
     {{FrameEventKind::kStrayBytes, {0x0D, 0x0A}}}},
    {"short frame then quiet, then a frame",
     {{{0x55, 0x01, 0x12}, BoardLine(), true}, {kOff1Relay3, BoardLine(), false}},
     {{FrameEventKind::kShortFrame, {0x55, 0x01, 0x12}}, {FrameEventKind::kFrame, kOff1Relay3}}},
    {"frame minus its checksum then quiet",
     {{Slice(kOn1Relay3, 0, 7), BoardLine(), true}},
     {{FrameEventKind::kShortFrame, Slice(kOn1Relay3, 0, 7)}}},
    {"quiet with nothing pending", {{{}, BoardLine(), true}}, {}},
    {"two frames in one read",
     {{Join(kOn1Relay3, kOff2All), BoardLine(), false}},
     {{FrameEventKind::kFrame, kOn1Relay3}, {FrameEventKind::kFrame, kOff2All}}},
    {"bad frame then good frame in one read",
     {{Join(kBadChecksum, kOn1Relay3), BoardLine(), false}},
     {{FrameEventKind::kBadChecksum, kBadChecksum}, {FrameEventKind::kFrame, kOn1Relay3}}},
    {"frame split over three reads",
     {{Slice(kOn1Relay3, 0, 3), BoardLine(), false},
      {Slice(kOn1Relay3, 3, 5), BoardLine(), false},
      {Slice(kOn1Relay3, 5, 8), BoardLine(), false}},
     {{FrameEventKind::kFrame, kOn1Relay3}}},
    {"frame at 38400",
     {{kOn1Relay3, OtherLine(38400, 8, Parity::kNone, 1), false}},
     {{FrameEventKind::kLineNotBoardLine, kOn1Relay3}}},
    {"frame at 9600 7E1",
     {{kOn1Relay3, OtherLine(9600, 7, Parity::kEven, 1), false}},
     {{FrameEventKind::kLineNotBoardLine, kOn1Relay3}}},
    {"frame at 9600 8N2",
     {{kOn1Relay3, OtherLine(9600, 8, Parity::kNone, 2), false}},
     {{FrameEventKind::kLineNotBoardLine, kOn1Relay3}}},
    {"input speed differs",
     {{kOn1Relay3, LineSettings{9600, 19200, 8, Parity::kNone, 1, false}, false}},
     {{FrameEventKind::kLineNotBoardLine, kOn1Relay3}}},
    {"line changed in the middle of a frame",
     {{Slice(kOn1Relay3, 0, 4), BoardLine(), false},
      {Slice(kOn1Relay3, 4, 8), OtherLine(19200, 8, Parity::kNone, 1), false}},
     {{FrameEventKind::kLineNotBoardLine, kOn1Relay3}}},
};

// Names the case in test output instead of dumping its bytes.
void PrintTo(const DecoderCase& testCase, std::ostream* out) { *out << testCase.name; }

class DecoderTable : public testing::TestWithParam<DecoderCase> {};

TEST_P(DecoderTable, ReportsEachFrameAndRejection) {
  const DecoderCase& testCase = GetParam();
  FrameDecoder decoder = NewFrameDecoder();
  std::vector<FrameEvent> events;
  for (const Chunk& chunk : testCase.input) {
    FeedBytes(&decoder, chunk.bytes.data(), chunk.bytes.size(), chunk.line, &events);
    if (chunk.quietAfter) FeedGapElapsed(&decoder, &events);
  }
  // Whatever the case ends with, nothing is left half-read for a later gap.
  FeedGapElapsed(&decoder, &events);
  ASSERT_EQ(events.size(), testCase.expected.size());
  for (std::size_t i = 0; i < events.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(EventKindName(events[i].kind), std::string(EventKindName(testCase.expected[i].kind)));
    EXPECT_EQ(Bytes(events[i].bytes, events[i].bytes + events[i].byteCount),
              testCase.expected[i].bytes);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, DecoderTable, testing::ValuesIn(kDecoderCases),
                         [](const testing::TestParamInfo<DecoderCase>& info) {
                           std::string name;
                           for (const char* c = info.param.name; *c != '\0'; ++c) {
                             name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
                           }
                           return name;
                         });

TEST(FrameDecoder, ReportsTheWrongLineOfAFrameSentPartlyOnIt) {
  FrameDecoder decoder = NewFrameDecoder();
  std::vector<FrameEvent> events;
  FeedBytes(&decoder, kOn1Relay3.data(), 2, OtherLine(4800, 8, Parity::kOdd, 1), &events);
  FeedBytes(&decoder, kOn1Relay3.data() + 2, 6, BoardLine(), &events);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(DescribeLine(events[0].line), "4800 8O1");
}

TEST(FrameDecoder, SplitsALongRunOfStrayBytes) {
  FrameDecoder decoder = NewFrameDecoder();
  std::vector<FrameEvent> events;
  const Bytes noise(kMaxReportedBytes + 6, 0xAA);
  FeedBytes(&decoder, noise.data(), noise.size(), BoardLine(), &events);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].byteCount, kMaxReportedBytes);
  FeedGapElapsed(&decoder, &events);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[1].byteCount, 6u);
}

FrameEvent ValidFrame(const Bytes& bytes) {
  FrameDecoder decoder = NewFrameDecoder();
  std::vector<FrameEvent> events;
  FeedBytes(&decoder, bytes.data(), bytes.size(), BoardLine(), &events);
  EXPECT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].kind, FrameEventKind::kFrame);
  return events[0];
}

Bytes Frame(std::uint8_t address, bool on, std::uint8_t relay) {
  const CommandFrame frame = BuildCommandFrame(address, on ? 1 : 0, relay);
  return Bytes(frame.bytes, frame.bytes + kCommandFrameSize);
}

std::string RelayPattern(const RelayBank& bank, std::uint8_t address) {
  std::string pattern;
  for (int relay = 1; relay <= kRelaysPerBoard; ++relay) {
    pattern += RelayIsOn(bank, address, relay) ? '1' : '0';
  }
  return pattern;
}

struct BankCase {
  const char* name;
  std::vector<Bytes> frames;
  std::uint8_t address;
  const char* relaysAfter;  // relay 1 first
};

TEST(RelayBank, AppliesFramesToTheirOwnBoard) {
  const BankCase cases[] = {
      {"one on", {Frame(1, true, 3)}, 1, "0010000000000000"},
      {"on, on, off",
       {Frame(1, true, 3), Frame(1, true, 16), Frame(1, false, 3)},
       1,
       "0000000000000001"},
      {"all on", {Frame(4, true, 0)}, 4, "1111111111111111"},
      {"all on then one off", {Frame(4, true, 0), Frame(4, false, 1)}, 4, "0111111111111111"},
      {"all off",
       {Frame(9, true, 2), Frame(9, true, 12), Frame(9, false, 0)},
       9,
       "0000000000000000"},
      {"other boards untouched", {Frame(1, true, 0), Frame(2, true, 5)}, 2, "0000100000000000"},
      {"off is idempotent", {Frame(7, false, 8)}, 7, "0000000000000000"},
  };
  for (const BankCase& testCase : cases) {
    SCOPED_TRACE(testCase.name);
    RelayBank bank = NewRelayBank();
    for (const Bytes& frame : testCase.frames) ApplyFrame(&bank, ValidFrame(frame));
    EXPECT_EQ(RelayPattern(bank, testCase.address), testCase.relaysAfter);
  }
}

TEST(LineSettings, ReadsTheFormatFromTermios) {
  struct FormatCase {
    speed_t speed;
    tcflag_t cflag;
    const char* described;
    bool boardLine;
  };
  const FormatCase cases[] = {
      {B9600, CS8, "9600 8N1", true},           {B38400, CS8, "38400 8N1", false},
      {B9600, CS7 | PARENB, "9600 7E1", false}, {B9600, CS8 | PARENB | PARODD, "9600 8O1", false},
      {B9600, CS8 | CSTOPB, "9600 8N2", false}, {B115200, CS5, "115200 5N1", false},
  };
  for (const FormatCase& testCase : cases) {
    SCOPED_TRACE(testCase.described);
    struct termios settings = {};
    settings.c_cflag = testCase.cflag | CREAD;
    cfsetospeed(&settings, testCase.speed);
    cfsetispeed(&settings, testCase.speed);
    const LineSettings line = LineSettingsFromTermios(settings);
    EXPECT_EQ(DescribeLine(line), testCase.described);
    EXPECT_EQ(IsBoardLine(line), testCase.boardLine);
  }
}

TEST(EventReport, FrameAndRejectionInJsonAndForAPerson) {
  RelayBank bank = NewRelayBank();
  const FrameEvent frame = ValidFrame(kOn1Relay3);
  ApplyFrame(&bank, frame);
  EXPECT_EQ(FormatJsonLine(frame, bank),
            "{\"event\":\"frame\",\"bytes\":\"55 01 12 00 00 00 03 6B\",\"address\":1,\"relay\":3,"
            "\"power\":\"on\",\"relays\":[false,false,true,false,false,false,false,false,false,"
            "false,false,false,false,false,false,false],\"line\":{\"baud\":9600,\"data_bits\":8,"
            "\"parity\":\"none\",\"stop_bits\":1,\"output_processing\":false},\"applied\":true}");
  EXPECT_EQ(
      FormatHumanLine(frame, bank),
      "55 01 12 00 00 00 03 6B  board 1 relay 3 on  9600 8N1  relays 1-16 [..#. .... .... ....]");

  FrameDecoder decoder = NewFrameDecoder();
  std::vector<FrameEvent> events;
  FeedBytes(&decoder, kBadChecksum.data(), kBadChecksum.size(), BoardLine(), &events);
  ASSERT_EQ(events.size(), 1u);
  const std::string json = FormatJsonLine(events[0], bank);
  EXPECT_NE(json.find("\"event\":\"error\",\"kind\":\"bad_checksum\""), std::string::npos) << json;
  EXPECT_NE(json.find("\"detail\":\"checksum 6C, sum of bytes 0-6 is 6B\""), std::string::npos)
      << json;
  EXPECT_NE(json.find("\"applied\":false}"), std::string::npos) << json;
  EXPECT_NE(FormatHumanLine(events[0], bank).find("REJECTED bad_checksum"), std::string::npos);
}

TEST(EventReport, QuotesPathsForJson) {
  EXPECT_EQ(FormatReadyLine("/dev/pts/3", "/tmp/a \"b\"\\c", true),
            "{\"event\":\"ready\",\"path\":\"/dev/pts/3\",\"link\":\"/tmp/a \\\"b\\\"\\\\c\"}");
  EXPECT_EQ(FormatReadyLine("/dev/pts/3", "/tmp/link", false), "/dev/pts/3");
}

}  // namespace
