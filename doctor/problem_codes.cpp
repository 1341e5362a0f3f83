#include "doctor/problem_codes.h"

namespace {

struct ProblemKind {
  ProblemCode code;
  const char* name;
  Severity severity;
};

// In ProblemCode's order.
constexpr ProblemKind kProblemKinds[] = {
    {ProblemCode::kNone, "", Severity::kNote},
    {ProblemCode::kMissing, "missing", Severity::kBlocks},
    {ProblemCode::kNameTooLong, "name-too-long", Severity::kBlocks},
    {ProblemCode::kLinkLoop, "link-loop", Severity::kBlocks},
    {ProblemCode::kPermission, "permission", Severity::kBlocks},
    {ProblemCode::kGroupNotActive, "group-not-active", Severity::kBlocks},
    {ProblemCode::kProtectedSymlink, "protected-symlink", Severity::kBlocks},
    {ProblemCode::kDanglingLink, "dangling-link", Severity::kBlocks},
    {ProblemCode::kNotATerminal, "not-a-terminal", Severity::kBlocks},
    {ProblemCode::kNotASerialPort, "not-a-serial-port", Severity::kBlocks},
    {ProblemCode::kOpenFailed, "open-failed", Severity::kBlocks},
    {ProblemCode::kInUse, "in-use", Severity::kBlocks},
    {ProblemCode::kDeviceError, "device-error", Severity::kBlocks},
    {ProblemCode::kNoDriver, "no-driver", Severity::kBlocks},
    {ProblemCode::kBrltty, "brltty", Severity::kBlocks},
    {ProblemCode::kUsbfsClaimed, "usbfs-claimed", Severity::kBlocks},
    {ProblemCode::kHeldByLock, "held-by-lock", Severity::kBlocks},
    {ProblemCode::kExclusive, "exclusive", Severity::kBlocks},
    {ProblemCode::kUucpLock, "uucp-lock", Severity::kBlocks},
    {ProblemCode::kHardwareFlow, "hardware-flow", Severity::kMayHold},
    {ProblemCode::kHeldNow, "held-now", Severity::kMayHold},
    {ProblemCode::kSoftwareFlow, "software-flow", Severity::kNote},
    {ProblemCode::kWriteTimeouts, "write-timeouts", Severity::kNote},
    {ProblemCode::kHupcl, "hupcl", Severity::kNote},
    {ProblemCode::kModemManager, "modemmanager", Severity::kNote},
    {ProblemCode::kOpenByOther, "open-by-other", Severity::kNote},
    {ProblemCode::kUucpLockStale, "uucp-lock-stale", Severity::kNote},
    {ProblemCode::kLockFolder, "lock-folder", Severity::kNote},
    {ProblemCode::kDriverVersion, "driver-version", Severity::kNote},
    {ProblemCode::kByIdNotUnique, "by-id-not-unique", Severity::kNote},
    {ProblemCode::kUnstableName, "unstable-name", Severity::kNote},
    {ProblemCode::kBadName, "bad-name", Severity::kBlocks},
    {ProblemCode::kNameNotFound, "name-not-found", Severity::kBlocks},
    {ProblemCode::kNothingListening, "nothing-listening", Severity::kBlocks},
    {ProblemCode::kNoAnswer, "no-answer", Severity::kBlocks},
    {ProblemCode::kUnreachable, "unreachable", Severity::kBlocks},
    {ProblemCode::kNoRfc2217, "no-rfc2217", Severity::kBlocks},
    {ProblemCode::kQueryUnanswered, "query-unanswered", Severity::kBlocks},
    {ProblemCode::kFarDeviceFails, "far-device-fails", Severity::kBlocks},
    {ProblemCode::kFarPort, "far-port", Severity::kNote},
};

constexpr bool InCodeOrder() {
  for (int i = 0; i < static_cast<int>(sizeof kProblemKinds / sizeof kProblemKinds[0]); ++i) {
    if (static_cast<int>(kProblemKinds[i].code) != i) return false;
  }
  return static_cast<int>(ProblemCode::kFarPort) + 1 ==
         static_cast<int>(sizeof kProblemKinds / sizeof kProblemKinds[0]);
}
static_assert(InCodeOrder(), "kProblemKinds lists every ProblemCode, in order");

const ProblemKind& KindOf(ProblemCode code) { return kProblemKinds[static_cast<int>(code)]; }

}  // namespace

const char* ProblemName(ProblemCode code) { return KindOf(code).name; }

Severity SeverityOf(ProblemCode code) { return KindOf(code).severity; }
