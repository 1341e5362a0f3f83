// The socket calls of network_socket.h, the same on every platform but for
// the platform's own calls beneath them (platform_socket.h).
#include "serial/network_socket.h"

#include "serial/platform_socket.h"

namespace {

constexpr int kSendTimeoutMs = 5000;

// A raw call's result, with its code in *error when it failed.
long Checked(long result, std::uint32_t* error) {
  if (result < 0) *error = LastSocketError();
  return result;
}

long RealSend(NetworkSocket socket, const std::uint8_t* bytes, std::size_t count,
              std::uint32_t* error) {
  if (!WaitForSocket(socket, true, kSendTimeoutMs, error)) return -1;
  return Checked(SendSome(socket, bytes, count), error);
}

long RealReceive(NetworkSocket socket, std::uint8_t* bytes, std::size_t capacity, int timeoutMs,
                 std::uint32_t* error) {
  if (!WaitForSocket(socket, false, timeoutMs, error)) return -1;
  return Checked(ReceiveSome(socket, bytes, capacity), error);
}

bool RealSendAtOnce(NetworkSocket socket, std::uint32_t* error) {
  return Checked(SetSocketOption(socket, SocketOption::kSendAtOnce, true), error) == 0;
}

bool RealDropQueueOnClose(NetworkSocket socket, bool drop, std::uint32_t* error) {
  return Checked(SetSocketOption(socket, SocketOption::kDropQueueOnClose, drop), error) == 0;
}

bool RealClose(NetworkSocket socket, std::uint32_t* error) {
  return Checked(CloseSocket(socket), error) == 0;
}

}  // namespace

const NetworkCalls kRealNetworkCalls = {ConnectSocket,       RealSend,      RealReceive,
                                        RealClose,           SocketClockMs, RealSendAtOnce,
                                        RealDropQueueOnClose};
NetworkCalls networkCalls = kRealNetworkCalls;
