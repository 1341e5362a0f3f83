#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <cstring>

#include "serial/fixed_text.h"
#include "serial/rfc2217_client.h"
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

void AddName(PortTurn* turn, const char* host, const char* service) {
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

bool IsLoopback(const struct sockaddr* address) {
  if (address->sa_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const struct sockaddr_in*>(address);
    return (ntohl(v4->sin_addr.s_addr) >> 24) == 127;
  }
  const auto* v6 = reinterpret_cast<const struct sockaddr_in6*>(address);
  return IN6_IS_ADDR_LOOPBACK(&v6->sin6_addr);
}

// A host that does not resolve keeps its spelling: its run fails at the
// connect, and says why.
}  // namespace

void NameNetworkTurn(const char* portName, PortTurn* turn) {
  NetworkAddress address;
  if (!ParseNetworkPortName(portName, &address)) {
    AddName(turn, portName + std::strlen("rfc2217://"), "");
    return;
  }
#ifdef _WIN32
  WSADATA started;
  if (WSAStartup(MAKEWORD(2, 2), &started) != 0) {
    AddName(turn, address.host, address.service);
    return;
  }
#endif
  struct addrinfo hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo* found = nullptr;
  if (getaddrinfo(address.host, address.service, &hints, &found) != 0) {
    AddName(turn, address.host, address.service);
    return;
  }
  for (const struct addrinfo* at = found; at != nullptr; at = at->ai_next) {
    char text[INET6_ADDRSTRLEN] = "127.0.0.1";
    if (!IsLoopback(at->ai_addr)) {
      getnameinfo(at->ai_addr, static_cast<socklen_t>(at->ai_addrlen), text, sizeof text, nullptr,
                  0, NI_NUMERICHOST);
    }
    AddName(turn, text, address.service);
  }
  freeaddrinfo(found);
}

void NamePortTurn(const char* portName, PortTurn* turn) {
  turn->count = 0;
  if (IsNetworkPortName(portName)) {
    NameNetworkTurn(portName, turn);
  } else {
    NameLocalTurn(portName, turn);
  }
}
