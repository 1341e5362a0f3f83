#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "serial/kernel_calls_linux.h"
#include "serial/local_port.h"
#include "serial/own_uucp_lock_linux.h"
#include "serial/platform_failure.h"
#include "serial/serial_port_linux.h"
#include "serial/terminal_marks_linux.h"
#include "serial/uucp_lock_linux.h"

namespace {

constexpr int kInvalidDescriptor = -1;
// Standard input, output and error are 0, 1 and 2; the port sits above them.
constexpr int kLowestPortDescriptor = 3;
constexpr long kDriverPauseNanoseconds = 5L * 1000L * 1000L;

// Linux keeps a separate input speed in CIBAUD, which an earlier program can
// set (BOTHER through TCSETS2, say 250000). glibc's cfsetispeed writes the
// output field and cfgetispeed reads it, so neither sees CIBAUD. Zero there
// makes the input speed follow the output speed, as a DCB's one BaudRate
// does; a driver may also report 9600 in it.
#ifdef CIBAUD
constexpr int kInputSpeedShift = 16;  // the kernel's IBSHIFT, not in glibc's headers
static_assert(CIBAUD == static_cast<tcflag_t>(CBAUD) << kInputSpeedShift,
              "CIBAUD is CBAUD moved up");
constexpr tcflag_t kInputSpeedField = CIBAUD;
constexpr tcflag_t kInputSpeed9600 = static_cast<tcflag_t>(B9600) << kInputSpeedShift;
#else
constexpr tcflag_t kInputSpeedField = 0;
constexpr tcflag_t kInputSpeed9600 = 0;
#endif

// Our own functions, not the C library's: each library address in the table
// is one more symbol to bind at every start, twice (the table and its copy).
// With the mode given, open is the same symbol as the lock look-up's.
int RealOpen(const char* path, int flags) { return ::open(path, flags, 0); }
int RealDuplicateFrom(int fd, int lowest) { return ::fcntl(fd, F_DUPFD_CLOEXEC, lowest); }
int RealGetStatusFlags(int fd) { return ::fcntl(fd, F_GETFL); }
int RealSetStatusFlags(int fd, int flags) { return ::fcntl(fd, F_SETFL, flags); }
int RealFlock(int fd, int operation) { return KernelFlock(fd, operation); }
int RealNanosleep(const struct timespec* duration, struct timespec* remaining) {
  return ::nanosleep(duration, remaining);
}
int RealTcgetattr(int fd, struct termios* settings) { return ::tcgetattr(fd, settings); }
int RealTcsetattr(int fd, int when, const struct termios* settings) {
  return ::tcsetattr(fd, when, settings);
}
ssize_t RealWrite(int fd, const void* bytes, size_t count) { return ::write(fd, bytes, count); }
// tcdrain's own call, without its symbol.
int RealTcdrain(int fd) { return ::ioctl(fd, TCSBRK, 1); }
int RealClose(int fd) { return ::close(fd); }

int Descriptor(const SerialPort& port) { return static_cast<int>(port.handle); }

bool MakeBlocking(int fd) {
  int flags = linuxSerialCalls.getStatusFlags(fd);
  if (flags < 0) return false;
  return linuxSerialCalls.setStatusFlags(fd, flags & ~O_NONBLOCK) == 0;
}

// A parent may start us with standard input, output or error closed, and an
// open takes the lowest free number: our own lines written to standard
// output would then go onto the serial line around the frame. The port is
// moved above them and the number it took is closed again, so that those
// writes fail as they would have without a port.
int MoveAboveStandardStreams(int fd) {
  if (fd >= kLowestPortDescriptor) return fd;
  const int moved = linuxSerialCalls.duplicateFrom(fd, kLowestPortDescriptor);
  linuxSerialCalls.close(fd);
  return moved < 0 ? kInvalidDescriptor : moved;
}

// minicom, ser2net and their kind mark a port they hold with a UUCP lock
// file, not a flock. Looked at before the open, which on some adapters
// already toggles DTR. A lock that cannot be read holds, as does one whose
// pid lives; one whose pid is gone or a zombie is stale and ignored; only a
// dead run's lock at the name this run locks under is removed, once the port
// is ours.
bool HeldByUucpLock(const LockTarget& target) {
  UucpLock lock;
  return FindUucpLockOf(target, kUucpLockPlaces, OwnUucpLock(), &lock) && lock.held;
}

// Opens the device for this run alone, as a Win32 open with share mode 0
// does. Opened without blocking, the descriptor is then made blocking so
// that the write waits for the driver.
//
// The exclusive flock binds root too, which TIOCEXCL does not. TIOCEXCL is
// not set: on a pseudo-terminal it outlives our descriptor and would turn
// away every later non-root opener, also after runs that end without a
// close. A holder's own TIOCEXCL turns a non-root open away; root's open
// goes through it, so a terminal found exclusive is let go as held (screen
// sets it). Some holders take a record lock (fcntl, lockf) instead of a
// flock, and those count too. A pty master is no port: nobody reads it.
// Where a lock folder is writable, the port is used only under this run's
// own lock: a program that locks it meanwhile (minicom locks, then opens)
// gets it.
int OpenExclusive(const char* path, LockTarget* target) {
  NameLockTarget(path, target);
  if (HeldByUucpLock(*target)) return kInvalidDescriptor;
  const int opened = linuxSerialCalls.open(path, kPortOpenFlags);
  if (opened < 0) return kInvalidDescriptor;
  const int fd = MoveAboveStandardStreams(opened);
  if (fd < 0) return kInvalidDescriptor;
  if (IsPseudoTerminalMaster(fd) || TerminalIsExclusive(fd) ||
      linuxSerialCalls.flock(fd, LOCK_EX | LOCK_NB) != 0 || HeldByRecordLock(fd) ||
      !MakeBlocking(fd) || TakeUucpLock(path) == OwnLock::kRefused) {
    linuxSerialCalls.close(fd);
    return kInvalidDescriptor;
  }
  return fd;
}

void PauseForDriver() {
  struct timespec pause = {0, kDriverPauseNanoseconds};
  linuxSerialCalls.nanosleep(&pause, nullptr);
}

void SetSpeed9600(struct termios* settings) {
  cfsetspeed(settings, B9600);  // both speeds, one symbol fewer than the pair
  settings->c_cflag &= ~kInputSpeedField;
}

bool InputSpeedIs9600(const struct termios& applied) {
  const tcflag_t input = applied.c_cflag & kInputSpeedField;
  return cfgetispeed(&applied) == B9600 && (input == 0 || input == kInputSpeed9600);
}

void SetDataBits8(struct termios* settings) {
  settings->c_cflag = (settings->c_cflag & ~static_cast<tcflag_t>(CSIZE)) | CS8;
}

void SetNoParity(struct termios* settings) { settings->c_cflag &= ~static_cast<tcflag_t>(PARENB); }

void SetOneStopBit(struct termios* settings) {
  settings->c_cflag &= ~static_cast<tcflag_t>(CSTOPB);
}

// Output processing could turn a 0x0A in the frame into 0D 0A, or expand
// tabs: the board must get the 8 bytes exactly as built.
void SetRawOutput(struct termios* settings) { settings->c_oflag &= ~static_cast<tcflag_t>(OPOST); }

bool LineFormatTook(const struct termios& applied) {
  return InputSpeedIs9600(applied) && cfgetospeed(&applied) == B9600 &&
         (applied.c_cflag & CSIZE) == CS8 && (applied.c_cflag & PARENB) == 0 &&
         (applied.c_cflag & CSTOPB) == 0 && (applied.c_oflag & OPOST) == 0;
}

// Reads the driver's settings; a failure is reported under the name of the
// step it belongs to.
bool ReadSettings(int fd, struct termios* settings, const char* step) {
  std::memset(settings, 0, sizeof *settings);
  if (linuxSerialCalls.tcgetattr(fd, settings) == 0) return true;
  const int error = errno;
  ReportPlatformFailure(step, static_cast<std::uint32_t>(error));
  return false;
}

}  // namespace

