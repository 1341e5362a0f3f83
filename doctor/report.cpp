#include <cstdio>

#include "doctor/doctor.h"

namespace {

const char* SeverityName(Severity severity) {
  switch (severity) {
    case Severity::kBlocks:
      return "blocks";
    case Severity::kMayHold:
      return "may-hold";
    case Severity::kNote:
      return "note";
  }
  return "note";
}

// The length of the well-formed UTF-8 sequence at text[at], or 0 when the
// bytes there are not one (a stray continuation byte, an overlong form, a
// surrogate, a code point past U+10FFFF, a sequence cut short).
std::size_t Utf8SequenceLength(const std::string& text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return 1;
  std::size_t length;
  unsigned char low = 0x80, high = 0xBF;  // the second byte's range
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  if (byte(1) < low || byte(1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  }
  return length;
}

std::string DetailValue(const Detail& detail) {
  return detail.literal ? detail.value : JsonString(detail.value);
}

void AppendJsonDetails(const std::vector<Detail>& details, std::string* out) {
  for (const Detail& detail : details) {
    *out += ", " + JsonString(detail.key) + ": " + DetailValue(detail);
  }
}

std::string JsonProblem(const Problem& problem) {
  std::string out = "{\"code\": " + JsonString(problem.code) +
                    ", \"severity\": " + JsonString(SeverityName(problem.severity)) +
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

std::string TextPortReport(const PortReport& report) {
  std::string out = report.port;
  if (!report.device.empty() && report.device != report.port) out += " (" + report.device + ")";
  out += std::string(": ") + Verdict(DoctorStatusFor(report)) + "\n";
  for (const Problem& problem : report.problems) {
    out += std::string("  [") + SeverityName(problem.severity) + "] " + problem.code + ": " +
           problem.message + "\n";
    if (!problem.fix.empty()) out += "      fix: " + problem.fix + "\n";
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

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (std::size_t at = 0; at < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[at]);
    const std::size_t length = Utf8SequenceLength(text, at);
    if (length == 0) {
      out += "\\ufffd";
      ++at;
      continue;
    }
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out.append(text, at, length);
    }
    at += length;
  }
  return out + "\"";
}

DoctorStatus DoctorStatusFor(const PortReport& report) {
  DoctorStatus status = kDoctorReady;
  for (const Problem& problem : report.problems) {
    if (problem.severity == Severity::kBlocks) return kDoctorBlocked;
    if (problem.severity == Severity::kMayHold) status = kDoctorMayHold;
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
      out += std::string(i == 0 ? "" : ", ") + "{\"name\": " + JsonString(ports[i].name);
      AppendJsonDetails(ports[i].details, &out);
      out += "}";
    }
    return out + "]}\n";
  }
  if (ports.empty()) return "No serial ports found.\n";
  for (const PortListing& port : ports) {
    out += port.name + "\n";
    for (const Detail& detail : port.details) {
      out += "  " + detail.key + ": " + detail.value + "\n";
    }
  }
  return out;
}
