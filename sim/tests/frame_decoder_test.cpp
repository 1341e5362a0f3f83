#include "sim/frame_decoder.h"

#include <gtest/gtest.h>
#include <termios.h>

#include <string>
#include <vector>

#include "sim/event_report.h"
#include "sim/relay_bank.h"
#include "tests/test_kit.h"

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

constexpr FrameEventKind kValid = FrameEventKind::kFrame;
constexpr FrameEventKind kWrongLine = FrameEventKind::kLineNotBoardLine;
constexpr FrameEventKind kStray = FrameEventKind::kStrayBytes;
constexpr FrameEventKind kShort = FrameEventKind::kShortFrame;

// Eight bytes in one read, reported as one event.
DecoderCase Whole(const char* name, const Bytes& frame, FrameEventKind kind,
                  const LineSettings& line = BoardLine()) {
  return {name, {{frame, line, false}}, {{kind, frame}}};
}

const DecoderCase kDecoderCases[] = {
    Whole("on address 1 relay 3", kOn1Relay3, kValid),
    Whole("off address 1 relay 3", kOff1Relay3, kValid),
    Whole("all on address 0", kOn0All, kValid),
    Whole("checksum wraps", kOn255Relay16, kValid),
    Whole("all off address 2", kOff2All, kValid),
    Whole("address 0x55", kOff85Relay5, kValid),
    Whole("output processing alone is no fault", kOn1Relay3, kValid,
          {9600, 9600, 8, Parity::kNone, 1, true}),
    Whole("bad checksum", kBadChecksum, FrameEventKind::kBadChecksum),
    Whole("command 13", kCommand13, FrameEventKind::kUnknownCommand),
    Whole("relay 17", kRelay17, FrameEventKind::kRelayOutOfRange),
    Whole("reserved byte set", kReservedSet, FrameEventKind::kReservedNotZero),
    Whole("frame at 38400", kOn1Relay3, kWrongLine, OtherLine(38400, 8, Parity::kNone, 1)),
    Whole("frame at 9600 7E1", kOn1Relay3, kWrongLine, OtherLine(9600, 7, Parity::kEven, 1)),
    Whole("frame at 9600 8N2", kOn1Relay3, kWrongLine, OtherLine(9600, 8, Parity::kNone, 2)),
    Whole("input speed differs", kOn1Relay3, kWrongLine, {9600, 19200, 8, Parity::kNone, 1, false}),
    {"stray bytes then a frame",
     {{Join({0x00, 0xFF, 0x13}, kOn1Relay3), BoardLine(), false}},
     {{kStray, {0x00, 0xFF, 0x13}}, {kValid, kOn1Relay3}}},
    {"stray bytes then quiet", {{{0x0D, 0x0A}, BoardLine(), true}}, {{kStray, {0x0D, 0x0A}}}},
    {"short frame then quiet, then a frame",
     {{{0x55, 0x01, 0x12}, BoardLine(), true}, {kOff1Relay3, BoardLine(), false}},
     {{kShort, {0x55, 0x01, 0x12}}, {kValid, kOff1Relay3}}},
    {"long run of noise, reported in pieces",
     {{Bytes(kMaxReportedBytes + 6, 0xAA), BoardLine(), true}},
     {{kStray, Bytes(kMaxReportedBytes, 0xAA)}, {kStray, Bytes(6, 0xAA)}}},
    {"quiet with nothing pending", {{{}, BoardLine(), true}}, {}},
    {"two frames in one read",
     {{Join(kOn1Relay3, kOff2All), BoardLine(), false}},
     {{kValid, kOn1Relay3}, {kValid, kOff2All}}},
    {"bad frame then good frame in one read",
     {{Join(kBadChecksum, kOn1Relay3), BoardLine(), false}},
     {{FrameEventKind::kBadChecksum, kBadChecksum}, {kValid, kOn1Relay3}}},
    {"frame split over three reads",
     {{Slice(kOn1Relay3, 0, 3), BoardLine(), false},
      {Slice(kOn1Relay3, 3, 5), BoardLine(), false},
      {Slice(kOn1Relay3, 5, 8), BoardLine(), false}},
     {{kValid, kOn1Relay3}}},
    {"line changed in the middle of a frame",
     {{Slice(kOn1Relay3, 0, 4), BoardLine(), false},
      {Slice(kOn1Relay3, 4, 8), OtherLine(19200, 8, Parity::kNone, 1), false}},
     {{kWrongLine, kOn1Relay3}}},
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
                           return CaseName(info.param.name);
                         });

FrameEvent ValidFrame(const Bytes& bytes) {
  FrameDecoder decoder = NewFrameDecoder();
  std::vector<FrameEvent> events;
  FeedBytes(&decoder, bytes.data(), bytes.size(), BoardLine(), &events);
  EXPECT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].kind, FrameEventKind::kFrame);
  return events[0];
}

// Power 1 on, 0 off.
Bytes Frame(std::uint8_t address, int power, std::uint8_t relay) {
  const CommandFrame frame = BuildCommandFrame(address, power, relay);
  return Bytes(frame.bytes, frame.bytes + kCommandFrameSize);
}

