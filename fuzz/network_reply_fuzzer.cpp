// libFuzzer target over the network reply parser: a whole run on a network
// port (open, settings, frame, barrier, close) against the far end of
// tests/fake_network.h, whose bytes the input cuts, delays, drops and mixes
// with bytes of its own. It never opens a socket.
//
// Input layout (see fuzz/README.md):
//   byte 0     bit 0: the far end never reads past 4 KB; bits 1-3: the
//              frame's send takes that many 700 ms; bit 4: it closes once
//              it has said all; bit 5: the address is 0xFF (doubled)
//   then       one step before each read, two bytes (op, n), op % 4:
//              0 reads hand over at most n + 1 bytes; 1 each read's bytes
//              come n * 20 ms after it starts; 2 the next n input bytes go
//              in front of what the far end has to say (op & 4: behind
//              it); 3 the first n bytes of that are lost (op & 4: the next
//              3 input bytes go in front (n + 1) * 16 times, a storm)
//   when the input runs out, the far end says the rest as it is
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "protocol/command_frame.h"
#include "tests/fake_network.h"

namespace {

const std::uint8_t* input;
std::size_t inputLeft;

std::uint8_t Take() {
  if (inputLeft == 0) return 0;
  --inputLeft;
  return *input++;
}

void Step(FakeFarEnd* farEnd) {
  if (inputLeft < 2) return;
  const std::uint8_t op = Take();
  const std::size_t n = Take();
  std::vector<std::uint8_t>& pending = farEnd->pending;
  switch (op % 4) {
    case 0:
      farEnd->readSize = n + 1;
      break;
    case 1:
      farEnd->readDelayMs = static_cast<int>(n) * 20;
      break;
    case 2: {
      const std::size_t count = n < inputLeft ? n : inputLeft;
      pending.insert((op & 4) != 0 ? pending.end() : pending.begin(), input, input + count);
      input += count;
      inputLeft -= count;
      break;
    }
    case 3:
      if ((op & 4) != 0 && inputLeft >= 3) {  // a storm: 3 bytes, (n + 1) * 16 times
        for (std::size_t i = 0; i < (n + 1) * 16; ++i)
          pending.insert(pending.begin(), input, input + 3);
        input += 3;
        inputLeft -= 3;
      } else {
        pending.erase(pending.begin(),
                      pending.begin() + static_cast<long>(n < pending.size() ? n : pending.size()));
      }
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The stages' failure lines go to standard output; libFuzzer's to error.
  const int nowhere = ::open("/dev/null", O_WRONLY);
  if (nowhere >= 0) ::dup2(nowhere, 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  input = data;
  inputLeft = size;
  const std::uint8_t flags = Take();
  InstallFakeFarEnd();
  FakeFarEnd& farEnd = fakeFarEnd;
  if ((flags & 1) != 0) farEnd.unreadRoom = 4096;
  farEnd.frameSendMs = ((flags >> 1) & 7) * 700;
  farEnd.hangsUp = (flags & 16) != 0;
  farEnd.beforeRead = Step;
  const CommandFrame frame = BuildCommandFrame((flags & 32) != 0 ? 0xFF : 1, 1, 3);

  const FarEndRun run = RunOnFakeFarEnd(frame);
  for (int stage = 0; stage < 3; ++stage)
    Check(run.stageMs[stage] <= kStageLimitMs[stage], "each stage ends within its time");

  // Its requests, and each option refused once at most.
  Check(farEnd.sent.size() <= 128 + 2 * 256 * 3, "the client sends no more than it must");
  const std::vector<std::uint8_t> sentFrame(frame.bytes, frame.bytes + kCommandFrameSize);
  Check(farEnd.data == (run.configured ? sentFrame : std::vector<std::uint8_t>()),
        "the far port gets the frame whole once the line is set, else nothing");
  if (run.configured) {
    Check(farEnd.held[1] == 9600 && farEnd.held[2] == 8 && farEnd.held[3] == 1 &&
              farEnd.held[4] == 1 && farEnd.held[5] == 1,
          "a line taken for set is 9600 8N1 without flow control at the far end");
  }
  RestoreRealNetwork();
  return 0;
}
