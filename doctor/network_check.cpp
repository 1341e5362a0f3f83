#include "doctor/network_check.h"

#include "serial/rfc2217_client.h"
#include "serial/rfc2217_session.h"

namespace {

constexpr int kTimeoutMs = 5000;
constexpr const char* kRfc2217Fix =
    "share the port through ser2net's telnet(rfc2217) accepter, e.g. "
    "accepter: telnet(rfc2217),tcp,PORT";

// Each of these blocks a run; the socket's error code goes with it.
void AddBlockingProblem(PortReport* report, ProblemCode code, const std::string& message,
                        const std::string& fix, std::uint32_t error) {
  AddProblem(report, code, message, fix).details.push_back(NumberDetail("error", error));
}

void ConnectProblem(PortReport* report, const std::string& where, std::uint32_t error) {
  if (error == kNetworkNameNotFound) {
    return AddBlockingProblem(report, ProblemCode::kNameNotFound,
                              "the name in " + where + " is not found.",
                              "check the host name, or give its address", error);
  }
  if (error == kNetworkRefused) {
    return AddBlockingProblem(report, ProblemCode::kNothingListening,
                              "nothing listens at " + where + ".",
                              "check the port number and that ser2net runs there", error);
  }
  if (error == kNetworkTimedOut) {
    return AddBlockingProblem(
        report, ProblemCode::kNoAnswer, where + " does not answer within 5 s.",
        "check that the host is up and that no firewall drops the port", error);
  }
  AddBlockingProblem(report, ProblemCode::kUnreachable,
                     where + " cannot be reached (error " + std::to_string(error) + ").",
                     "check the network path to the host", error);
}

// ser2net says "Port already in use" and closes, while or after agreeing.
void InUse(PortReport* report, const std::string& where, std::uint32_t error) {
  AddBlockingProblem(report, ProblemCode::kInUse,
                     where + " closed the connection: another client has the port.",
                     "end the other client's connection, then run again", error);
}

// Told apart by what came first: nothing, bytes that are no Telnet, or
// Telnet that turns COM-PORT-OPTION down.
void NoRfc2217(PortReport* report, const std::string& where, bool spokeTelnet,
               std::uint32_t error) {
  std::string what = " speaks Telnet but refuses RFC 2217.";
  if (!spokeTelnet) {
    what = error == kNetworkTimedOut
               ? " takes connections but says nothing within 5 s: a raw TCP port, or a "
                 "server that waits for its client to speak first."
               : " sends bytes that are no Telnet: a raw TCP port.";
  } else if (error == kNetworkTimedOut) {
    what = " speaks Telnet but does not agree to RFC 2217 within 5 s.";
  }
  AddBlockingProblem(report, ProblemCode::kNoRfc2217, where + what, kRfc2217Fix, error);
}

// What ended the start, or the first query, which ser2net answers only once
// it has opened its port.
void StartProblem(PortReport* report, const std::string& where, const Rfc2217Session& session,
                  std::uint32_t error) {
  if (session.socket == kNoSocket) {
    ConnectProblem(report, where, error);
  } else if (error == kNetworkFarDeviceFails) {
    AddBlockingProblem(
        report, ProblemCode::kFarDeviceFails,
        where + " cannot open its serial device: it says \"" +
            std::string(session.farText, session.farTextLength) + "...\".",
        "check the device in ser2net's configuration, that it is plugged in, and ser2net's "
        "log",
        error);
  } else if (error != kNetworkTimedOut && error != kNetworkNoRfc2217) {
    InUse(report, where, error);  // closed while agreeing
  } else {
    NoRfc2217(report, where, session.serverSpoke, error);
  }
}

std::string ParityName(std::uint32_t value) {
  static const char* const kNames[] = {"?", "none", "odd", "even", "mark", "space"};
  return value < 6 ? kNames[value] : "?";
}

std::string StopBitsName(std::uint32_t value) {
  return value == 1 ? "1" : value == 2 ? "2" : value == 3 ? "1.5" : "?";
}

}  // namespace

PortReport CheckNetworkPort(const std::string& port) {
  PortReport report;
  report.port = port;
  NetworkAddress address;
  if (!ParseNetworkPortName(port.c_str(), &address)) {
    AddBlockingProblem(&report, ProblemCode::kBadName, port + " is not rfc2217://HOST:PORT.",
                       "name it rfc2217://HOST:PORT, an IPv6 address in [ ]", kNetworkValueRefused);
    return report;
  }
  const std::string where = std::string(address.host) + " port " + address.service;
  report.device = std::string(address.host) + ":" + address.service;
  Rfc2217Session session;
  std::uint32_t error = 0;
  const std::int64_t deadline = networkCalls.nowMs() + kTimeoutMs;
  if (!StartRfc2217Session(address, kTimeoutMs, &session, &error)) {
    StartProblem(&report, where, session, error);
    return report;
  }
  // Value 0 asks for the current setting and sets nothing.
  static const struct {
    std::uint8_t command;
    const char* key;
  } kQueries[] = {{kSetBaudRate, "speed"},
                  {kSetDataSize, "data-bits"},
                  {kSetParity, "parity"},
                  {kSetStopSize, "stop-bits"}};
  std::uint32_t values[4] = {};
  for (std::size_t i = 0; i < 4; ++i) {
    if (AskComPort(&session, kQueries[i].command, 0, deadline, &error)) {
      values[i] = session.answerValue;
      continue;
    }
    if (i == 0 && error != kNetworkTimedOut) {
      StartProblem(&report, where, session, error);
    } else {
      AddBlockingProblem(&report, ProblemCode::kQueryUnanswered,
                         where + " leaves the query of its " + kQueries[i].key + " unanswered.",
                         "check the device server's RFC 2217 support", error);
    }
    return report;
  }
  std::uint32_t closeError = 0;
  networkCalls.close(session.socket, &closeError);
  Problem& far =
      AddProblem(&report, ProblemCode::kFarPort,
                 "the far port is at " + std::to_string(values[0]) + " " +
                     std::to_string(values[1]) + " " + ParityName(values[2]) + " " +
                     StopBitsName(values[3]) + "; Kavnori sets 9600 8 none 1 on each run.",
                 "");
  far.details.push_back(NumberDetail("speed", values[0]));
  far.details.push_back(NumberDetail("data-bits", values[1]));
  far.details.push_back(TextDetail("parity", ParityName(values[2])));
  far.details.push_back(TextDetail("stop-bits", StopBitsName(values[3])));
  return report;
}
