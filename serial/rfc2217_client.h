// A serial port on the network, named rfc2217://HOST:PORT (HOST a name, an
// IPv4 address or [IPv6]), as ser2net's telnet(rfc2217) accepter, labgrid's
// exporter and Ethernet-serial converters share one. The same stages as a
// local port, with the same failure lines:
//
//   OpenNetworkPort      connect, Telnet BINARY both ways and COM-PORT-OPTION
//                        (44), within 5 s; a failure shows at the read
//   ConfigureNetworkLine 9600, 8 data bits, no parity, 1 stop bit, no flow
//                        control; each answer must carry the value asked
//   WriteNetworkFrame    the frame with 0xFF doubled, then SET-BAUDRATE 0 (a
//                        query): the server answers it only after it has
//                        taken the bytes before it, so the answer means sent
//   CloseNetworkPort
//
// The far end raises DTR on connect, as ser2net does: no DTR/RTS change is
// sent (ser2net on a pty never answers one), as the local path keeps the
// modem lines. Platform-independent: the socket calls are in
// network_socket.h.
#pragma once

#include "protocol/command_frame.h"
#include "serial/network_socket.h"
#include "serial/serial_port.h"

// True for a name that starts with "rfc2217://"; the only cost a local port
// pays for the network.
bool IsNetworkPortName(const char* name);

// HOST and PORT of a name, each terminated; false for a malformed name.
struct NetworkAddress {
  char host[256];
  char service[6];
};
bool ParseNetworkPortName(const char* name, NetworkAddress* address);

SerialPort OpenNetworkPort(const char* name);
LineSetup ConfigureNetworkLine(const SerialPort& port);
bool WriteNetworkFrame(const SerialPort& port, const CommandFrame& frame);
bool CloseNetworkPort(const SerialPort& port);

// The Telnet and RFC 2217 bytes, for the doctor's queries too.
enum : std::uint8_t {
  kTelnetSe = 240,
  kTelnetSb = 250,
  kTelnetWill = 251,
  kTelnetWont = 252,
  kTelnetDo = 253,
  kTelnetDont = 254,
  kTelnetIac = 255,
  kTelnetBinary = 0,
  kComPortOption = 44,
  kSetBaudRate = 1,
  kSetDataSize = 2,
  kSetParity = 3,
  kSetStopSize = 4,
  kSetControl = 5,
  kServerAnswerOffset = 100,  // the server answers command N as N + 100
};

// One connection's Telnet state: what the server agreed to and the last
// COM-PORT-OPTION answer.
struct Rfc2217Session {
  NetworkSocket socket;
  int readState;
  std::uint8_t optionVerb;
  std::uint8_t subnegotiation[8];
  std::size_t subnegotiationLength;
  bool serverTakesBinary;   // DO BINARY
  bool serverTakesComPort;  // DO COM-PORT-OPTION
  bool serverRefused;       // DONT COM-PORT-OPTION or DONT BINARY
  bool answered;
  std::uint8_t answerCommand;  // 101 to 105
  std::uint32_t answerValue;
};

// Connects and negotiates within timeoutMs; false with the code in *error.
bool StartRfc2217Session(const NetworkAddress& address, int timeoutMs, Rfc2217Session* session,
                         std::uint32_t* error);
// Sends command with value (4 bytes for the speed, else 1) and waits until
// deadlineMs (of networkCalls.nowMs) for its answer, left in the session.
bool AskComPort(Rfc2217Session* session, std::uint8_t command, std::uint32_t value,
                std::int64_t deadlineMs, std::uint32_t* error);
