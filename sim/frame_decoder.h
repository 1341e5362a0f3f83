// Finds command frames in the byte stream a board receives.
//
// Bytes go in as they are read, each read with the line settings read just
// before it (the kernel keeps no record of the settings each byte was sent
// with); a pause in the stream goes in as FeedGapElapsed. Out come
// events: a frame the board acts on, or input it throws away and why.
//
// A frame starts at 0x55 and is 8 bytes long. Bytes before a start byte are
// stray and reported together, when the start byte comes or the line goes
// quiet. A frame still incomplete when the line goes quiet is short. A full
// frame with a fault is thrown away whole: the decoder does not look inside
// it for another start byte, so a sender with a bad checksum sees exactly
// that reported.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "protocol/command_frame.h"
#include "sim/line_settings.h"

// Stray bytes beyond this many are reported in more than one event.
constexpr std::size_t kMaxReportedBytes = 64;

enum class FrameEventKind {
  kFrame,             // valid: the board acts on it
  kLineNotBoardLine,  // arrived while the line was not 9600 8N1
  kBadChecksum,
  kUnknownCommand,
  kReservedNotZero,  // bytes 3 to 5 must be 00
  kRelayOutOfRange,  // relay over 16
  kStrayBytes,
  kShortFrame,
};

struct FrameEvent {
  FrameEventKind kind;
  std::uint8_t bytes[kMaxReportedBytes];
  std::size_t byteCount;
  // For a frame: a line that was not 9600 8N1 during any of its bytes, or
  // else the line at its start byte.
  LineSettings line;
};

struct FrameDecoder {
  std::uint8_t pending[kMaxReportedBytes];
  std::size_t pendingCount;
  bool inFrame;  // pending holds a frame's first bytes, else stray bytes
  LineSettings pendingLine;
};

FrameDecoder NewFrameDecoder();

void FeedBytes(FrameDecoder* decoder, const std::uint8_t* data, std::size_t count,
               const LineSettings& line, std::vector<FrameEvent>* events);

// The line has been quiet for the gap that ends a frame.
void FeedGapElapsed(FrameDecoder* decoder, std::vector<FrameEvent>* events);

// Whether a gap would report anything: the caller arms its timer on this.
bool HasPendingInput(const FrameDecoder& decoder);

// Whether the event is a whole 8-byte frame (valid or not), whose fields
// below can be read.
bool IsWholeFrame(const FrameEvent& event);
// Frames seen, applied or rejected, short ones included; stray bytes are not
// a frame.
bool CountsAsFrame(const FrameEvent& event);
std::uint8_t FrameAddress(const FrameEvent& event);
std::uint8_t FrameCommand(const FrameEvent& event);
std::uint8_t FrameRelay(const FrameEvent& event);
std::uint8_t ReceivedChecksum(const FrameEvent& event);
std::uint8_t ExpectedChecksum(const FrameEvent& event);
