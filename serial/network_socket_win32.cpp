// winsock2.h before windows.h, which would bring the old winsock.h.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include "serial/network_socket.h"
#include "serial/platform_socket.h"

std::int64_t SocketClockMs() { return static_cast<std::int64_t>(::GetTickCount64()); }

namespace {

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

}  // namespace

NetworkSocket ConnectSocket(const char* host, const char* service, int timeoutMs,
                            std::uint32_t* error) {
  WSADATA started;
  const int startup = ::WSAStartup(MAKEWORD(2, 2), &started);
  if (startup != 0) {
    *error = static_cast<std::uint32_t>(startup);
    return kNoSocket;
  }
  // TCP over any address family, the service a number.
  const ADDRINFOA wanted = {AI_NUMERICSERV, AF_UNSPEC, SOCK_STREAM, 0, 0,
                            nullptr,        nullptr,   nullptr};
  ADDRINFOA* found = nullptr;
  if (::getaddrinfo(host, service, &wanted, &found) != 0) {
    *error = static_cast<std::uint32_t>(::WSAGetLastError());
    return kNoSocket;
  }
  const SOCKET socket = ConnectFirst(found, timeoutMs, INVALID_SOCKET, ConnectOne, error);
  ::freeaddrinfo(found);
  // A SOCKET is no C runtime descriptor: a standard output closed at the
  // start stays closed for the runtime's stdout, whatever the socket's
  // number, so it needs no moving.
  return socket == INVALID_SOCKET ? kNoSocket : static_cast<NetworkSocket>(socket);
}

bool WaitForSocket(NetworkSocket socket, bool forWriting, int timeoutMs, std::uint32_t* error) {
  return WaitFor(static_cast<SOCKET>(socket), forWriting, timeoutMs, error);
}

// SOCKET_ERROR is -1.
long SendSome(NetworkSocket socket, const std::uint8_t* bytes, std::size_t count) {
  return ::send(static_cast<SOCKET>(socket), reinterpret_cast<const char*>(bytes),
                static_cast<int>(count), 0);
}

long ReceiveSome(NetworkSocket socket, std::uint8_t* bytes, std::size_t capacity) {
  return ::recv(static_cast<SOCKET>(socket), reinterpret_cast<char*>(bytes),
                static_cast<int>(capacity), 0);
}

int SetSocketOption(NetworkSocket socket, SocketOption option, bool on) {
  const BOOL flag = on ? TRUE : FALSE;
  const struct linger linger = {static_cast<u_short>(flag), 0};
  const bool noDelay = option == SocketOption::kSendAtOnce;
  return ::setsockopt(
      static_cast<SOCKET>(socket), noDelay ? IPPROTO_TCP : SOL_SOCKET,
      noDelay ? TCP_NODELAY : SO_LINGER,
      noDelay ? reinterpret_cast<const char*>(&flag) : reinterpret_cast<const char*>(&linger),
      noDelay ? sizeof flag : sizeof linger);
}

int CloseSocket(NetworkSocket socket) { return ::closesocket(static_cast<SOCKET>(socket)); }

std::uint32_t LastSocketError() { return static_cast<std::uint32_t>(::WSAGetLastError()); }

const std::uint32_t kNetworkTimedOut = WSAETIMEDOUT;
const std::uint32_t kNetworkClosedByPeer = WSAECONNRESET;
const std::uint32_t kNetworkNoRfc2217 = WSAEPROTONOSUPPORT;
const std::uint32_t kNetworkValueRefused = WSAEINVAL;
const std::uint32_t kNetworkFarDeviceFails = ERROR_DEV_NOT_EXIST;
const std::uint32_t kNetworkNameNotFound = WSAHOST_NOT_FOUND;
const std::uint32_t kNetworkRefused = WSAECONNREFUSED;
