#include "serial/rfc2217_session.h"

#include <cstring>

namespace {

enum ReadState { kData, kCommand, kOption, kSub, kSubCommand };

// The refused bits: an offer (WILL) of option N is bit N, a request (DO)
// bit kRequestBits + N.
constexpr int kRequestBits = 256;
// IAC, WONT or DONT, the option.
constexpr std::size_t kRefusalLength = 3;
// COM-PORT-OPTION and the answer's command come before its value.
constexpr std::size_t kAnswerHeadLength = 2;

// A reply to an option the server offers or asks for that we do not want.
// Left in a small buffer and sent once the bytes read are taken apart.
struct Replies {
  std::uint8_t bytes[48];
  std::size_t length;
};

// Each option is turned down once: a server that repeats an offer or a
// request (a storm) gets no more bytes back, so a far end that does not
// read never fills the buffers and holds a send past the stage's time.
void Refuse(Rfc2217Session* session, Replies* replies, std::uint8_t verb, std::uint8_t option) {
  const int bit = (verb == kTelnetDo ? kRequestBits : 0) + option;
  std::uint8_t& refusedByte = session->refused[bit / 8];
  const std::uint8_t mask = static_cast<std::uint8_t>(1u << (bit % 8));
  if ((refusedByte & mask) != 0 || replies->length + kRefusalLength > sizeof replies->bytes) return;
  refusedByte |= mask;
  replies->bytes[replies->length++] = kTelnetIac;
  replies->bytes[replies->length++] = verb == kTelnetDo ? kTelnetWont : kTelnetDont;
  replies->bytes[replies->length++] = option;
}

void TakeOption(Rfc2217Session* session, std::uint8_t option, Replies* replies) {
  const std::uint8_t verb = session->optionVerb;
  const bool ours = option == kTelnetBinary || option == kComPortOption;
  if (verb == kTelnetDo && option == kTelnetBinary) session->serverTakesBinary = true;
  if (verb == kTelnetDo && option == kComPortOption) session->serverTakesComPort = true;
  if (verb == kTelnetDont && ours) session->serverRefused = true;
  // WILL BINARY answers our DO BINARY; anything else offered or asked for
  // is turned down, once (a WONT or DONT needs no answer).
  if ((verb == kTelnetDo && !ours) || (verb == kTelnetWill && option != kTelnetBinary)) {
    Refuse(session, replies, verb, option);
  }
}

// Only the answer awaited, with its value whole (4 bytes for the speed,
// else 1), is taken: one for another command must not stand for it, and
// a short or over-long one has no value to trust.
void TakeSubnegotiation(Rfc2217Session* session) {
  const std::uint8_t* sub = session->subnegotiation;
  const std::size_t length = session->subnegotiationLength;
  const std::uint8_t awaited = session->answerCommand;
  const std::size_t valueLength = awaited == kServerAnswerOffset + kSetBaudRate ? 4 : 1;
  if (length != kAnswerHeadLength + valueLength || sub[0] != kComPortOption || sub[1] != awaited)
    return;
  std::uint32_t value = 0;
  for (std::size_t i = kAnswerHeadLength; i < length; ++i) value = (value << 8) | sub[i];
  session->answered = true;
  session->answerValue = value;
}

void KeepSubnegotiationByte(Rfc2217Session* session, std::uint8_t byte) {
  std::size_t& length = session->subnegotiationLength;
  if (length < sizeof session->subnegotiation) session->subnegotiation[length] = byte;
  if (length <= sizeof session->subnegotiation) ++length;
}

// Takes apart what the server sent: data from the far port is dropped, the
// Telnet commands are kept.
void TakeBytes(Rfc2217Session* session, const std::uint8_t* bytes, long count, Replies* replies) {
  for (long i = 0; i < count; ++i) {
    const std::uint8_t byte = bytes[i];
    switch (session->readState) {
      case kData:
        if (byte == kTelnetIac) {
          session->readState = kCommand;
        } else if (session->farTextLength < sizeof session->farText) {
          session->farText[session->farTextLength++] = static_cast<char>(byte);
        }
        break;
      case kCommand:
        session->readState = kData;
        if (byte >= kTelnetWill && byte <= kTelnetDont) {
          session->optionVerb = byte;
          session->readState = kOption;
        } else if (byte == kTelnetSb) {
          session->subnegotiationLength = 0;
          session->readState = kSub;
        }
        break;
      case kOption:
        TakeOption(session, byte, replies);
        session->readState = kData;
        break;
      case kSub:
        if (byte == kTelnetIac) {
          session->readState = kSubCommand;
        } else {
          KeepSubnegotiationByte(session, byte);
        }
        break;
      case kSubCommand:
        session->readState = kSub;
        if (byte == kTelnetSe) {
          TakeSubnegotiation(session);
          session->readState = kData;
        } else if (byte == kTelnetIac) {
          KeepSubnegotiationByte(session, byte);
        }
        break;
    }
  }
}

bool FarSaid(const Rfc2217Session& session, const char* text) {
  for (std::size_t i = 0; text[i] != '\0'; ++i) {
    if (i >= session.farTextLength || session.farText[i] != text[i]) return false;
  }
  return true;
}

// One read until deadlineMs, then the replies the bytes read call for;
// false when the time ran out, the far end closed, or a read or send failed.
bool ReadAndReply(Rfc2217Session* session, std::int64_t deadlineMs, std::uint32_t* error) {
  const std::int64_t left = deadlineMs - networkCalls.nowMs();
  if (left <= 0) {
    *error = kNetworkTimedOut;
    return false;
  }
  std::uint8_t bytes[256];
  const long got =
      networkCalls.receive(session->socket, bytes, sizeof bytes, static_cast<int>(left), error);
  if (got <= 0) {
    if (got == 0) *error = kNetworkClosedByPeer;
    return false;
  }
  // ser2net's Telnet accepters open with a WILL or DO; anything else is a
  // raw port, which gets no reply.
  if (!session->serverSpoke && bytes[0] != kTelnetIac) {
    *error = kNetworkNoRfc2217;
    return false;
  }
  session->serverSpoke = true;
  Replies replies = {{}, 0};
  TakeBytes(session, bytes, got, &replies);
  // ser2net's words before it closes: answered at once, before a reply
  // meets the closed connection with a code that says less.
  if (FarSaid(*session, "Device open failure")) {
    *error = kNetworkFarDeviceFails;
    return false;
  }
  if (FarSaid(*session, "Port already in use")) {
    *error = kNetworkClosedByPeer;
    return false;
  }
  return replies.length == 0 || SendAll(session->socket, replies.bytes, replies.length, error);
}

}  // namespace