std::string RelayPattern(const RelayBank& bank, std::uint8_t address) {
  std::string pattern;
  for (int relay = 1; relay <= kRelaysPerBoard; ++relay)
    pattern += RelayIsOn(bank, address, relay) ? '1' : '0';
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
      {"one on", {Frame(1, 1, 3)}, 1, "0010000000000000"},
      {"on, on, off", {Frame(1, 1, 3), Frame(1, 1, 16), Frame(1, 0, 3)}, 1, "0000000000000001"},
      {"all on", {Frame(4, 1, 0)}, 4, "1111111111111111"},
      {"all on then one off", {Frame(4, 1, 0), Frame(4, 0, 1)}, 4, "0111111111111111"},
      {"all off", {Frame(9, 1, 2), Frame(9, 1, 12), Frame(9, 0, 0)}, 9, "0000000000000000"},
      {"other boards untouched", {Frame(1, 1, 0), Frame(2, 1, 5)}, 2, "0000100000000000"},
      {"off is idempotent", {Frame(7, 0, 8)}, 7, "0000000000000000"},
  };
  for (const BankCase& testCase : cases) {
    SCOPED_TRACE(testCase.name);
    RelayBank bank = NewRelayBank();
    for (const Bytes& frame : testCase.frames) ApplyFrame(&bank, ValidFrame(frame));
    EXPECT_EQ(RelayPattern(bank, testCase.address), testCase.relaysAfter);
  }
}

TEST(EventReport, ShowsTheRelayRowAndWhyAFrameWasRejected) {
  RelayBank bank = NewRelayBank();
  const FrameEvent frame = ValidFrame(kOn1Relay3);
  ApplyFrame(&bank, frame);
  // The exact JSON of a frame is checked on the real simulator's output.
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

  const std::pair<Bytes, std::string> details[] = {
      {kCommand13, "command 13 is neither 12 (on) nor 11 (off)"},
      {kReservedSet, "bytes 3-5 must be 00"},
      {kRelay17, "relay 17 is over 16"},
      {Slice(kOn1Relay3, 0, 3), "line went quiet after 3 of 8 bytes"},
  };
  for (const auto& [bytes, detail] : details) {
    events.clear();
    FeedBytes(&decoder, bytes.data(), bytes.size(), BoardLine(), &events);
    FeedGapElapsed(&decoder, &events);
    ASSERT_EQ(events.size(), 1u) << detail;
    EXPECT_NE(FormatJsonLine(events[0], bank).find("\"detail\":\"" + detail + "\""),
              std::string::npos)
        << detail;
  }
}

// A link path, a port's or a process's name may hold any bytes: the board's
// ready line must stay valid JSON, and the doctor's text must show every
// control character and stray byte, never pass it to the terminal.
TEST(EscapedText, JsonAndTerminalTextWhateverTheBytes) {
  struct Case {
    std::string text, json, shown;
  };
  const Case cases[] = {
      {"/tmp/com12", "\"/tmp/com12\"", "/tmp/com12"},
      {"a\"b\\c", "\"a\\\"b\\\\c\"", "a\"b\\c"},
      {"tab\there", "\"tab\\u0009here\"", "tab\\x09here"},
      {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x94\x8C", "\"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x94\x8C\"",
       "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x94\x8C"},
      {"com\xE9", "\"com\\uFFFD\"", "com\\xe9"},                         // Latin-1, not UTF-8
      {"\xC3", "\"\\uFFFD\"", "\\xc3"},                                  // cut off
      {"\xC0\xAF", "\"\\uFFFD\\uFFFD\"", "\\xc0\\xaf"},                  // overlong '/'
      {"\xED\xA0\x80", "\"\\uFFFD\\uFFFD\\uFFFD\"", "\\xed\\xa0\\x80"},  // a surrogate
      {"\xF4\x90\x80\x80", "\"\\uFFFD\\uFFFD\\uFFFD\\uFFFD\"",
       "\\xf4\\x90\\x80\\x80"},  // past U+10FFFF
      {"\x1B[2J\x1B]0;t\x07", "\"\\u001B[2J\\u001B]0;t\\u0007\"",
       "\\x1b[2J\\x1b]0;t\\x07"},                                             // CSI, OSC
      {"x\n  [blocks] y", "\"x\\u000A  [blocks] y\"", "x\\x0a  [blocks] y"},  // a forged line
      {"\x7F\xC2\x9B\x9B\xC2\xA0", "\"\\u007F\\u009B\\uFFFD\xC2\xA0\"",
       "\\x7f\\xc2\\x9b\\x9b\xC2\xA0"},  // DEL, C1 as UTF-8 and alone; U+00A0 stands
      {std::string("nul\0", 4), "\"nul\\u0000\"", "nul\\x00"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.json);
    EXPECT_EQ(JsonString(c.text), c.json);
    EXPECT_EQ(EscapedText(c.text), c.shown);
  }
}

}  // namespace
