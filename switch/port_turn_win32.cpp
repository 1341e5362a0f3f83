#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>
// After windows.h, whose types it uses.
#include <sddl.h>

#include "serial/fixed_text.h"
#include "serial/rfc2217_client.h"
#include "switch/port_turn.h"
#include "switch/run_guard.h"

namespace {

constexpr char kMutexPrefix[] = "Global\\kavnori-";
// Every user may wait for and release the mutex; the system and
// administrators may do anything with it.
constexpr wchar_t kMutexAccess[] = L"D:(A;;0x00100001;;;WD)(A;;GA;;;SY)(A;;GA;;;BA)";

// The device's name without "\\.\" and in upper case, every character
// but a letter, digit, dot or dash as '_': COM12 whatever way it was written.
void NameLocalTurn(const char* portName, PortTurn* turn) {
  if (StartsWith(portName, "\\\\.\\") || StartsWith(portName, "\\\\?\\")) portName += 4;
  char* name = turn->names[0];
  std::size_t i = 0;
  for (; portName[i] != '\0' && i + 1 < kTurnNameCapacity; ++i) {
    char c = portName[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    const bool kept = (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-';
    name[i] = kept ? c : '_';
  }
  name[i] = '\0';
  turn->count = 1;
}

bool IsLoopback(const sockaddr* address) {
  if (address->sa_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
    return (ntohl(v4->sin_addr.s_addr) >> 24) == 127;
  }
  const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
  return IN6_IS_ADDR_LOOPBACK(&v6->sin6_addr);
}

// A host that does not resolve keeps its spelling: its run fails at the
// connect, and says why.
void NameNetworkTurn(const char* portName, PortTurn* turn) {
  NetworkAddress address;
  if (!ParseNetworkPortName(portName, &address)) {
    AddNetworkTurnName(turn, portName + sizeof "rfc2217://" - 1, "");
    return;
  }
  WSADATA started;
  ADDRINFOA hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  ADDRINFOA* found = nullptr;
  if (WSAStartup(MAKEWORD(2, 2), &started) != 0 ||
      getaddrinfo(address.host, address.service, &hints, &found) != 0) {
    AddNetworkTurnName(turn, address.host, address.service);
    return;
  }
  for (const ADDRINFOA* at = found; at != nullptr; at = at->ai_next) {
    char text[INET6_ADDRSTRLEN] = "127.0.0.1";
    if (!IsLoopback(at->ai_addr)) {
      getnameinfo(at->ai_addr, static_cast<socklen_t>(at->ai_addrlen), text, sizeof text, nullptr,
                  0, NI_NUMERICHOST);
    }
    AddNetworkTurnName(turn, text, address.service);
  }
  freeaddrinfo(found);
}

// The mutex of one lock: made by the first run with access for every user,
// opened by the others. Names are ASCII.
HANDLE OpenTurnMutex(const char* name) {
  wchar_t wide[kTurnNameCapacity + sizeof kMutexPrefix];
  std::size_t i = 0;
  for (const char* at = kMutexPrefix; *at != '\0'; ++at) wide[i++] = static_cast<wchar_t>(*at);
  for (; *name != '\0' && i + 1 < sizeof wide / sizeof wide[0]; ++name) {
    wide[i++] = static_cast<wchar_t>(*name);
  }
  wide[i] = L'\0';
  SECURITY_ATTRIBUTES security = {sizeof security, nullptr, FALSE};
  ConvertStringSecurityDescriptorToSecurityDescriptorW(kMutexAccess, SDDL_REVISION_1,
                                                       &security.lpSecurityDescriptor, nullptr);
  HANDLE mutex = CreateMutexExW(&security, wide, 0, SYNCHRONIZE | MUTEX_MODIFY_STATE);
  LocalFree(security.lpSecurityDescriptor);
  return mutex;
}

}  // namespace

void NamePortTurn(const char* portName, PortTurn* turn) {
  turn->count = 0;
  if (IsNetworkPortName(portName)) {
    NameNetworkTurn(portName, turn);
  } else {
    NameLocalTurn(portName, turn);
  }
}

void LockFolderPath(const PortTurn& turn, int i, char* path, std::size_t capacity) {
  Append(path, capacity, Append(path, capacity, 0, kMutexPrefix), turn.names[i]);
}

TurnResult TakePortTurn(PortTurn* turn, int waitMs) {
  const std::int64_t until = MonotonicMs() + waitMs;
  for (int i = 0; i < turn->count; ++i) {
    HANDLE mutex = OpenTurnMutex(turn->names[i]);
    TurnResult result = TurnResult::kUnusable;
    if (mutex != nullptr) {
      turn->folders[i] = static_cast<int>(reinterpret_cast<std::intptr_t>(mutex));
      const std::int64_t left = until - MonotonicMs();
      const DWORD waited = WaitForSingleObject(mutex, left > 0 ? static_cast<DWORD>(left) : 0);
      // Abandoned: a run that ended without giving its turn back; ours now.
      if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
        continue;
      }
      result = waited == WAIT_TIMEOUT ? TurnResult::kBusy : TurnResult::kUnusable;
      CloseHandle(mutex);
      turn->folders[i] = -1;
    }
    turn->failed = i;
    GivePortTurn(turn);
    return result;
  }
  return TurnResult::kTaken;
}

void GivePortTurn(PortTurn* turn) {
  for (int& held : turn->folders) {
    if (held == -1) continue;
    HANDLE mutex = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(held));
    ReleaseMutex(mutex);
    CloseHandle(mutex);
    held = -1;
  }
}
