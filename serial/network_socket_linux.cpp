#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "serial/kernel_calls_linux.h"
#include "serial/network_socket.h"
#include "serial/platform_socket.h"

std::int64_t SocketClockMs() { return KernelMonotonicMs(); }

namespace {

// A name lookup fails with an EAI_ code, not an errno: a name not found is
// reported as ENOENT, as a device name that does not exist is.
std::uint32_t LookupError(int result) {
  if (result == EAI_SYSTEM) return static_cast<std::uint32_t>(errno);
  return result == EAI_AGAIN ? EAGAIN : ENOENT;
}

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

}  // namespace

NetworkSocket ConnectSocket(const char* host, const char* service, int timeoutMs,
                            std::uint32_t* error) {
  // TCP over any address family, the service a number.
  const struct addrinfo wanted = {AI_NUMERICSERV, AF_UNSPEC, SOCK_STREAM, 0, 0,
                                  nullptr,        nullptr,   nullptr};
  struct addrinfo* found = nullptr;
  const int result = ::getaddrinfo(host, service, &wanted, &found);
  if (result != 0) {
    *error = LookupError(result);
    return kNoSocket;
  }
  const int fd = ConnectFirst(found, timeoutMs, -1, ConnectOne, error);
  ::freeaddrinfo(found);
  return fd;
}

bool WaitForSocket(NetworkSocket socket, bool forWriting, int timeoutMs, std::uint32_t* error) {
  const int fd = static_cast<int>(socket);
  if (!forWriting) {
    // ser2net sends a notice and then the answer as two small writes, and
    // its Nagle's algorithm holds the answer until we acknowledge the
    // notice: ask the kernel to do so at once (it leaves quick mode by
    // itself, so before each wait). Only speed hangs on it: its failure
    // changes nothing else.
    const int on = 1;
    KernelSetSocketOption(fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
  }
  return WaitFor(fd, forWriting ? POLLOUT : POLLIN, timeoutMs, error);
}

// MSG_NOSIGNAL: a far end that went away must fail the send, not kill the
// run with SIGPIPE.
long SendSome(NetworkSocket socket, const std::uint8_t* bytes, std::size_t count) {
  return KernelSend(static_cast<int>(socket), bytes, count, MSG_NOSIGNAL);
}

long ReceiveSome(NetworkSocket socket, std::uint8_t* bytes, std::size_t capacity) {
  return KernelReceive(static_cast<int>(socket), bytes, capacity, 0);
}

int SetSocketOption(NetworkSocket socket, SocketOption option, bool on) {
  const int flag = on ? 1 : 0;
  if (option == SocketOption::kSendAtOnce) {
    return KernelSetSocketOption(static_cast<int>(socket), IPPROTO_TCP, TCP_NODELAY, &flag,
                                 sizeof flag);
  }
  const struct linger linger = {flag, 0};
  return KernelSetSocketOption(static_cast<int>(socket), SOL_SOCKET, SO_LINGER, &linger,
                               sizeof linger);
}

int CloseSocket(NetworkSocket socket) { return ::close(static_cast<int>(socket)); }

std::uint32_t LastSocketError() { return static_cast<std::uint32_t>(errno); }

const std::uint32_t kNetworkTimedOut = ETIMEDOUT;
const std::uint32_t kNetworkClosedByPeer = ECONNRESET;
const std::uint32_t kNetworkNoRfc2217 = EPROTONOSUPPORT;
const std::uint32_t kNetworkValueRefused = EINVAL;
const std::uint32_t kNetworkFarDeviceFails = ENODEV;
const std::uint32_t kNetworkNameNotFound = ENOENT;
const std::uint32_t kNetworkRefused = ECONNREFUSED;
