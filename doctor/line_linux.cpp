// Are the driver and the line right: flow control, output held now, HUPCL,
// brltty's rules, ModemManager.
#include <algorithm>

#include "doctor/doctor_linux.h"

void CheckFlowControl(CheckedPort* checked, const TtySettings& settings) {
  if (settings.hardwareFlow && !settings.ctsHigh) {
    AddProblem(checked->report, ProblemCode::kHardwareFlow,
               std::string("Hardware flow control (CRTSCTS) is on and CTS is ") +
                   (settings.ctsKnown ? "low" : "unknown (the driver does not tell)") +
                   ": a write waits until the other end raises CTS, which relay boards do not.",
               "stty -F " + ShellWord(checked->device) + " -crtscts");
  }
  if (settings.softwareFlow) {
    AddProblem(checked->report, ProblemCode::kSoftwareFlow,
               "Software flow control (IXON) is on: an XOFF byte from the board would hold writes.",
               "stty -F " + ShellWord(checked->device) + " -ixon");
  }
  // Bytes that wait in the driver while flow control is on: output is held
  // right now, and a run's frame would wait behind them.
  if ((settings.hardwareFlow || settings.softwareFlow) && settings.queued > 0) {
    AddProblem(
        checked->report, ProblemCode::kHeldNow,
        "Output is held right now: " + std::to_string(settings.queued) + " bytes wait in " +
            checked->device + "'s output queue, with flow control on.",
        "raise CTS at the far end, or: stty -F " + ShellWord(checked->device) + " -crtscts -ixon")
        .details.push_back(NumberDetail("queued", settings.queued));
  }
}

// Kavnori keeps every setting but the four of its line, this one too.
void CheckHangupOnClose(CheckedPort* checked, const TtySettings& settings) {
  if (!settings.hangupOnClose) return;
  AddProblem(checked->report, ProblemCode::kHupcl,
             "HUPCL is on: DTR and RTS drop at each close and rise at the next open; a board "
             "that resets on DTR loses its state at each run.",
             "stty -F " + ShellWord(checked->device) + " -hupcl");
}

void CheckAdapter(CheckedPort* checked, const TtyDevice& tty, dev_t number) {
  if (!tty.vendorId.empty()) {
    const std::string vendorProduct = tty.vendorId + ":" + tty.productId;
    const std::string rules = BrlttyRuleClaiming(checked->root, vendorProduct);
    if (!rules.empty()) {
      AddBrlttyProblem(checked->report,
                       "brltty's udev rules (" + rules + ") claim USB adapters " + vendorProduct +
                           ": brltty takes the port as it appears.",
                       rules);
    }
  }
  const auto& problems = checked->report->problems;
  const bool named = std::any_of(problems.begin(), problems.end(), [](const Problem& p) {
    return p.code == ProblemCode::kModemManager;
  });
  if (!named && tty.hasDevice && !ModemManagerIgnores(checked->root, number) &&
      ProcessRuns(checked->root, "ModemManager")) {
    AddProblem(
        checked->report, ProblemCode::kModemManager,
        "ModemManager runs and " + checked->device +
            " is not marked to be ignored: it may open the port and send AT commands to the board.",
        ModemManagerFix(tty));
  }
}