bool SendAll(NetworkSocket socket, const std::uint8_t* bytes, std::size_t count,
             std::uint32_t* error) {
  while (count > 0) {
    const long sent = networkCalls.send(socket, bytes, count, error);
    if (sent <= 0) return false;
    bytes += sent;
    count -= static_cast<std::size_t>(sent);
  }
  return true;
}

std::size_t PutEscaped(std::uint8_t byte, std::uint8_t* out) {
  out[0] = byte;
  if (byte != kTelnetIac) return 1;
  out[1] = kTelnetIac;  // a 0xFF in data or a value goes doubled
  return 2;
}

bool StartRfc2217Session(const NetworkAddress& address, int timeoutMs, Rfc2217Session* session,
                         std::uint32_t* error) {
  std::memset(session, 0, sizeof *session);
  const std::int64_t deadline = networkCalls.nowMs() + timeoutMs;
  session->socket = networkCalls.connect(address.host, address.service, timeoutMs, error);
  if (session->socket == kNoSocket) return false;
  if (!networkCalls.sendAtOnce(session->socket, error) ||
      !networkCalls.dropQueueOnClose(session->socket, true, error)) {
    return false;
  }
  // ser2net's WILL and DO come within a millisecond of the connect.
  if (!ReadAndReply(session, deadline, error)) return false;
  static const std::uint8_t kOffer[] = {
      kTelnetIac,    kTelnetWill, kTelnetBinary, kTelnetIac,     kTelnetDo,
      kTelnetBinary, kTelnetIac,  kTelnetWill,   kComPortOption,
  };
  if (!SendAll(session->socket, kOffer, sizeof kOffer, error)) return false;
  while (!(session->serverTakesBinary && session->serverTakesComPort)) {
    if (session->serverRefused) {
      *error = kNetworkNoRfc2217;
      return false;
    }
    if (!ReadAndReply(session, deadline, error)) return false;
  }
  return true;
}

bool AskComPort(Rfc2217Session* session, std::uint8_t command, std::uint32_t value,
                std::int64_t deadlineMs, std::uint32_t* error) {
  std::uint8_t request[16] = {kTelnetIac, kTelnetSb, kComPortOption, command};
  std::size_t length = 4;
  if (command == kSetBaudRate) {
    for (int shift = 24; shift >= 0; shift -= 8) {
      length += PutEscaped(static_cast<std::uint8_t>(value >> shift), request + length);
    }
  } else {
    length += PutEscaped(static_cast<std::uint8_t>(value), request + length);
  }
  request[length++] = kTelnetIac;
  request[length++] = kTelnetSe;
  session->answered = false;
  session->answerCommand = static_cast<std::uint8_t>(command + kServerAnswerOffset);
  if (!SendAll(session->socket, request, length, error)) return false;
  while (!session->answered) {
    if (!ReadAndReply(session, deadlineMs, error)) return false;
  }
  return true;
}
