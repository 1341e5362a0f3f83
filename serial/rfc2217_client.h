// A serial port on the network, named rfc2217://HOST:PORT (HOST a name, an
// IPv4 address or [IPv6]), as ser2net's telnet(rfc2217) accepter, labgrid's
// exporter and Ethernet-serial converters share one. The same stages as a
// local port, with the same failure lines:
//
//   OpenNetworkPort      connect, Telnet BINARY both ways and COM-PORT-OPTION
//                        (44), a speed query answered, within 5 s; a failure
//                        shows at the read of the settings
//   ConfigureNetworkLine 9600, 8 data bits, no parity, 1 stop bit, no flow
//                        control; each answer must carry the value asked
//   WriteNetworkFrame    the frame with 0xFF doubled, then SET-BAUDRATE 0 (a
//                        query): the server answers it only after it has
//                        taken the bytes before it, so the answer means sent
//   CloseNetworkPort
//
// The far end raises DTR on connect, as ser2net does: no DTR/RTS change is
// sent (ser2net on a pty never answers one), as the local path keeps the
// modem lines.
#pragma once

#include "protocol/command_frame.h"
#include "serial/rfc2217_session.h"
#include "serial/serial_port.h"

// True for a name that starts with "rfc2217://"; the only cost a local port
// pays for the network.
bool IsNetworkPortName(const char* name);

// False for a malformed name.
bool ParseNetworkPortName(const char* name, NetworkAddress* address);

SerialPort OpenNetworkPort(const char* name);
LineSetup ConfigureNetworkLine(const SerialPort& port);
bool WriteNetworkFrame(const SerialPort& port, const CommandFrame& frame);
bool CloseNetworkPort(const SerialPort& port);
