// The release: the process that sends the final frame of a pulse (off) or
// a cycle (on) at its time, whatever happens to the caller. Started before
// the first frame, in a session of its own, with none of the caller's
// files open (a caller that reads our output to its end must not wait for
// it), it outlives SIGKILL of the caller, of its process group or session,
// and a hang-up. Told "armed" or "go" over a socket, it sends the final
// frame once the hold has passed from the first frame's write; a caller
// that ends before either sends nothing more.
#pragma once

#include <cstdint>

#include "app/relay_command.h"
#include "switch/port_turn.h"
#include "switch/relay_state.h"

struct ReleasePlan {
  const char* port;  // as given, for the release's lines
  RelayCommand finalCommand;
  PortTurn turn;                                // names only
  std::uint32_t generations[kStateRelays + 1];  // the relays' own, by number
  std::int64_t holdMs;
  int timeLimitMs;  // of one attempt
};

// Descriptors, or Windows handles (which fit 32 bits).
struct Release {
  bool told = false;  // armed or gone ahead: the final frame will go out
  int control = -1;
  int output = -1;  // the final frame's lines, for a caller that waits
  int errors = -1;
  int done = -1;  // Windows: the status, on a pipe of its own
};

bool StartRelease(const ReleasePlan& plan, Release* release);
// A release started as a program of its own (Windows: kavnori-switch.exe
// with a hidden first argument) runs here, and gives its status; false for
// any other command line.
bool RunAsRelease(int argc, const char* const* argv, int* status);
// Armed: the final goes out even if no go follows (a cycle's on).
void ArmRelease(Release* release);
// Go: the first frame is written now; the hold counts from here.
void GoRelease(Release* release);
// Copies the release's lines to ours until it is done: its status. Only
// for a release that was told.
int AwaitRelease(Release* release);
void LeaveRelease(Release* release);
