// winsock2.h before windows.h, which would bring the old winsock.h.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <cstring>

#include "serial/network_socket.h"

namespace {

std::int64_t RealNowMs() { return static_cast<std::int64_t>(::GetTickCount64()); }

// Waits until the socket is readable (or writable), or the time runs out. A
// connect that fails shows in the exception set.
bool WaitFor(SOCKET socket, bool forWriting, int timeoutMs, std::uint32_t* error) {
  fd_set ready;
  fd_set failed;
  FD_ZERO(&ready);
  FD_ZERO(&failed);
  FD_SET(socket, &ready);
  FD_SET(socket, &failed);
  struct timeval wait = {timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  const int count =
      ::select(0, forWriting ? nullptr : &ready, forWriting ? &ready : nullptr, &failed, &wait);
  if (count == SOCKET_ERROR) {
    *error = static_cast<std::uint32_t>(::WSAGetLastError());
    return false;
  }
  if (count == 0) {
    *error = WSAETIMEDOUT;
    return false;
  }
  if (FD_ISSET(socket, &failed)) {
    int pending = 0;
    int size = sizeof pending;
    ::getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&pending), &size);
    *error = static_cast<std::uint32_t>(pending != 0 ? pending : WSAECONNREFUSED);
    return false;
  }
  return true;
}

// Non-blocking, so that a far end that never answers costs at most the
// deadline rather than Windows' 21 s of SYN retries.
SOCKET ConnectOne(const ADDRINFOA& address, int timeoutMs, std::uint32_t* error) {
  SOCKET socket = ::socket(address.ai_family, address.ai_socktype, address.ai_protocol);
  if (socket == INVALID_SOCKET) {
    *error = static_cast<std::uint32_t>(::WSAGetLastError());
    return INVALID_SOCKET;
  }
  u_long nonBlocking = 1;
  ::ioctlsocket(socket, FIONBIO, &nonBlocking);
  if (::connect(socket, address.ai_addr, static_cast<int>(address.ai_addrlen)) == 0) return socket;
  std::uint32_t code = static_cast<std::uint32_t>(::WSAGetLastError());
  if (code == WSAEWOULDBLOCK && WaitFor(socket, true, timeoutMs, &code)) return socket;
  *error = code;
  ::closesocket(socket);
  return INVALID_SOCKET;
}

NetworkSocket RealConnect(const char* host, const char* service, int timeoutMs,
                          std::uint32_t* error) {
  WSADATA started;
  const int startup = ::WSAStartup(MAKEWORD(2, 2), &started);
  if (startup != 0) {
    *error = static_cast<std::uint32_t>(startup);
    return kNoSocket;
  }
  ADDRINFOA wanted;
  std::memset(&wanted, 0, sizeof wanted);
  wanted.ai_family = AF_UNSPEC;
  wanted.ai_socktype = SOCK_STREAM;
  wanted.ai_flags = AI_NUMERICSERV;
  ADDRINFOA* found = nullptr;
  if (::getaddrinfo(host, service, &wanted, &found) != 0) {
    *error = static_cast<std::uint32_t>(::WSAGetLastError());
    return kNoSocket;
  }
  const std::int64_t deadline = RealNowMs() + timeoutMs;
  *error = WSAETIMEDOUT;  // when no address is left time to try
  SOCKET socket = INVALID_SOCKET;
  for (const ADDRINFOA* address = found; address != nullptr && socket == INVALID_SOCKET;
       address = address->ai_next) {
    const std::int64_t left = deadline - RealNowMs();
    if (left <= 0) break;
    socket = ConnectOne(*address, static_cast<int>(left), error);
  }
  ::freeaddrinfo(found);
  // A SOCKET is no C runtime descriptor: a standard output closed at the
  // start stays closed for the runtime's stdout, whatever the socket's
  // number, so it needs no moving.
  return socket == INVALID_SOCKET ? kNoSocket : static_cast<NetworkSocket>(socket);
}

long RealSend(NetworkSocket socket, const std::uint8_t* bytes, std::size_t count,
              std::uint32_t* error) {
  const SOCKET handle = static_cast<SOCKET>(socket);
  if (!WaitFor(handle, true, 5000, error)) return -1;
  const int sent = ::send(handle, reinterpret_cast<const char*>(bytes), static_cast<int>(count), 0);
  if (sent == SOCKET_ERROR) *error = static_cast<std::uint32_t>(::WSAGetLastError());
  return sent;
}

long RealReceive(NetworkSocket socket, std::uint8_t* bytes, std::size_t capacity, int timeoutMs,
                 std::uint32_t* error) {
  const SOCKET handle = static_cast<SOCKET>(socket);
  if (!WaitFor(handle, false, timeoutMs, error)) return -1;
  const int got = ::recv(handle, reinterpret_cast<char*>(bytes), static_cast<int>(capacity), 0);
  if (got == SOCKET_ERROR) *error = static_cast<std::uint32_t>(::WSAGetLastError());
  return got;
}

bool SetOption(NetworkSocket socket, int level, int name, const void* value, int size,
               std::uint32_t* error) {
  if (::setsockopt(static_cast<SOCKET>(socket), level, name, static_cast<const char*>(value),
                   size) == 0) {
    return true;
  }
  *error = static_cast<std::uint32_t>(::WSAGetLastError());
  return false;
}

bool RealSendAtOnce(NetworkSocket socket, std::uint32_t* error) {
  const BOOL on = TRUE;
  return SetOption(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on, error);
}

bool RealDropQueueOnClose(NetworkSocket socket, bool drop, std::uint32_t* error) {
  const struct linger linger = {static_cast<u_short>(drop ? 1 : 0), 0};
  return SetOption(socket, SOL_SOCKET, SO_LINGER, &linger, sizeof linger, error);
}

bool RealClose(NetworkSocket socket, std::uint32_t* error) {
  if (::closesocket(static_cast<SOCKET>(socket)) == 0) return true;
  *error = static_cast<std::uint32_t>(::WSAGetLastError());
  return false;
}

}  // namespace

const NetworkCalls kRealNetworkCalls = {RealConnect, RealSend,       RealReceive,         RealClose,
                                        RealNowMs,   RealSendAtOnce, RealDropQueueOnClose};
NetworkCalls networkCalls = kRealNetworkCalls;

const std::uint32_t kNetworkTimedOut = WSAETIMEDOUT;
const std::uint32_t kNetworkClosedByPeer = WSAECONNRESET;
const std::uint32_t kNetworkNoRfc2217 = WSAEPROTONOSUPPORT;
const std::uint32_t kNetworkValueRefused = WSAEINVAL;
const std::uint32_t kNetworkFarDeviceFails = ERROR_DEV_NOT_EXIST;
const std::uint32_t kNetworkNameNotFound = WSAHOST_NOT_FOUND;
const std::uint32_t kNetworkRefused = WSAECONNREFUSED;
