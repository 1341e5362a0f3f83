// Is the line right: what the driver holds for an open port, and what it
// means for a run's write. Nothing is set or written.
#include <windows.h>

#include <string>

#include "doctor/doctor.h"
#include "doctor/doctor_win32.h"
#include "doctor/shared_win32.h"
#include "protocol/command_frame.h"

namespace {

// A frame takes 8 bytes of 10 bits at 9600 baud on the line: 8.3 ms.
constexpr unsigned long long kFrameMilliseconds = 9;

struct LineState {
  DCB settings;
  bool modemKnown;
  DWORD modem;  // MS_CTS_ON, MS_DSR_ON, ...
  DWORD modemError;
  bool timeoutsKnown;
  COMMTIMEOUTS timeouts;
  bool holdsKnown;
  COMSTAT status;  // fCtsHold, fXoffHold, ...: output held now
};

// Reads what the driver holds, changing nothing of the line. False when the
// settings cannot be read.
bool ReadLine(HANDLE handle, LineState* line, DWORD* error) {
  line->settings.DCBlength = sizeof line->settings;
  if (!win32DoctorCalls.getCommState(handle, &line->settings)) {
    *error = win32DoctorCalls.getLastError();
    return false;
  }
  line->modemKnown = win32DoctorCalls.getCommModemStatus(handle, &line->modem) != FALSE;
  line->modemError = line->modemKnown ? 0 : win32DoctorCalls.getLastError();
  line->timeoutsKnown = win32DoctorCalls.getCommTimeouts(handle, &line->timeouts) != FALSE;
  // It also clears the line's error flags, which only this open, the only
  // one the port takes, would meet.
  DWORD lineErrors = 0;
  line->holdsKnown = win32DoctorCalls.clearCommError(handle, &lineErrors, &line->status) != FALSE;
  return true;
}

// A write waits while a line that output flow control watches is low.
bool AddHardwareFlow(PortReport* report, const std::string& name, const LineState& line) {
  std::string held, options;
  const auto watch = [&](bool on, DWORD high, const char* pin, const char* option) {
    if (!on || (line.modemKnown && (line.modem & high) != 0)) return;
    held += (held.empty() ? "" : " and ") + std::string(pin);
    options += std::string(" ") + option + "=off";
  };
  watch(line.settings.fOutxCtsFlow != 0, MS_CTS_ON, "CTS", "octs");
  watch(line.settings.fOutxDsrFlow != 0, MS_DSR_ON, "DSR", "odsr");
  if (held.empty()) return false;
  const bool both = options.size() > std::string(" octs=off").size();
  const std::string message =
      line.modemKnown
          ? "Hardware flow control is on and " + held + (both ? " are" : " is") +
                " low: a write waits until the board raises " + (both ? "them." : "it.")
          : "Hardware flow control is on (" + held + ") and Windows cannot read the line's state" +
                ErrorSuffix(line.modemError) + ": a write waits while " +
                (both ? "they are low." : "it is low.");
  Problem& problem =
      AddProblem(report, ProblemCode::kHardwareFlow, message, "mode " + name + options);
  if (!line.modemKnown) problem.details.push_back(NumberDetail("error", line.modemError));
  return true;
}

// The driver's own word that output waits right now, whatever the settings
// say should make it wait.
void AddHeldNow(PortReport* report, const std::string& name, const COMSTAT& status) {
  std::string waits, options;
  const auto hold = [&](bool on, const char* what, const char* option) {
    if (!on) return;
    waits += (waits.empty() ? "" : " and ") + std::string(what);
    if (option != nullptr) options += std::string(" ") + option + "=off";
  };
  hold(status.fCtsHold != 0, "CTS to rise", "octs");
  hold(status.fDsrHold != 0, "DSR to rise", "odsr");
  hold(status.fRlsdHold != 0, "DCD (RLSD) to rise", nullptr);
  hold(status.fXoffHold != 0, "the XON byte that ends the XOFF it received", "xon");
  if (waits.empty()) return;
  AddProblem(
      report, ProblemCode::kHeldNow,
      "Output is held right now: the driver waits for " + waits + ", and a write waits with it.",
      options.empty() ? "check the cable to the board: the adapter holds output until DCD "
                        "rises, which no setting of mode turns off"
                      : "mode " + name + options)
      .details.push_back(NumberDetail("queued", status.cbOutQue));
}

void AddWriteTimeouts(PortReport* report, const LineState& line, bool flowHolds) {
  if (!line.timeoutsKnown) return;
  const unsigned long long total =
      static_cast<unsigned long long>(line.timeouts.WriteTotalTimeoutMultiplier) *
          kCommandFrameSize +
      line.timeouts.WriteTotalTimeoutConstant;
  if (total == 0 && flowHolds) {
    AddProblem(
        report, ProblemCode::kWriteTimeouts,
        "No write timeout is set: a write that flow control holds waits until the run is stopped.",
        "turn the flow control off as above; Ctrl+C stops a held run");
  } else if (total != 0 && total < kFrameMilliseconds) {
    AddProblem(report, ProblemCode::kWriteTimeouts,
               "The write timeout, " + std::to_string(total) +
                   " ms for 8 bytes, is shorter than the 9 ms the frame takes at 9600 baud: the "
                   "write can end before the whole frame is out.",
               "unplug the adapter and plug it in again: the driver starts with no write timeout")
        .details.push_back(NumberDetail("milliseconds", static_cast<long long>(total)));
  }
}

}  // namespace

bool CheckLine(PortReport* report, const std::string& name, HANDLE handle, DWORD* error) {
  LineState line = {};
  if (!ReadLine(handle, &line, error)) return false;
  const bool hardwareHeld = AddHardwareFlow(report, name, line);
  if (line.holdsKnown) AddHeldNow(report, name, line.status);
  const bool softwareFlow = line.settings.fOutX != 0;
  if (softwareFlow) {
    AddProblem(
        report, ProblemCode::kSoftwareFlow,
        "XON/XOFF flow control is on: an XOFF byte from the line holds a write until XON comes.",
        "mode " + name + " xon=off");
  }
  AddWriteTimeouts(report, line, hardwareHeld || softwareFlow);
  return true;
}
