// kavnori-doctor's problem codes: the names scripts match, each with the
// one severity it always has. The same table for both platforms.
#pragma once

enum class Severity {
  kBlocks,   // a Kavnori run on this port fails
  kMayHold,  // a run's write may wait without end: flow control holds it
  kNote,     // worth knowing; the run goes through
};

enum class ProblemCode {
  kNone,  // no problem: a listed port that has one
  kMissing,
  kNameTooLong,
  kLinkLoop,
  kPermission,
  kGroupNotActive,
  kProtectedSymlink,
  kDanglingLink,
  kNotATerminal,
  kNotASerialPort,
  kOpenFailed,
  kInUse,
  kDeviceError,
  kNoDriver,
  kBrltty,
  kUsbfsClaimed,
  kHeldByLock,
  kExclusive,
  kUucpLock,
  kHardwareFlow,
  kHeldNow,
  kSoftwareFlow,
  kWriteTimeouts,
  kHupcl,
  kModemManager,
  kOpenByOther,
  kUucpLockStale,
  kLockFolder,
  kDriverVersion,
  kByIdNotUnique,
  kUnstableName,
  // A network port (rfc2217://HOST:PORT).
  kBadName,
  kNameNotFound,
  kNothingListening,
  kNoAnswer,
  kUnreachable,
  kNoRfc2217,
  kQueryUnanswered,
  kFarDeviceFails,
  kFarPort,
};

// The code's name as the output prints it: "permission", "held-by-lock"; "" for kNone.
const char* ProblemName(ProblemCode code);
Severity SeverityOf(ProblemCode code);
