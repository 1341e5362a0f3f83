#include <cstring>

#include "serial/fixed_text.h"
#include "switch/port_turn.h"

namespace {

constexpr char kNetworkPrefix[] = "rfc2217-";

// Lower case; every character but a letter, digit, dot or dash as '_'.
void Tidy(char* name) {
  for (; *name != '\0'; ++name) {
    char c = *name;
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    const bool kept = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-';
    *name = kept ? c : '_';
  }
}

}  // namespace

void AddNetworkTurnName(PortTurn* turn, const char* host, const char* service) {
  if (turn->count == kMostTurnLocks) return;
  char name[kTurnNameCapacity];
  std::size_t length = Append(name, sizeof name, 0, kNetworkPrefix);
  length = Append(name, sizeof name, length, host);
  length = Append(name, sizeof name, length, "_");
  Append(name, sizeof name, length, service);
  Tidy(name + sizeof kNetworkPrefix - 1);
  for (int i = 0; i < turn->count; ++i) {
    if (SameText(turn->names[i], name)) return;
  }
  // Kept sorted: every run takes the locks in one order, so two never wait
  // for each other.
  int at = turn->count++;
  for (; at > 0 && std::strcmp(turn->names[at - 1], name) > 0; --at) {
    Append(turn->names[at], kTurnNameCapacity, 0, turn->names[at - 1]);
  }
  Append(turn->names[at], kTurnNameCapacity, 0, name);
}
