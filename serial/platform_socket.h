// The platform's own socket calls (network_socket_linux.cpp,
// network_socket_win32.cpp), from which network_socket.cpp makes
// kRealNetworkCalls. The raw ones answer as the system does, below zero on
// a failure, whose code LastSocketError then gives.
#pragma once

#include <cstddef>
#include <cstdint>

#include "serial/network_socket.h"

enum class SocketOption {
  kSendAtOnce,        // TCP_NODELAY
  kDropQueueOnClose,  // SO_LINGER with a time of 0
};

NetworkSocket ConnectSocket(const char* host, const char* service, int timeoutMs,
                            std::uint32_t* error);
std::int64_t SocketClockMs();
// Waits until the socket may be written (or read), or the time runs out.
bool WaitForSocket(NetworkSocket socket, bool forWriting, int timeoutMs, std::uint32_t* error);

long SendSome(NetworkSocket socket, const std::uint8_t* bytes, std::size_t count);
long ReceiveSome(NetworkSocket socket, std::uint8_t* bytes, std::size_t capacity);
int SetSocketOption(NetworkSocket socket, SocketOption option, bool on);
int CloseSocket(NetworkSocket socket);
std::uint32_t LastSocketError();

// Connects to the first of the addresses found (a getaddrinfo list) that
// answers, each tried with the time left; `none` when none did.
template <typename Address, typename Socket>
Socket ConnectFirst(const Address* found, int timeoutMs, Socket none,
                    Socket (*connectOne)(const Address&, int, std::uint32_t*),
                    std::uint32_t* error) {
  const std::int64_t deadline = SocketClockMs() + timeoutMs;
  *error = kNetworkTimedOut;  // when no address is left time to try
  Socket socket = none;
  for (const Address* address = found; address != nullptr && socket == none;
       address = address->ai_next) {
    const std::int64_t left = deadline - SocketClockMs();
    if (left <= 0) break;
    socket = connectOne(*address, static_cast<int>(left), error);
  }
  return socket;
}
