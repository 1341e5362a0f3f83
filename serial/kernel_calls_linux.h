// Calls made straight to the kernel through syscall(), for those whose C
// library function adds nothing to the kernel's own. Each C library function
// that Kavnori names is one more symbol for the loader to look up at every
// start (bind-now binds them all, used or not): about 700 instructions each,
// and a run's own work is under 10,000. The calls here share one symbol.
// Each answers as the C library's does, -1 with errno set on a failure.
//
// Not here: what the stress tests' preload shim stands in for (nanosleep,
// tcsetattr, write, close), and calls whose structures differ between the
// kernel's and the C library's (stat, poll's and sleep's time on 32-bit arm).
#pragma once

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

namespace kernel_call {

// The kernel reads each argument as a whole register.
inline long Word(const void* pointer) { return reinterpret_cast<long>(pointer); }

}  // namespace kernel_call

inline pid_t KernelGetPid() { return static_cast<pid_t>(::syscall(SYS_getpid)); }

inline int KernelKill(pid_t pid, int signal) {
  return static_cast<int>(::syscall(SYS_kill, static_cast<long>(pid), static_cast<long>(signal)));
}

// linkat and unlinkat: 64-bit arm has no link or unlink.
inline int KernelLink(const char* existing, const char* name) {
  using kernel_call::Word;
  return static_cast<int>(::syscall(SYS_linkat, static_cast<long>(AT_FDCWD), Word(existing),
                                    static_cast<long>(AT_FDCWD), Word(name), 0L));
}

inline int KernelUnlink(const char* path) {
  using kernel_call::Word;
  return static_cast<int>(::syscall(SYS_unlinkat, static_cast<long>(AT_FDCWD), Word(path), 0L));
}

inline int KernelFlock(int fd, int operation) {
  return static_cast<int>(
      ::syscall(SYS_flock, static_cast<long>(fd), static_cast<long>(operation)));
}

inline long KernelGetDents64(int fd, void* entries, std::size_t size) {
  using kernel_call::Word;
  return ::syscall(SYS_getdents64, static_cast<long>(fd), Word(entries), static_cast<long>(size));
}

inline int KernelSocket(int domain, int type, int protocol) {
  return static_cast<int>(::syscall(SYS_socket, static_cast<long>(domain), static_cast<long>(type),
                                    static_cast<long>(protocol)));
}

inline int KernelConnect(int fd, const struct sockaddr* address, socklen_t size) {
  using kernel_call::Word;
  return static_cast<int>(
      ::syscall(SYS_connect, static_cast<long>(fd), Word(address), static_cast<long>(size)));
}

inline int KernelGetSocketOption(int fd, int level, int name, void* value, socklen_t* size) {
  using kernel_call::Word;
  return static_cast<int>(::syscall(SYS_getsockopt, static_cast<long>(fd), static_cast<long>(level),
                                    static_cast<long>(name), Word(value), Word(size)));
}

inline int KernelSetSocketOption(int fd, int level, int name, const void* value, socklen_t size) {
  using kernel_call::Word;
  return static_cast<int>(::syscall(SYS_setsockopt, static_cast<long>(fd), static_cast<long>(level),
                                    static_cast<long>(name), Word(value), static_cast<long>(size)));
}

// send and recv are sendto and recvfrom without an address.
inline long KernelSend(int fd, const void* bytes, std::size_t count, int flags) {
  using kernel_call::Word;
  return ::syscall(SYS_sendto, static_cast<long>(fd), Word(bytes), static_cast<long>(count),
                   static_cast<long>(flags), 0L, 0L);
}

inline long KernelReceive(int fd, void* bytes, std::size_t capacity, int flags) {
  using kernel_call::Word;
  return ::syscall(SYS_recvfrom, static_cast<long>(fd), Word(bytes), static_cast<long>(capacity),
                   static_cast<long>(flags), 0L, 0L);
}

// CLOCK_MONOTONIC in milliseconds. The kernel's clock_gettime fills two
// words: 32-bit ones on 32-bit arm, enough for a clock that counts from boot.
inline std::int64_t KernelMonotonicMs() {
  struct {
    long seconds;
    long nanoseconds;
  } now = {0, 0};
  ::syscall(SYS_clock_gettime, static_cast<long>(CLOCK_MONOTONIC), kernel_call::Word(&now));
  return static_cast<std::int64_t>(now.seconds) * 1000 + now.nanoseconds / 1000000;
}
