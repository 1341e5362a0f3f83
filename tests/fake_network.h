// A far end behind the socket calls (networkCalls) for the unit tests and
// the network reply fuzzer. By default it is ser2net's telnet(rfc2217)
// accepter: it speaks first (kSer2netGreeting, as ser2net 4.3 sends it),
// then answers each COM-PORT-OPTION request with the value it now holds, a
// speed query with its speed. Time is a clock of its own that only the
// calls move, so a test sees how long a stage would have taken.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "protocol/command_frame.h"

extern const std::uint8_t kSer2netGreeting[21];

struct FakeFarEnd {
  // Given; by default ser2net's ways at 19200 8N1.
  std::vector<std::uint8_t> pending =  // what the next reads hand over, in order
      std::vector<std::uint8_t>(kSer2netGreeting, kSer2netGreeting + sizeof kSer2netGreeting);
  std::size_t readSize = 4096;            // the most one read hands over
  int readDelayMs = 0;                    // the time before each read's bytes come
  bool hangsUp = false;                   // closes once pending is read
  bool answers = true;                    // false: it takes requests and says nothing
  std::vector<std::uint8_t> afterAnswer;  // sent right behind each answer
  // The bytes a send may leave in the buffers of a far end that does not
  // read: a send past them waits 5 s and fails, as the real one does. And
  // the time a send with bytes for the far port takes to find room.
  std::size_t unreadRoom = static_cast<std::size_t>(-1);
  int frameSendMs = 0;
  // Called before each read, when set (the fuzzer's hook).
  void (*beforeRead)(FakeFarEnd* farEnd) = nullptr;

  // Seen
  std::int64_t nowMs = 1000;
  std::vector<std::uint8_t> sent;                  // everything the client sent
  std::vector<std::uint8_t> data;                  // the bytes meant for the far port, unescaped
  std::uint32_t held[6] = {0, 19200, 8, 1, 1, 1};  // the value each COM-PORT-OPTION command set
  bool dropsQueue = false;                         // SO_LINGER 0 as the socket stands now
  int sendState = 0;                               // the reading of sent, byte by byte
  std::vector<std::uint8_t> request;
};

extern FakeFarEnd fakeFarEnd;

// Sets fakeFarEnd to its defaults and installs it.
void InstallFakeFarEnd();
void RestoreRealNetwork();
// IAC SB COM-PORT-OPTION command value... IAC SE, the value's bytes as given.
std::vector<std::uint8_t> ComPortAnswer(std::uint8_t command, std::vector<std::uint8_t> value);

// A run on a network port as the command takes it (open, settings, then the
// frame with its barrier and the close), each stage's time on the far end's
// clock, held to kStageLimitMs.
struct FarEndRun {
  std::int64_t stageMs[3];
  bool configured;
};
constexpr std::int64_t kStageLimitMs[3] = {5000, 3000, 5000};
FarEndRun RunOnFakeFarEnd(const CommandFrame& frame);
