#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "serial/kernel_calls_linux.h"
#include "serial/network_socket.h"

namespace {

// A name lookup fails with an EAI_ code, not an errno: a name not found is
// reported as ENOENT, as a device name that does not exist is.
std::uint32_t LookupError(int result) {
  if (result == EAI_SYSTEM) return static_cast<std::uint32_t>(errno);
  return result == EAI_AGAIN ? EAGAIN : ENOENT;
}

std::int64_t RealNowMs() { return KernelMonotonicMs(); }

// Waits until the socket is ready for events, or the time runs out.
bool WaitFor(int fd, short events, int timeoutMs, std::uint32_t* error) {
  struct pollfd watched = {fd, events, 0};
  int ready;
  do {
    ready = ::poll(&watched, 1, timeoutMs);
  } while (ready < 0 && errno == EINTR);
  if (ready > 0) return true;
  *error = ready == 0 ? ETIMEDOUT : static_cast<std::uint32_t>(errno);
  return false;
}

// Non-blocking, so that a far end that never answers costs at most the
// deadline rather than the kernel's minutes of SYN retries.
int ConnectOne(const struct addrinfo& address, int timeoutMs, std::uint32_t* error) {
  int fd = KernelSocket(address.ai_family, address.ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                        address.ai_protocol);
  if (fd < 0) {
    *error = static_cast<std::uint32_t>(errno);
    return -1;
  }
  // Started with standard output closed, the socket would be 1 and our
  // lines would go to the far line around the frame; as a local port, it is
  // moved above 0 to 2 and the low number freed, so those writes fail.
  if (fd <= STDERR_FILENO) {
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    const std::uint32_t code = static_cast<std::uint32_t>(errno);
    ::close(fd);
    if (moved < 0) {
      *error = code;
      return -1;
    }
    fd = moved;
  }
  if (KernelConnect(fd, address.ai_addr, address.ai_addrlen) == 0) return fd;
  std::uint32_t code = static_cast<std::uint32_t>(errno);
  if (code == EINPROGRESS && WaitFor(fd, POLLOUT, timeoutMs, &code)) {
    int pending = 0;
    socklen_t size = sizeof pending;
    const int asked = KernelGetSocketOption(fd, SOL_SOCKET, SO_ERROR, &pending, &size);
    code = static_cast<std::uint32_t>(asked == 0 ? pending : errno);
  }
  if (code == 0) return fd;
  *error = code;
  ::close(fd);
  return -1;
}

NetworkSocket RealConnect(const char* host, const char* service, int timeoutMs,
                          std::uint32_t* error) {
  struct addrinfo wanted;
  std::memset(&wanted, 0, sizeof wanted);
  wanted.ai_family = AF_UNSPEC;
  wanted.ai_socktype = SOCK_STREAM;
  wanted.ai_flags = AI_NUMERICSERV;
  struct addrinfo* found = nullptr;
  const int result = ::getaddrinfo(host, service, &wanted, &found);
  if (result != 0) {
    *error = LookupError(result);
    return kNoSocket;
  }
  const std::int64_t deadline = RealNowMs() + timeoutMs;
  *error = ETIMEDOUT;  // when no address is left time to try
  int fd = -1;
  for (const struct addrinfo* address = found; address != nullptr && fd < 0;
       address = address->ai_next) {
    const std::int64_t left = deadline - RealNowMs();
    if (left <= 0) break;
    fd = ConnectOne(*address, static_cast<int>(left), error);
  }
  ::freeaddrinfo(found);
  return fd;
}

// MSG_NOSIGNAL: a far end that went away must fail the send, not kill the
// run with SIGPIPE.
long RealSend(NetworkSocket socket, const std::uint8_t* bytes, std::size_t count,
              std::uint32_t* error) {
  if (!WaitFor(static_cast<int>(socket), POLLOUT, 5000, error)) return -1;
  const long sent = KernelSend(static_cast<int>(socket), bytes, count, MSG_NOSIGNAL);
  if (sent < 0) *error = static_cast<std::uint32_t>(errno);
  return sent;
}

long RealReceive(NetworkSocket socket, std::uint8_t* bytes, std::size_t capacity, int timeoutMs,
                 std::uint32_t* error) {
  // ser2net sends a notice and then the answer as two small writes, and its
  // Nagle's algorithm holds the answer until we acknowledge the notice: ask
  // the kernel to do so at once (it leaves quick mode by itself, so before
  // each wait). Only speed hangs on it: its failure changes nothing else.
  const int on = 1;
  KernelSetSocketOption(static_cast<int>(socket), IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
  if (!WaitFor(static_cast<int>(socket), POLLIN, timeoutMs, error)) return -1;
  const long got = KernelReceive(static_cast<int>(socket), bytes, capacity, 0);
  if (got < 0) *error = static_cast<std::uint32_t>(errno);
  return got;
}

bool SetOption(NetworkSocket socket, int level, int name, const void* value, socklen_t size,
               std::uint32_t* error) {
  if (KernelSetSocketOption(static_cast<int>(socket), level, name, value, size) == 0) return true;
  *error = static_cast<std::uint32_t>(errno);
  return false;
}

bool RealSendAtOnce(NetworkSocket socket, std::uint32_t* error) {
  const int on = 1;
  return SetOption(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on, error);
}

bool RealDropQueueOnClose(NetworkSocket socket, bool drop, std::uint32_t* error) {
  const struct linger linger = {drop ? 1 : 0, 0};
  return SetOption(socket, SOL_SOCKET, SO_LINGER, &linger, sizeof linger, error);
}

bool RealClose(NetworkSocket socket, std::uint32_t* error) {
  if (::close(static_cast<int>(socket)) == 0) return true;
  *error = static_cast<std::uint32_t>(errno);
  return false;
}

}  // namespace

const NetworkCalls kRealNetworkCalls = {RealConnect, RealSend,       RealReceive,         RealClose,
                                        RealNowMs,   RealSendAtOnce, RealDropQueueOnClose};
NetworkCalls networkCalls = kRealNetworkCalls;

const std::uint32_t kNetworkTimedOut = ETIMEDOUT;
const std::uint32_t kNetworkClosedByPeer = ECONNRESET;
const std::uint32_t kNetworkNoRfc2217 = EPROTONOSUPPORT;
const std::uint32_t kNetworkValueRefused = EINVAL;
const std::uint32_t kNetworkFarDeviceFails = ENODEV;
const std::uint32_t kNetworkNameNotFound = ENOENT;
const std::uint32_t kNetworkRefused = ECONNREFUSED;
