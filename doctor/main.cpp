#include <cstdio>
#include <cstring>
#include <string>

#include "doctor/doctor.h"
#include "doctor/network_check.h"
#include "serial/rfc2217_client.h"
#include "text/escaped_text.h"

namespace {

constexpr const char* kUsage =
    "Usage: kavnori-doctor [--json] [PORT]\n"
    "       kavnori-doctor [--json] --find VID:PID[:SERIAL][:ifNN]\n"
    "       kavnori-doctor [--json] --find at:LOCATION[:ifNN]\n"
    "       kavnori-doctor --version\n"
    "  Without PORT: lists this machine's serial ports.\n"
    "  With PORT: checks it as a Kavnori run would meet it, and says how to fix\n"
    "  each problem found. Exit status: 0 ready, 1 usage, 2 a problem that\n"
    "  blocks a run, 3 one that may hold a run.\n"
    "  --find: prints the port of the one USB adapter plugged in now with those\n"
    "  ids (hex, as the list shows them) or in that USB socket, for Kavnori;\n"
    "  :ifNN names one port of an adapter with several by its USB interface.\n"
    "  Exit status: 0 found, 1 usage, 2 none matches, 3 several match.\n";

struct Arguments {
  OutputFormat format = OutputFormat::kText;
  const char* port = nullptr;
  const char* find = nullptr;  // the selector of --find
  bool help = false;
  bool version = false;
};

// "--" ends the options, so that a port whose name starts with '-' can be named.
bool ParseArguments(int argc, char** argv, Arguments* arguments) {
  bool options = true;
  for (int i = 1; i < argc; ++i) {
    const char* argument = argv[i];
    if (options && std::strcmp(argument, "--") == 0) {
      options = false;
    } else if (options && std::strcmp(argument, "--json") == 0) {
      arguments->format = OutputFormat::kJson;
    } else if (options &&
               (std::strcmp(argument, "--help") == 0 || std::strcmp(argument, "-h") == 0)) {
      arguments->help = true;
    } else if (options && std::strcmp(argument, "--version") == 0) {
      arguments->version = true;
    } else if (options && std::strcmp(argument, "--find") == 0) {
      if (i + 1 == argc) {
        std::fprintf(stderr, "kavnori-doctor: --find needs a selector\n");
        return false;
      }
      arguments->find = argv[++i];
    } else if (options && argument[0] == '-' && argument[1] != '\0') {
      std::fprintf(stderr, "kavnori-doctor: unknown option %s\n", EscapedText(argument).c_str());
      return false;
    } else if (arguments->port == nullptr) {
      arguments->port = argument;
    } else {
      std::fprintf(stderr, "kavnori-doctor: one port at a time\n");
      return false;
    }
  }
  if (arguments->find != nullptr && arguments->port != nullptr) {
    std::fprintf(stderr, "kavnori-doctor: --find takes no port\n");
    return false;
  }
  return true;
}

int Find(const char* selector, OutputFormat format) {
  std::string out, error;
  // The text form prints the name alone; the JSON form the matches' records.
  const FindStatus status =
      FindAdapter(selector, ListUsbAdapters(format == OutputFormat::kJson), format, &out, &error);
  std::fputs(out.c_str(), stdout);
  std::fputs(error.c_str(), stderr);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  Arguments arguments;
  if (!ParseArguments(argc, argv, &arguments)) {
    std::fputs(kUsage, stderr);
    return kDoctorUsage;
  }
  if (arguments.help) {
    std::fputs(kUsage, stdout);
    return kDoctorReady;
  }
  if (arguments.version) {
    std::fputs("kavnori-doctor " KAVNORI_VERSION "\n", stdout);
    return kDoctorReady;
  }
  if (arguments.find != nullptr) return Find(arguments.find, arguments.format);
  if (arguments.port == nullptr) {
    std::fputs(FormatPortList(ListPorts(), arguments.format).c_str(), stdout);
    return kDoctorReady;
  }
  const PortReport report = IsNetworkPortName(arguments.port) ? CheckNetworkPort(arguments.port)
                                                              : CheckPort(arguments.port);
  std::fputs(FormatPortReport(report, arguments.format).c_str(), stdout);
  return DoctorStatusFor(report);
}
