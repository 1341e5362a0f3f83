#include "serial/rfc2217_client.h"

#include <cstring>

#include "serial/platform_failure.h"

namespace {

constexpr char kScheme[] = "rfc2217://";
constexpr std::size_t kSchemeLength = sizeof kScheme - 1;
constexpr int kOpenTimeoutMs = 5000;
constexpr int kSettingsTimeoutMs = 3000;
constexpr int kBarrierTimeoutMs = 5000;

// This run's one network port.
Rfc2217Session runSession;

}  // namespace

bool IsNetworkPortName(const char* name) { return std::strncmp(name, kScheme, kSchemeLength) == 0; }

bool ParseNetworkPortName(const char* name, NetworkAddress* address) {
  if (!IsNetworkPortName(name)) return false;
  const char* host = name + kSchemeLength;
  const char* hostEnd;
  const char* colon;
  if (*host == '[') {  // [IPv6]:PORT
    ++host;
    hostEnd = std::strchr(host, ']');
    if (hostEnd == nullptr || hostEnd[1] != ':') return false;
    colon = hostEnd + 1;
  } else {
    colon = std::strchr(host, ':');
    hostEnd = colon;
    if (colon == nullptr || std::strchr(colon + 1, ':') != nullptr) return false;
  }
  const std::size_t hostLength = static_cast<std::size_t>(hostEnd - host);
  const char* digits = colon + 1;
  const std::size_t digitCount = std::strlen(digits);
  if (hostLength == 0 || hostLength >= sizeof address->host || digitCount == 0 ||
      digitCount >= sizeof address->service || std::strspn(digits, "0123456789") != digitCount) {
    return false;
  }
  long port = 0;
  for (const char* digit = digits; *digit != '\0'; ++digit) port = port * 10 + (*digit - '0');
  if (port < 1 || port > 65535) return false;
  std::memcpy(address->host, host, hostLength);
  address->host[hostLength] = '\0';
  std::memcpy(address->service, digits, digitCount + 1);
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
    if (!AskComPort(&runSession, setting.command, setting.value, deadline, &error)) {
      ReportPlatformFailure("SetCommState", error);
      return LineSetup::kApplyFailed;
    }
    // The server answers with the value it set: another one was refused.
    if (runSession.answerValue != setting.value) {
      ReportPlatformFailure("SetCommState", kNetworkValueRefused);
      return LineSetup::kApplyFailed;
    }
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
  // frame. Never a purge after it, which would throw the frame away.
  if (!SendAll(port.handle, escaped, length, &error) ||
      !AskComPort(&runSession, kSetBaudRate, 0, networkCalls.nowMs() + kBarrierTimeoutMs, &error)) {
    ReportPlatformFailure("WriteFile", error);
    return false;
  }
  return true;
}

bool CloseNetworkPort(const SerialPort& port) {
  std::uint32_t error = 0;
  if (networkCalls.close(port.handle, &error)) return true;
  ReportPlatformFailure("CloseHandle", error);
  return false;
}
