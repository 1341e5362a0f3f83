#include "serial/fixed_text.h"
#include "switch/run_guard.h"

// Each line in a buffer of its own and one write: safe in a signal handler.
void SayAboutPort(const char* port, const char* first, const char* second, const char* third) {
  char line[1024];
  std::size_t length = Append(line, sizeof line, 0, "kavnori-switch: ");
  const char* parts[] = {port, ": ", first, second, third, "\n"};
  for (const char* part : parts) length = Append(line, sizeof line, length, part);
  WriteError(line, length);
}

void SayStopped(const char* port, const char* by, GuardStage stage) {
  char what[96];
  Append(what, sizeof what, Append(what, sizeof what, 0, "stopped by "), by);
  SayAboutPort(port, what,
               stage == GuardStage::kBeforeFrame ? "; nothing sent"
               : stage == GuardStage::kSending   ? "; the frame may not have gone out"
                                                 : "; the final frame still goes out at its time");
}

void SayTimedOut(const char* port, int seconds, bool discarded) {
  char what[96];
  std::size_t length = Append(what, sizeof what, 0, "timed out after ");
  AppendNumber(what, sizeof what, length, static_cast<unsigned>(seconds), 1);
  SayAboutPort(port, what,
               discarded ? " s; the frame was discarded from the output queue"
                         : " s; the frame may not have gone out");
}
