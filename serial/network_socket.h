// The socket calls behind a network port (rfc2217://HOST:PORT), as one record
// so that a test can make any of them fail with a chosen code. Every call
// that fails leaves the platform's own error code (errno, WSAGetLastError)
// in *error, taken straight after the failing call. networkCalls starts as
// kRealNetworkCalls.
//
// One implementation file per platform (network_socket_linux.cpp,
// network_socket_win32.cpp); CMake picks one.
#pragma once

#include <cstddef>
#include <cstdint>

// A connected socket: a SOCKET on Windows, a file descriptor elsewhere.
using NetworkSocket = std::intptr_t;
constexpr NetworkSocket kNoSocket = -1;

struct NetworkCalls {
  // Resolves host and connects to one of its addresses within timeoutMs.
  // The socket never takes standard input, output or error's number: our
  // own lines would go to the far line.
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
  // TCP_NODELAY: every request waits for an answer, which Nagle's algorithm
  // would hold until the far end acknowledges the one before (a delayed ACK,
  // 40 ms on Linux).
  bool (*sendAtOnce)(NetworkSocket socket, std::uint32_t* error);
  // SO_LINGER 0 when drop: a close, also the one at the end of the process
  // whatever ends it (a time limit, a signal, SIGKILL), resets the
  // connection and throws away what is queued, so that a far end cut off
  // now never gets the frame once the path comes back. Cleared for the
  // orderly close of a run that got the barrier's answer.
  bool (*dropQueueOnClose)(NetworkSocket socket, bool drop, std::uint32_t* error);
};

extern const NetworkCalls kRealNetworkCalls;
extern NetworkCalls networkCalls;

// The platform's codes for what a socket call has no code of its own for.
extern const std::uint32_t kNetworkTimedOut;      // ETIMEDOUT, WSAETIMEDOUT
extern const std::uint32_t kNetworkClosedByPeer;  // ECONNRESET, WSAECONNRESET
extern const std::uint32_t kNetworkNoRfc2217;     // EPROTONOSUPPORT, WSAEPROTONOSUPPORT
extern const std::uint32_t kNetworkValueRefused;  // EINVAL, WSAEINVAL
// The far end cannot open its serial device: ENODEV, ERROR_DEV_NOT_EXIST.
extern const std::uint32_t kNetworkFarDeviceFails;
// The codes of a connect that the doctor tells apart.
extern const std::uint32_t
    kNetworkNameNotFound;                    // ENOENT (no EAI_ code is an errno), WSAHOST_NOT_FOUND
extern const std::uint32_t kNetworkRefused;  // ECONNREFUSED, WSAECONNREFUSED
