#include "serial/rfc2217_client.h"

#include "serial/platform_failure.h"

namespace {

constexpr char kScheme[] = "rfc2217://";
constexpr std::size_t kSchemeLength = sizeof kScheme - 1;
constexpr int kOpenTimeoutMs = 5000;
constexpr int kSettingsTimeoutMs = 3000;
constexpr int kBarrierTimeoutMs = 5000;
// 8 bytes of 10 bits at 9600 baud: 8.3 ms.
constexpr int kLineTimeMs = 10;

// This run's one network port. Not in the SerialPort record: the stages
// take the port as it was opened (const), and every answer read moves the
// session's Telnet state on.
Rfc2217Session runSession;

// The first wanted in text, or null. Plain loops here: the MSVC-mode
// build's C library stand-in has few string functions.
const char* Find(const char* text, char wanted) {
  for (; *text != '\0'; ++text) {
    if (*text == wanted) return text;
  }
  return nullptr;
}

}  // namespace

bool IsNetworkPortName(const char* name) {
  for (std::size_t i = 0; i < kSchemeLength; ++i) {
    if (name[i] != kScheme[i]) return false;  // also stops at a shorter name's end
  }
  return true;
}

bool ParseNetworkPortName(const char* name, NetworkAddress* address) {
  if (!IsNetworkPortName(name)) return false;
  const char* host = name + kSchemeLength;
  const char* hostEnd;
  const char* colon;
  if (*host == '[') {  // [IPv6]:PORT
    ++host;
    hostEnd = Find(host, ']');
    if (hostEnd == nullptr || hostEnd[1] != ':') return false;
    colon = hostEnd + 1;
  } else {
    colon = Find(host, ':');
    hostEnd = colon;
    if (colon == nullptr || Find(colon + 1, ':') != nullptr) return false;
  }
  const std::size_t hostLength = static_cast<std::size_t>(hostEnd - host);
  const char* digits = colon + 1;
  std::size_t digitCount = 0;
  long port = 0;
  for (; digits[digitCount] != '\0'; ++digitCount) {
    const char digit = digits[digitCount];
    if (digit < '0' || digit > '9' || digitCount + 1 >= sizeof address->service) return false;
    port = port * 10 + (digit - '0');
  }
  if (hostLength == 0 || hostLength >= sizeof address->host || port < 1 || port > 65535) {
    return false;
  }
  for (std::size_t i = 0; i < hostLength; ++i) address->host[i] = host[i];
  address->host[hostLength] = '\0';
  for (std::size_t i = 0; i <= digitCount; ++i) address->service[i] = digits[i];
  return true;
}

SerialPort OpenNetworkPort(const char* name) {
  SerialPort port = {kNoSocket, true, 0};
  NetworkAddress address;
  if (!ParseNetworkPortName(name, &address)) {
    port.openError = kNetworkValueRefused;
    return port;
  }
  // ser2net agrees to the options before it opens its port, and says "Port
  // already in use" and closes only then: the port is open once a query of
  // the speed (value 0, which sets nothing) has an answer.
  const std::int64_t deadline = networkCalls.nowMs() + kOpenTimeoutMs;
  if (!StartRfc2217Session(address, kOpenTimeoutMs, &runSession, &port.openError) ||
      !AskComPort(&runSession, kSetBaudRate, 0, deadline, &port.openError)) {
    return port;  // nothing was sent past the queries; the end of the process closes
  }
  port.handle = runSession.socket;
  return port;
}

LineSetup ConfigureNetworkLine(const SerialPort& port) {
  if (port.handle == kNoSocket) {
    ReportPlatformFailure("GetCommState", port.openError);
    return LineSetup::kReadFailed;
  }
  // Values of RFC 2217: parity 1 none, stop size 1 one bit, control 1 no
  // flow control.
  static const struct {
    std::uint8_t command;
    std::uint32_t value;
  } kSettings[] = {
      {kSetBaudRate, 9600}, {kSetDataSize, 8}, {kSetParity, 1}, {kSetStopSize, 1}, {kSetControl, 1},
  };
  const std::int64_t deadline = networkCalls.nowMs() + kSettingsTimeoutMs;
  for (const auto& setting : kSettings) {
    std::uint32_t error = 0;
    const bool answered = AskComPort(&runSession, setting.command, setting.value, deadline, &error);
    // The server answers with the value it set: another one was refused.
    if (answered && runSession.answerValue == setting.value) continue;
    ReportPlatformFailure("SetCommState", answered ? kNetworkValueRefused : error);
    return LineSetup::kApplyFailed;
  }
  return LineSetup::kConfigured;
}

bool WriteNetworkFrame(const SerialPort& port, const CommandFrame& frame) {
  std::uint8_t escaped[2 * kCommandFrameSize];
  std::size_t length = 0;
  for (std::size_t i = 0; i < kCommandFrameSize; ++i) {
    length += PutEscaped(frame.bytes[i], escaped + length);
  }
  std::uint32_t error = 0;
  // The speed query is the barrier: status 0 only once the server has the
  // frame. Never a purge after it, which would throw the frame away. The
  // frame's own send counts against the barrier's time.
  const std::int64_t deadline = networkCalls.nowMs() + kBarrierTimeoutMs;
  if (!SendAll(port.handle, escaped, length, &error) ||
      !AskComPort(&runSession, kSetBaudRate, 0, deadline, &error)) {
    ReportPlatformFailure("WriteFile", error);
    // Reset now: a frame still queued must not reach the far end once the
    // path comes back, after the caller was told that it may not have.
    std::uint32_t closeError = 0;
    networkCalls.close(port.handle, &closeError);
    return false;
  }
  // The answer says that ser2net took the frame, not that its line carried
  // it: 8 bytes at 9600 8N1 take 8.3 ms, and ser2net puts its port back as
  // it found it (another speed, a flush) when we leave. So the connection is
  // held for that time, as a local run's drain waits; what comes meanwhile
  // is dropped.
  const std::int64_t carried = networkCalls.nowMs() + kLineTimeMs;
  for (std::int64_t left = kLineTimeMs; left > 0; left = carried - networkCalls.nowMs()) {
    std::uint8_t dropped[64];
    // 0: the far end closed; -1: the time is up, or nothing more to wait for.
    if (networkCalls.receive(port.handle, dropped, sizeof dropped, static_cast<int>(left),
                             &error) <= 0) {
      break;
    }
  }
  return true;
}

// Only after the barrier's answer: nothing is left queued, and the far end
// sees an orderly end of the connection rather than a reset.
bool CloseNetworkPort(const SerialPort& port) {
  std::uint32_t error = 0;
  if (networkCalls.dropQueueOnClose(port.handle, false, &error) &&
      networkCalls.close(port.handle, &error)) {
    return true;
  }
  ReportPlatformFailure("CloseHandle", error);
  return false;
}
