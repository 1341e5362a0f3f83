// The socket calls behind a network port (rfc2217://HOST:PORT), as one record
// so that a test can make any of them fail with a chosen code. Every call
// that fails leaves the platform's own error code (errno, WSAGetLastError)
// in *error, taken straight after the failing call. networkCalls starts as
// kRealNetworkCalls.
//
// One implementation file per platform (network_socket_posix.cpp,
// network_socket_win32.cpp); CMake picks one.
#pragma once

#include <cstddef>
#include <cstdint>

// A connected socket: a SOCKET on Windows, a file descriptor elsewhere.
using NetworkSocket = std::intptr_t;
constexpr NetworkSocket kNoSocket = -1;

struct NetworkCalls {
  // Resolves host and connects to one of its addresses within timeoutMs.
  NetworkSocket (*connect)(const char* host, const char* service, int timeoutMs,
                           std::uint32_t* error);
  // The number of bytes taken, or -1.
  long (*send)(NetworkSocket socket, const std::uint8_t* bytes, std::size_t count,
               std::uint32_t* error);
  // Waits up to timeoutMs for bytes: their number, 0 when the far end
  // closed, -1 on a failure or when the time ran out (kNetworkTimedOut).
  long (*receive)(NetworkSocket socket, std::uint8_t* bytes, std::size_t capacity, int timeoutMs,
                  std::uint32_t* error);
  bool (*close)(NetworkSocket socket, std::uint32_t* error);
  // A clock that no setting of the date moves (a Raspberry Pi's jumps at
  // boot), in milliseconds.
  std::int64_t (*nowMs)();
};

extern const NetworkCalls kRealNetworkCalls;
extern NetworkCalls networkCalls;

// The platform's codes for what a socket call has no code of its own for.
extern const std::uint32_t kNetworkTimedOut;      // ETIMEDOUT, WSAETIMEDOUT
extern const std::uint32_t kNetworkClosedByPeer;  // ECONNRESET, WSAECONNRESET
extern const std::uint32_t kNetworkNoRfc2217;     // EPROTONOSUPPORT, WSAEPROTONOSUPPORT
extern const std::uint32_t kNetworkValueRefused;  // EINVAL, WSAEINVAL
// The codes of a connect that the doctor tells apart.
extern const std::uint32_t
    kNetworkNameNotFound;                    // ENOENT (no EAI_ code is an errno), WSAHOST_NOT_FOUND
extern const std::uint32_t kNetworkRefused;  // ECONNREFUSED, WSAECONNREFUSED