const LinuxSerialCalls kRealLinuxSerialCalls = {
    RealOpen,           RealDuplicateFrom, RealFlock,     RealGetStatusFlags,
    RealSetStatusFlags, RealNanosleep,     RealTcgetattr, RealTcsetattr,
    RealWrite,          RealTcdrain,       RealClose,
};

LinuxSerialCalls linuxSerialCalls = kRealLinuxSerialCalls;

void EndEarlierLocalRun() { ReleaseUucpLock(); }

void OpenLocalPort(const PortName& portName, SerialPort* port) {
  port->handle = OpenExclusive(portName.text, &port->opened);
  // The pause comes whatever the open returned.
  PauseForDriver();
}

namespace {

LineSetup SetLine(int fd) {
  struct termios settings;
  if (!ReadSettings(fd, &settings, "GetCommState")) return LineSetup::kReadFailed;

  // Everything else (flow control, modem lines, CLOCAL, HUPCL, input
  // processing) goes back to the driver as it was read.
  SetSpeed9600(&settings);
  SetDataBits8(&settings);
  SetNoParity(&settings);
  SetOneStopBit(&settings);
  SetRawOutput(&settings);
  if (linuxSerialCalls.tcsetattr(fd, TCSANOW, &settings) != 0) {
    const int error = errno;
    ReportPlatformFailure("SetCommState", static_cast<std::uint32_t>(error));
    return LineSetup::kApplyFailed;
  }

  // tcsetattr reports success when any one change took; only a read-back
  // shows whether the driver kept the line format.
  struct termios applied;
  if (!ReadSettings(fd, &applied, "SetCommState")) return LineSetup::kApplyFailed;
  if (!LineFormatTook(applied)) {
    ReportPlatformFailure("SetCommState", EINVAL);
    return LineSetup::kApplyFailed;
  }
  return LineSetup::kConfigured;
}

}  // namespace

