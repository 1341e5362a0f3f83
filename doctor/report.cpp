#include <algorithm>
#include <cstring>
#include <utility>

#include "doctor/doctor.h"
#include "text/escaped_text.h"

namespace {

const char* SeverityName(Severity severity) {
  return severity == Severity::kBlocks    ? "blocks"
         : severity == Severity::kMayHold ? "may-hold"
                                          : "note";
}

std::string DetailValue(const Detail& detail) {
  return detail.literal ? detail.value : JsonString(detail.value);
}

void AppendJsonDetails(const std::vector<Detail>& details, std::string* out) {
  for (const Detail& detail : details) {
    *out += ", " + JsonString(detail.key) + ": " + DetailValue(detail);
  }
}

// The keys both platforms share, in the order they are printed.
std::vector<Detail> SharedDetails(const PortListing& port) {
  const std::pair<const char*, const std::string*> shared[] = {
      {"friendly-name", &port.friendlyName},
      {"vid", &port.vendorId},
      {"pid", &port.productId},
      {"serial", &port.serial},
      {"location", &port.location},
      {"interface", &port.usbInterface},
      {"driver", &port.driver},
  };
  std::vector<Detail> details;
  for (const auto& fact : shared) {
    details.push_back(fact.second->empty() ? Detail{fact.first, "null", true}
                                           : TextDetail(fact.first, *fact.second));
  }
  if (port.noPort.code != ProblemCode::kNone) {
    details.push_back(TextDetail("no-port", ProblemName(port.noPort.code)));
    details.push_back(TextDetail("why-not", port.noPort.message));
    details.push_back(TextDetail("fix", port.noPort.fix));
  }
  return details;
}

// An adapter without a port has no name to give Kavnori.
std::string ListedName(const PortListing& port, OutputFormat format) {
  if (!port.name.empty())
    return format == OutputFormat::kJson ? JsonString(port.name) : EscapedText(port.name);
  return format == OutputFormat::kJson ? "null" : "USB adapter without a port";
}

std::string JsonProblem(const Problem& problem) {
  std::string out = "{\"code\": " + JsonString(ProblemName(problem.code)) +
                    ", \"severity\": " + JsonString(SeverityName(SeverityOf(problem.code))) +
                    ", \"message\": " + JsonString(problem.message) +
                    ", \"fix\": " + JsonString(problem.fix);
  AppendJsonDetails(problem.details, &out);
  return out + "}";
}

std::string JsonPortReport(const PortReport& report) {
  const DoctorStatus status = DoctorStatusFor(report);
  std::string out = "{\"port\": " + JsonString(report.port) + ", \"device\": " +
                    (report.device.empty() ? std::string("null") : JsonString(report.device)) +
                    ", \"ready\": " + (status == kDoctorReady ? "true" : "false") +
                    ", \"status\": " + std::to_string(status) + ", \"problems\": [";
  for (std::size_t i = 0; i < report.problems.size(); ++i) {
    out += (i == 0 ? "" : ", ") + JsonProblem(report.problems[i]);
  }
  return out + "]}\n";
}

const char* Verdict(DoctorStatus status) {
  switch (status) {
    case kDoctorReady:
      return "ready";
    case kDoctorMayHold:
      return "may hold a run";
    default:
      return "not ready";
  }
}

// Names, messages and fixes hold what others wrote (a port's or a link's
// name, a holder's process name): escaped, so that none of it reaches the
// terminal as a sequence it obeys or as a line of its own.
std::string TextPortReport(const PortReport& report) {
  std::string out = EscapedText(report.port);
  if (!report.device.empty() && report.device != report.port) {
    out += " (" + EscapedText(report.device) + ")";
  }
  out += std::string(": ") + Verdict(DoctorStatusFor(report)) + "\n";
  for (const Problem& problem : report.problems) {
    out += std::string("  [") + SeverityName(SeverityOf(problem.code)) + "] " +
           ProblemName(problem.code) + ": " + EscapedText(problem.message) + "\n";
    if (!problem.fix.empty()) out += "      fix: " + EscapedText(problem.fix) + "\n";
  }
  return out;
}

}  // namespace

Detail TextDetail(const std::string& key, const std::string& value) { return {key, value, false}; }

Detail NumberDetail(const std::string& key, long long value) {
  return {key, std::to_string(value), true};
}

Detail FlagDetail(const std::string& key, bool value) {
  return {key, value ? "true" : "false", true};
}

Problem& AddProblem(PortReport* report, ProblemCode code, const std::string& message,
                    const std::string& fix) {
  std::vector<Problem>& problems = report->problems;
  // Severity's order is its seriousness: kBlocks first.
  const auto after = std::find_if(problems.begin(), problems.end(), [&](const Problem& listed) {
    return SeverityOf(listed.code) > SeverityOf(code);
  });
  return *problems.insert(after, Problem{code, message, fix, {}});
}

DoctorStatus DoctorStatusFor(const PortReport& report) {
  DoctorStatus status = kDoctorReady;
  for (const Problem& problem : report.problems) {
    if (SeverityOf(problem.code) == Severity::kBlocks) return kDoctorBlocked;
    if (SeverityOf(problem.code) == Severity::kMayHold) status = kDoctorMayHold;
  }
  return status;
}

std::string FormatPortReport(const PortReport& report, OutputFormat format) {
  return format == OutputFormat::kJson ? JsonPortReport(report) : TextPortReport(report);
}

std::string FormatPortList(const std::vector<PortListing>& ports, OutputFormat format) {
  std::string out;
  if (format == OutputFormat::kJson) {
    out = "{\"ports\": [";
    for (std::size_t i = 0; i < ports.size(); ++i) {
      out += std::string(i == 0 ? "" : ", ") + "{\"name\": " + ListedName(ports[i], format);
      AppendJsonDetails(SharedDetails(ports[i]), &out);
      AppendJsonDetails(ports[i].details, &out);
      out += "}";
    }
    return out + "]}\n";
  }
  if (ports.empty()) return "No serial ports found.\n";
  for (const PortListing& port : ports) {
    out += ListedName(port, format) + "\n";
    for (const Detail& detail : SharedDetails(port)) {
      if (!detail.literal) out += "  " + detail.key + ": " + EscapedText(detail.value) + "\n";
    }
    for (const Detail& detail : port.details) {
      out += "  " + detail.key + ": " + EscapedText(detail.value) + "\n";
    }
  }
  return out;
}

std::string ShellWord(const std::string& name) {
  const auto plain = [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::strchr("/._-+:,@%=", c) != nullptr;
  };
  if (!name.empty() && std::all_of(name.begin(), name.end(), plain)) return name;
  std::string word = "'";
  for (char c : name) word += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return word + "'";
}
