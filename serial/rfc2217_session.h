// One Telnet connection to an RFC 2217 server: the negotiation and the
// COM-PORT-OPTION requests with their answers, for a run and for the
// doctor's queries. Platform-independent: the socket calls are in
// network_socket.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "serial/network_socket.h"

// HOST and PORT of a name, each terminated.
struct NetworkAddress {
  char host[256];
  char service[6];
};

// Telnet's commands, each after an IAC byte.
enum TelnetCommand : std::uint8_t {
  kTelnetSe = 240,
  kTelnetSb = 250,
  kTelnetWill = 251,
  kTelnetWont = 252,
  kTelnetDo = 253,
  kTelnetDont = 254,
  kTelnetIac = 255,
};

// The Telnet options a session asks for.
enum TelnetOption : std::uint8_t {
  kTelnetBinary = 0,
  kComPortOption = 44,
};

// COM-PORT-OPTION commands, the first byte of its subnegotiation.
enum ComPortCommand : std::uint8_t {
  kSetBaudRate = 1,
  kSetDataSize = 2,
  kSetParity = 3,
  kSetStopSize = 4,
  kSetControl = 5,
  kServerAnswerOffset = 100,  // the server answers command N as N + 100
};

// One connection's Telnet state: what the server agreed to and the
// COM-PORT-OPTION answer awaited.
struct Rfc2217Session {
  NetworkSocket socket;
  int readState;
  std::uint8_t optionVerb;
  std::uint8_t subnegotiation[8];
  std::size_t subnegotiationLength;  // one past the room: over-long
  bool serverTakesBinary;            // DO BINARY
  bool serverTakesComPort;           // DO COM-PORT-OPTION
  bool serverRefused;                // DONT COM-PORT-OPTION or DONT BINARY
  std::uint8_t refused[64];          // a bit for each option offered (WILL) or asked (DO)
  bool serverSpoke;                  // its first bytes were a Telnet command
  // The far end's first data bytes: ser2net says why it closes in text.
  char farText[24];
  std::size_t farTextLength;
  bool answered;
  std::uint8_t answerCommand;  // the answer awaited, 101 to 105
  std::uint32_t answerValue;
};

// Connects and negotiates within timeoutMs; false with the code in *error.
// Nothing is sent before the far end has spoken Telnet: a raw TCP port says
// nothing, or sends the far line's bytes, and would pass our offer to the
// far line. Servers that wait for the client to speak first are not served.
bool StartRfc2217Session(const NetworkAddress& address, int timeoutMs, Rfc2217Session* session,
                         std::uint32_t* error);
// Sends command with value (4 bytes for the speed, else 1) and waits until
// deadlineMs (of networkCalls.nowMs) for its answer, left in the session.
bool AskComPort(Rfc2217Session* session, std::uint8_t command, std::uint32_t value,
                std::int64_t deadlineMs, std::uint32_t* error);
// Puts byte at out, doubled when it is 0xFF; the number of bytes put.
std::size_t PutEscaped(std::uint8_t byte, std::uint8_t* out);
// Sends all of bytes; a socket may take a part at a time.
bool SendAll(NetworkSocket socket, const std::uint8_t* bytes, std::size_t count,
             std::uint32_t* error);
