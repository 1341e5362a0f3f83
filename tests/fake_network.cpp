#include "tests/fake_network.h"

#include "serial/rfc2217_session.h"
#include "serial/serial_port.h"

FakeFarEnd fakeFarEnd;

// WILL and DO SUPPRESS-GO-AHEAD, WILL ECHO, DONT ECHO, DO BINARY, WILL
// BINARY, DO COM-PORT-OPTION: ser2net 4.3's first bytes on a connect.
const std::uint8_t kSer2netGreeting[21] = {
    kTelnetIac,    kTelnetWill, 3,           kTelnetIac,    kTelnetDo,  3,          kTelnetIac,
    kTelnetWill,   1,           kTelnetIac,  kTelnetDont,   1,          kTelnetIac, kTelnetDo,
    kTelnetBinary, kTelnetIac,  kTelnetWill, kTelnetBinary, kTelnetIac, kTelnetDo,  kComPortOption,
};

namespace {

constexpr NetworkSocket kFakeSocket = 5;
constexpr int kSendWaitMs = 5000;  // the real send's wait for room
enum ClientState { kData, kCommand, kOption, kSub, kSubCommand };

void Answer(FakeFarEnd* farEnd) {
  const std::vector<std::uint8_t>& request = farEnd->request;
  if (request.size() < 3 || request[0] != kComPortOption || request[1] < kSetBaudRate ||
      request[1] > kSetControl) {
    return;
  }
  std::uint32_t value = 0;
  for (std::size_t i = 2; i < request.size(); ++i) value = (value << 8) | request[i];
  std::uint32_t& held = farEnd->held[request[1]];
  if (value != 0) held = value;  // 0 asks for the value held
  if (!farEnd->answers) return;
  std::vector<std::uint8_t> bytes;
  for (int shift = request[1] == kSetBaudRate ? 24 : 0; shift >= 0; shift -= 8)
    bytes.push_back(static_cast<std::uint8_t>(held >> shift));
  const std::vector<std::uint8_t> answer = ComPortAnswer(request[1] + kServerAnswerOffset, bytes);
  farEnd->pending.insert(farEnd->pending.end(), answer.begin(), answer.end());
  farEnd->pending.insert(farEnd->pending.end(), farEnd->afterAnswer.begin(),
                         farEnd->afterAnswer.end());
}

// The client's bytes as a Telnet server reads them.
void TakeClientByte(FakeFarEnd* farEnd, std::uint8_t byte) {
  switch (farEnd->sendState) {
    case kData:
    case kSub:  // IAC starts a command; any other byte is data or the request's
      if (byte == kTelnetIac) {
        farEnd->sendState = farEnd->sendState == kData ? kCommand : kSubCommand;
      } else {
        (farEnd->sendState == kData ? farEnd->data : farEnd->request).push_back(byte);
      }
      break;
    case kCommand:
      farEnd->sendState = byte == kTelnetSb                              ? kSub
                          : (byte >= kTelnetWill && byte <= kTelnetDont) ? kOption
                                                                         : kData;
      if (byte == kTelnetIac) farEnd->data.push_back(byte);
      farEnd->request.clear();
      break;
    case kOption:
      farEnd->sendState = kData;
      break;
    case kSubCommand:
      farEnd->sendState = byte == kTelnetSe ? kData : kSub;
      if (byte == kTelnetIac) farEnd->request.push_back(byte);
      if (byte == kTelnetSe) Answer(farEnd);
      break;
  }
}

NetworkSocket FakeConnect(const char*, const char*, int, std::uint32_t*) { return kFakeSocket; }

long FakeSend(NetworkSocket, const std::uint8_t* bytes, std::size_t count, std::uint32_t* error) {
  FakeFarEnd& farEnd = fakeFarEnd;
  const std::size_t room = farEnd.unreadRoom - farEnd.sent.size();
  if (room == 0) {
    farEnd.nowMs += kSendWaitMs;
    *error = kNetworkTimedOut;
    return -1;
  }
  if (count > room) count = room;
  const std::size_t dataBefore = farEnd.data.size();
  for (std::size_t i = 0; i < count; ++i) {
    farEnd.sent.push_back(bytes[i]);
    TakeClientByte(&farEnd, bytes[i]);
  }
  if (farEnd.data.size() > dataBefore) farEnd.nowMs += farEnd.frameSendMs;
  return static_cast<long>(count);
}

long FakeReceive(NetworkSocket, std::uint8_t* bytes, std::size_t capacity, int timeoutMs,
                 std::uint32_t* error) {
  FakeFarEnd& farEnd = fakeFarEnd;
  if (farEnd.beforeRead != nullptr) farEnd.beforeRead(&farEnd);
  if (farEnd.pending.empty() && farEnd.hangsUp) return 0;
  if (farEnd.pending.empty() || farEnd.readDelayMs > timeoutMs) {
    farEnd.nowMs += timeoutMs;
    *error = kNetworkTimedOut;
    return -1;
  }
  farEnd.nowMs += farEnd.readDelayMs;
  std::size_t count = farEnd.pending.size();
  if (count > capacity) count = capacity;
  if (count > farEnd.readSize) count = farEnd.readSize;
  for (std::size_t i = 0; i < count; ++i) bytes[i] = farEnd.pending[i];
  farEnd.pending.erase(farEnd.pending.begin(), farEnd.pending.begin() + static_cast<long>(count));
  return static_cast<long>(count);
}

bool FakeClose(NetworkSocket, std::uint32_t*) { return true; }

std::int64_t FakeNowMs() { return fakeFarEnd.nowMs; }

bool FakeSendAtOnce(NetworkSocket, std::uint32_t*) { return true; }

bool FakeDropQueueOnClose(NetworkSocket, bool drop, std::uint32_t*) {
  fakeFarEnd.dropsQueue = drop;
  return true;
}

}  // namespace

std::vector<std::uint8_t> ComPortAnswer(std::uint8_t command, std::vector<std::uint8_t> value) {
  std::vector<std::uint8_t> answer = {kTelnetIac, kTelnetSb, kComPortOption, command};
  for (std::uint8_t byte : value) {
    answer.push_back(byte);
    if (byte == kTelnetIac) answer.push_back(byte);
  }
  answer.insert(answer.end(), {kTelnetIac, kTelnetSe});
  return answer;
}

void InstallFakeFarEnd() {
  fakeFarEnd = FakeFarEnd();
  networkCalls = {FakeConnect, FakeSend,       FakeReceive,         FakeClose,
                  FakeNowMs,   FakeSendAtOnce, FakeDropQueueOnClose};
}

void RestoreRealNetwork() { networkCalls = kRealNetworkCalls; }

FarEndRun RunOnFakeFarEnd(const CommandFrame& frame) {
  FarEndRun run = {{0, 0, 0}, false};
  PortName name = {};
  const char kName[] = "rfc2217://far:2217";
  for (std::size_t i = 0; i < sizeof kName; ++i) name.text[i] = kName[i];
  std::int64_t start = fakeFarEnd.nowMs;
  const auto lap = [&start](std::int64_t* stageMs) {
    *stageMs = fakeFarEnd.nowMs - start;
    start = fakeFarEnd.nowMs;
  };
  const SerialPort port = OpenSerialPort(name);
  lap(&run.stageMs[0]);
  run.configured = ConfigureSerialLine(port) == LineSetup::kConfigured;
  lap(&run.stageMs[1]);
  if (run.configured && WriteCommandFrame(port, frame)) CloseSerialPort(port);
  lap(&run.stageMs[2]);
  return run;
}
