#include "sim/frame_decoder.h"

#include <cstring>

namespace {

FrameEvent EventFromPending(const FrameDecoder& decoder, FrameEventKind kind) {
  FrameEvent event = {};
  event.kind = kind;
  std::memcpy(event.bytes, decoder.pending, decoder.pendingCount);
  event.byteCount = decoder.pendingCount;
  event.line = decoder.pendingLine;
  return event;
}

void ClearPending(FrameDecoder* decoder) {
  decoder->pendingCount = 0;
  decoder->inFrame = false;
}

void ReportStrayBytes(FrameDecoder* decoder, std::vector<FrameEvent>* events) {
  if (decoder->pendingCount == 0) return;
  events->push_back(EventFromPending(*decoder, FrameEventKind::kStrayBytes));
  ClearPending(decoder);
}

bool ReservedBytesAreZero(const std::uint8_t* frame) {
  for (std::size_t i = kFrameFirstReservedOffset; i < kFrameRelayOffset; ++i) {
    if (frame[i] != 0) return false;
  }
  return true;
}

// The first fault a board would trip over, in the order it checks: nothing
// can be trusted from a garbled line or a wrong checksum.
FrameEventKind ClassifyFrame(const std::uint8_t* frame, const LineSettings& line) {
  if (!IsBoardLine(line)) return FrameEventKind::kLineNotBoardLine;
  if (FrameChecksum(frame) != frame[kFrameChecksumOffset]) return FrameEventKind::kBadChecksum;
  const std::uint8_t command = frame[kFrameCommandOffset];
  if (command != kCommandSwitchOn && command != kCommandSwitchOff) {
    return FrameEventKind::kUnknownCommand;
  }
  if (!ReservedBytesAreZero(frame)) return FrameEventKind::kReservedNotZero;
  if (frame[kFrameRelayOffset] > kRelaysPerBoard) return FrameEventKind::kRelayOutOfRange;
  return FrameEventKind::kFrame;
}

void StartFrame(FrameDecoder* decoder, const LineSettings& line) {
  decoder->inFrame = true;
  decoder->pending[0] = kFrameStartByte;
  decoder->pendingCount = 1;
  decoder->pendingLine = line;
}

void AddFrameByte(FrameDecoder* decoder, std::uint8_t byte, const LineSettings& line,
                  std::vector<FrameEvent>* events) {
  decoder->pending[decoder->pendingCount++] = byte;
  // One byte sent on a wrong line is enough to garble the frame.
  if (IsBoardLine(decoder->pendingLine) && !IsBoardLine(line)) decoder->pendingLine = line;
  if (decoder->pendingCount < kCommandFrameSize) return;
  events->push_back(
      EventFromPending(*decoder, ClassifyFrame(decoder->pending, decoder->pendingLine)));
  ClearPending(decoder);
}

void AddStrayByte(FrameDecoder* decoder, std::uint8_t byte, const LineSettings& line,
                  std::vector<FrameEvent>* events) {
  if (decoder->pendingCount == 0) decoder->pendingLine = line;
  decoder->pending[decoder->pendingCount++] = byte;
  if (decoder->pendingCount == kMaxReportedBytes) ReportStrayBytes(decoder, events);
}

void FeedByte(FrameDecoder* decoder, std::uint8_t byte, const LineSettings& line,
              std::vector<FrameEvent>* events) {
  if (decoder->inFrame) {
    AddFrameByte(decoder, byte, line, events);
  } else if (byte == kFrameStartByte) {
    ReportStrayBytes(decoder, events);
    StartFrame(decoder, line);
  } else {
    AddStrayByte(decoder, byte, line, events);
  }
}

}  // namespace

FrameDecoder NewFrameDecoder() {
  FrameDecoder decoder = {};
  decoder.pendingLine = BoardLineSettings();
  return decoder;
}

void FeedBytes(FrameDecoder* decoder, const std::uint8_t* data, std::size_t count,
               const LineSettings& line, std::vector<FrameEvent>* events) {
  for (std::size_t i = 0; i < count; ++i) FeedByte(decoder, data[i], line, events);
}

void FeedGapElapsed(FrameDecoder* decoder, std::vector<FrameEvent>* events) {
  if (decoder->pendingCount == 0) return;
  const FrameEventKind kind =
      decoder->inFrame ? FrameEventKind::kShortFrame : FrameEventKind::kStrayBytes;
  events->push_back(EventFromPending(*decoder, kind));
  ClearPending(decoder);
}

bool HasPendingInput(const FrameDecoder& decoder) { return decoder.pendingCount > 0; }

bool IsWholeFrame(const FrameEvent& event) {
  return event.byteCount == kCommandFrameSize && event.kind != FrameEventKind::kStrayBytes &&
         event.kind != FrameEventKind::kShortFrame;
}

bool CountsAsFrame(const FrameEvent& event) { return event.kind != FrameEventKind::kStrayBytes; }

std::uint8_t FrameAddress(const FrameEvent& event) { return event.bytes[kFrameAddressOffset]; }
std::uint8_t FrameCommand(const FrameEvent& event) { return event.bytes[kFrameCommandOffset]; }
std::uint8_t FrameRelay(const FrameEvent& event) { return event.bytes[kFrameRelayOffset]; }
std::uint8_t ReceivedChecksum(const FrameEvent& event) { return event.bytes[kFrameChecksumOffset]; }
std::uint8_t ExpectedChecksum(const FrameEvent& event) { return FrameChecksum(event.bytes); }
