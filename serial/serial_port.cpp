// The one choice between a device and a network port, made on the name at
// the open; every later stage goes where the open went.
#include "serial/serial_port.h"

#include "serial/local_port.h"
#include "serial/port_name.h"
#include "serial/rfc2217_client.h"

SerialPort OpenSerialPort(const PortName& portName) {
  EndEarlierLocalRun();
  char networkName[kPortNameCapacity];
  if (NetworkPortName(portName, networkName)) return OpenNetworkPort(networkName);
  SerialPort port = {};
  OpenLocalPort(portName, &port);
  return port;
}

LineSetup ConfigureSerialLine(const SerialPort& port) {
  return port.network ? ConfigureNetworkLine(port) : ConfigureLocalLine(port);
}

bool WriteCommandFrame(const SerialPort& port, const CommandFrame& frame) {
  return port.network ? WriteNetworkFrame(port, frame) : WriteLocalFrame(port, frame);
}

bool CloseSerialPort(const SerialPort& port) {
  return port.network ? CloseNetworkPort(port) : CloseLocalPort(port);
}
