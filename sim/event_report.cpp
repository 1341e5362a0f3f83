#include "sim/event_report.h"

#include <cstdio>

namespace {

std::string HexBytes(const FrameEvent& event) {
  std::string text;
  char byteText[4];
  for (std::size_t i = 0; i < event.byteCount; ++i) {
    std::snprintf(byteText, sizeof byteText, "%02X", event.bytes[i]);
    if (i > 0) text += ' ';
    text += byteText;
  }
  return text;
}

std::string HexByte(std::uint8_t byte) {
  char text[4];
  std::snprintf(text, sizeof text, "%02X", byte);
  return text;
}

// "3-5", "1-16": a run of byte offsets or relay numbers, as the texts write it.
std::string NumberRange(std::size_t first, std::size_t last) {
  return std::to_string(first) + "-" + std::to_string(last);
}

const char* PowerName(const FrameEvent& event) {
  return FrameCommand(event) == kCommandSwitchOn ? "on" : "off";
}

// Relay 1 first, in groups of four so that relay 11 is found at a glance.
std::string RelayRow(const RelayBank& bank, std::uint8_t address) {
  std::string row = "[";
  for (int relay = 1; relay <= kRelaysPerBoard; ++relay) {
    row += RelayIsOn(bank, address, relay) ? '#' : '.';
    if (relay % 4 == 0 && relay < kRelaysPerBoard) row += ' ';
  }
  return row + "]";
}

std::string WhatTheFrameSays(const FrameEvent& event) {
  const std::string board = "board " + std::to_string(FrameAddress(event));
  if (FrameRelay(event) == kAllRelays) return board + " all relays " + PowerName(event);
  return board + " relay " + std::to_string(FrameRelay(event)) + " " + PowerName(event);
}

// Why the board threw the input away, in words.
std::string RejectionDetail(const FrameEvent& event) {
  switch (event.kind) {
    case FrameEventKind::kFrame:
      return "";
    case FrameEventKind::kLineNotBoardLine:
      return "a board reads 9600 8N1 only";
    case FrameEventKind::kBadChecksum:
      return "checksum " + HexByte(ReceivedChecksum(event)) + ", sum of bytes " +
             NumberRange(0, kFrameChecksumOffset - 1) + " is " + HexByte(ExpectedChecksum(event));
    case FrameEventKind::kUnknownCommand:
      return "command " + HexByte(FrameCommand(event)) + " is neither " +
             HexByte(kCommandSwitchOn) + " (on) nor " + HexByte(kCommandSwitchOff) + " (off)";
    case FrameEventKind::kReservedNotZero:
      return "bytes " + NumberRange(kFrameFirstReservedOffset, kFrameRelayOffset - 1) +
             " must be 00";
    case FrameEventKind::kRelayOutOfRange:
      return "relay " + std::to_string(FrameRelay(event)) + " is over " +
             std::to_string(kRelaysPerBoard);
    case FrameEventKind::kStrayBytes:
      return std::to_string(event.byteCount) + " byte(s) outside a frame";
    case FrameEventKind::kShortFrame:
      return "line went quiet after " + std::to_string(event.byteCount) + " of " +
             std::to_string(kCommandFrameSize) + " bytes";
  }
  return "";
}

std::string JsonLine(const LineSettings& line) {
  return std::string("{\"baud\":") + std::to_string(line.baud) +
         ",\"data_bits\":" + std::to_string(line.dataBits) + ",\"parity\":\"" +
         ParityName(line.parity) + "\",\"stop_bits\":" + std::to_string(line.stopBits) +
         ",\"output_processing\":" + (line.outputProcessing ? "true" : "false") + "}";
}

std::string JsonRelays(const RelayBank& bank, std::uint8_t address) {
  std::string list = "[";
  for (int relay = 1; relay <= kRelaysPerBoard; ++relay) {
    if (relay > 1) list += ',';
    list += RelayIsOn(bank, address, relay) ? "true" : "false";
  }
  return list + "]";
}

std::string JsonFrameFields(const FrameEvent& event, const RelayBank& bank) {
  return ",\"address\":" + std::to_string(FrameAddress(event)) +
         ",\"relay\":" + std::to_string(FrameRelay(event)) + ",\"power\":\"" +
         (FrameCommand(event) == kCommandSwitchOn    ? "on"
          : FrameCommand(event) == kCommandSwitchOff ? "off"
                                                     : "unknown") +
         "\",\"relays\":" + JsonRelays(bank, FrameAddress(event));
}

// The names scripts match in "kind" and after REJECTED.
struct KindName {
  FrameEventKind kind;
  const char* name;
};

constexpr KindName kKindNames[] = {{FrameEventKind::kFrame, "frame"},
                                   {FrameEventKind::kLineNotBoardLine, "line_not_9600_8n1"},
                                   {FrameEventKind::kBadChecksum, "bad_checksum"},
                                   {FrameEventKind::kUnknownCommand, "unknown_command"},
                                   {FrameEventKind::kReservedNotZero, "reserved_not_zero"},
                                   {FrameEventKind::kRelayOutOfRange, "relay_out_of_range"},
                                   {FrameEventKind::kStrayBytes, "stray_bytes"},
                                   {FrameEventKind::kShortFrame, "short_frame"}};

}  // namespace

const char* EventKindName(FrameEventKind kind) {
  for (const KindName& known : kKindNames) {
    if (known.kind == kind) return known.name;
  }
  return "unknown";
}

std::string FormatReadyLine(const std::string& slavePath, const std::string& linkPath, bool json) {
  if (!json) return slavePath;
  std::string line = "{\"event\":\"ready\",\"path\":" + JsonString(slavePath);
  if (!linkPath.empty()) line += ",\"link\":" + JsonString(linkPath);
  return line + "}";
}

std::string FormatHumanLine(const FrameEvent& event, const RelayBank& bank) {
  std::string text = HexBytes(event) + "  ";
  if (event.kind == FrameEventKind::kFrame) {
    text += WhatTheFrameSays(event) + "  " + DescribeLine(event.line) + "  relays " +
            NumberRange(1, kRelaysPerBoard) + " " + RelayRow(bank, FrameAddress(event));
  } else {
    text += std::string("REJECTED ") + EventKindName(event.kind) + ": " + RejectionDetail(event) +
            "  " + DescribeLine(event.line);
    if (IsWholeFrame(event)) {
      text += "  board " + std::to_string(FrameAddress(event)) + " unchanged " +
              RelayRow(bank, FrameAddress(event));
    }
  }
  if (event.line.outputProcessing) text += "  (sender's output processing is on)";
  return text;
}

std::string FormatJsonLine(const FrameEvent& event, const RelayBank& bank, long long arrivedUs) {
  const bool applied = event.kind == FrameEventKind::kFrame;
  std::string text = std::string("{\"event\":\"") + (applied ? "frame" : "error") + "\"";
  if (!applied) text += std::string(",\"kind\":\"") + EventKindName(event.kind) + "\"";
  text += ",\"bytes\":\"" + HexBytes(event) + "\"";
  if (IsWholeFrame(event)) text += JsonFrameFields(event, bank);
  text += ",\"line\":" + JsonLine(event.line);
  if (!applied) text += ",\"detail\":" + JsonString(RejectionDetail(event));
  if (arrivedUs >= 0) text += ",\"monotonic_us\":" + std::to_string(arrivedUs);
  return text + ",\"applied\":" + (applied ? "true" : "false") + "}";
}