LineSetup ConfigureLocalLine(const SerialPort& port) {
  const LineSetup setup = SetLine(Descriptor(port));
  if (setup != LineSetup::kConfigured) ReleaseUucpLock();  // the run ends here, without a close
  return setup;
}

namespace {

// write() only queues the frame in the tty; with CTS low under CRTSCTS not
// one byte may have left, and close() would give up after the closing wait
// and throw the frame away. Waiting here, as WriteFile does on Windows, makes
// success mean sent. A stop and continue (Ctrl-Z, fg) breaks the wait with
// EINTR; the frame is still queued, so the wait goes on.
//
// A port that goes away while the frame waits (an adapter pulled, a card
// ejected) hangs the tty up, which empties its queue: the wait then ends as
// if the frame had left. From then on every call on the port fails with
// EIO, so reading the settings once more tells the two apart.
int WaitUntilSent(int fd) {
  int result;
  do {
    result = linuxSerialCalls.drain(fd);
  } while (result != 0 && errno == EINTR);
  if (result != 0) return result;
  struct termios stillThere;
  return linuxSerialCalls.tcgetattr(fd, &stillThere);
}

}  // namespace

bool WriteLocalFrame(const SerialPort& port, const CommandFrame& frame) {
  const int fd = Descriptor(port);
  // A program that took a lock of its own while the line was set (under
  // another of the port's names, where ours does not stand in its way, or
  // renamed over ours) gets the port: nothing is written.
  if (HeldByUucpLock(port.opened)) {
    ReleaseUucpLock();
    ReportPlatformFailure("WriteFile", EBUSY);
    return false;
  }
  // A short write sets no errno: cleared first, the line then shows 0 rather
  // than the leftover code of some earlier call.
  errno = 0;
  const ssize_t written = linuxSerialCalls.write(fd, frame.bytes, kCommandFrameSize);
  int error = errno;
  // A frame cut short switches nothing and leaves the board out of step.
  if (written == static_cast<ssize_t>(kCommandFrameSize)) {
    if (WaitUntilSent(fd) == 0) return true;
    error = errno;  // an adapter pulled while the frame waits, say
  }
  ReleaseUucpLock();  // the run ends here, without a close
  ReportPlatformFailure("WriteFile", static_cast<std::uint32_t>(error));
  return false;
}

bool CloseLocalPort(const SerialPort& port) {
  const int closed = linuxSerialCalls.close(Descriptor(port));
  const int error = errno;
  ReleaseUucpLock();
  if (closed == 0) return true;
  ReportPlatformFailure("CloseHandle", static_cast<std::uint32_t>(error));
  return false;
}
