#include <windows.h>

#include "app/relay_command.h"
#include "app/run.h"
#include "serial/fixed_text.h"
#include "switch/final_frame.h"
#include "switch/process_calls_win32.h"
#include "switch/release.h"
#include "switch/run_guard.h"

namespace {

constexpr char kArmed = 'A';
constexpr char kGo = 'G';
constexpr char kReleaseOf[] = "--release-of";
constexpr int kKilledStatus = kExitWrite;  // the release was killed: the frame may not be out
constexpr DWORD kPipeBytes = 65536;
// --release-of DONE ATTEMPT_READ OUTPUT PORT ADDRESS RELAY POWER HOLD_MS
// LIMIT_MS GENERATION_1 ... GENERATION_16
constexpr int kPlanArguments = 2 + 3 + 4 + 2 + kStateRelays;
constexpr int kPortArgument = 5;
constexpr int kHoldArgument = 9;

struct Message {
  char kind;
  std::int64_t value;
};

HANDLE AsHandle(std::intptr_t value) { return reinterpret_cast<HANDLE>(value); }
int AsInt(HANDLE handle) { return static_cast<int>(reinterpret_cast<std::intptr_t>(handle)); }

bool Send(int to, char kind, std::int64_t value = MonotonicNs()) {
  const Message message = {kind, value};
  DWORD written = 0;
  return WriteFile(AsHandle(to), &message, sizeof message, &written, nullptr) &&
         written == sizeof message;
}

// Waits up to timeoutMs (-1: without end) for a message: false at the end
// of the stream (the caller gone) or the time.
bool Receive(HANDLE from, std::int64_t timeoutMs, Message* message) {
  const std::int64_t until = MonotonicMs() + timeoutMs;
  for (DWORD ready = 0; timeoutMs >= 0 && ready < sizeof *message; Sleep(1)) {
    if (!PeekNamedPipe(from, nullptr, 0, nullptr, &ready, nullptr)) return false;
    if (ready < sizeof *message && MonotonicMs() >= until) return false;
  }
  DWORD got = 0;
  return ReadFile(from, message, sizeof *message, &got, nullptr) && got == sizeof *message;
}

std::int64_t Number(const char* text) {
  std::int64_t value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) value = value * 10 + (*text - '0');
  return value;
}

std::size_t AppendArgument(char* line, std::size_t capacity, std::size_t length,
                           std::uint64_t value) {
  length = Append(line, capacity, length, " ");
  return AppendNumber(line, capacity, length, value, 1);
}

// The release's own command line: the plan, and the handles it inherits.
bool PlanLine(const ReleasePlan& plan, const HANDLE* handles, wchar_t* wide, int capacity) {
  char line[1024];
  std::size_t length = Append(line, sizeof line, 0, "kavnori-switch ");
  length = Append(line, sizeof line, length, kReleaseOf);
  for (int i = 0; i < 3; ++i) {
    length = AppendArgument(line, sizeof line, length, static_cast<unsigned>(AsInt(handles[i])));
  }
  length = Append(line, sizeof line, length, " \"");
  length = Append(line, sizeof line, length, plan.port);
  length = Append(line, sizeof line, length, "\"");
  const RelayCommand& command = plan.finalCommand;
  const std::uint64_t values[] = {command.address, static_cast<std::uint64_t>(command.relayNumber),
                                  static_cast<std::uint64_t>(command.powerState),
                                  static_cast<std::uint64_t>(plan.holdMs),
                                  static_cast<std::uint64_t>(plan.timeLimitMs)};
  for (const std::uint64_t value : values)
    length = AppendArgument(line, sizeof line, length, value);
  for (int number = 1; number <= kStateRelays; ++number) {
    length = AppendArgument(line, sizeof line, length, plan.generations[number]);
  }
  if (length >= sizeof line - 1) return false;
  return MultiByteToWideChar(CP_ACP, 0, line, -1, wide, capacity) != 0;
}

// Started detached (no console: no Ctrl+C or close of the caller's reaches
// it), in a process group of its own, out of the caller's job where the job
// allows: a job that kills its processes when closed would take it along.
bool Spawn(const ReleasePlan& plan, HANDLE* inherited, int count, const HANDLE* standard) {
  wchar_t program[MAX_PATH];
  const DWORD named = GetModuleFileNameW(nullptr, program, MAX_PATH);
  wchar_t line[1200];
  if (named == 0 || named >= MAX_PATH || !PlanLine(plan, inherited, line, 1200)) return false;
  SIZE_T size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  alignas(8) unsigned char attributes[256];
  auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributes);
  if (size > sizeof attributes || !InitializeProcThreadAttributeList(list, 1, 0, &size))
    return false;
  UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                            static_cast<SIZE_T>(count) * sizeof(HANDLE), nullptr, nullptr);
  STARTUPINFOEXW start = {};
  start.StartupInfo.cb = sizeof start;
  start.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  start.StartupInfo.hStdInput = standard[0];
  start.StartupInfo.hStdOutput = standard[1];
  start.StartupInfo.hStdError = standard[2];
  start.lpAttributeList = list;
  PROCESS_INFORMATION process = {};
  DWORD flags = DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP | EXTENDED_STARTUPINFO_PRESENT |
                CREATE_UNICODE_ENVIRONMENT;
  // In the system's folder, which no one removes: not the caller's.
  wchar_t folder[MAX_PATH];
  const UINT folderLength = GetSystemDirectoryW(folder, MAX_PATH);
  const wchar_t* where = folderLength > 0 && folderLength < MAX_PATH ? folder : nullptr;
  BOOL started = switchProcessCalls.createProcess(program, line, nullptr, nullptr, TRUE,
                                                  flags | CREATE_BREAKAWAY_FROM_JOB, nullptr, where,
                                                  &start.StartupInfo, &process);
  if (!started && GetLastError() == ERROR_ACCESS_DENIED) {
    SayAboutPort(plan.port, "the release of the final frame stays in the caller's job: ",
                 "a job that ends its processes when closed takes it along");
    started = switchProcessCalls.createProcess(program, line, nullptr, nullptr, TRUE, flags,
                                               nullptr, where, &start.StartupInfo, &process);
  }
  DeleteProcThreadAttributeList(list);
  if (!started) return false;
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return true;
}

bool MakePipe(HANDLE* read, HANDLE* write) {
  SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
  return CreatePipe(read, write, &inheritable, kPipeBytes) != FALSE;
}

// The caller's ends are not inherited by anyone.
void KeepOwn(HANDLE handle) { SetHandleInformation(handle, HANDLE_FLAG_INHERIT, 0); }

}  // namespace

bool StartRelease(const ReleasePlan& plan, Release* release) {
  // Pipes: control (caller to release, its standard input), attempt (its
  // standard output, which it reads itself), output and errors (to the
  // caller), done (its status).
  HANDLE control[2], attempt[2], output[2], errors[2], done[2];
  if (!MakePipe(&control[0], &control[1]) || !MakePipe(&attempt[0], &attempt[1]) ||
      !MakePipe(&output[0], &output[1]) || !MakePipe(&errors[0], &errors[1]) ||
      !MakePipe(&done[0], &done[1])) {
    return false;
  }
  const HANDLE own[] = {control[1], output[0], errors[0], done[0]};
  for (HANDLE mine : own) KeepOwn(mine);
  HANDLE inherited[] = {done[1], attempt[0], output[1], control[0], attempt[1], errors[1]};
  const HANDLE standard[] = {control[0], attempt[1], errors[1]};
  const bool started = Spawn(plan, inherited, 6, standard);
  for (HANDLE theirs : inherited) CloseHandle(theirs);
  release->control = AsInt(control[1]);
  release->output = AsInt(output[0]);
  release->errors = AsInt(errors[0]);
  release->done = AsInt(done[0]);
  if (started) return true;
  LeaveRelease(release);
  return false;
}

// Both messages carry the moment they were sent on the clock both share.
void ArmRelease(Release* release) {
  release->told = true;
  Send(release->control, kArmed);
}

void GoRelease(Release* release) {
  release->told = true;
  Send(release->control, kGo);
}

void PassOnLines(const AttemptLines& lines, bool keep) {
  char bytes[512];
  DWORD ready = 0;
  DWORD got = 0;
  while (PeekNamedPipe(AsHandle(lines.attemptLines), nullptr, 0, nullptr, &ready, nullptr) &&
         ready > 0 &&
         ReadFile(AsHandle(lines.attemptLines), bytes,
                  ready < sizeof bytes ? ready : static_cast<DWORD>(sizeof bytes), &got, nullptr)) {
    DWORD written = 0;
    if (keep) WriteFile(AsHandle(lines.callerLines), bytes, got, &written, nullptr);
  }
}

void LetGoOfPort(const SerialPort& port) {
  if (port.handle != -1 && !port.network) CloseHandle(AsHandle(port.handle));
}

// Copies the release's lines once it is done (they fit its pipes).
int AwaitRelease(Release* release) {
  Message message = {};
  DWORD got = 0;
  const bool done = ReadFile(AsHandle(release->done), &message, sizeof message, &got, nullptr) &&
                    got == sizeof message;
  const int into[] = {release->output, release->errors};
  const DWORD stdHandles[] = {STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
  for (int i = 0; i < 2; ++i) {
    char bytes[512];
    while (ReadFile(AsHandle(into[i]), bytes, sizeof bytes, &got, nullptr) && got > 0) {
      DWORD written = 0;
      WriteFile(GetStdHandle(stdHandles[i]), bytes, got, &written, nullptr);
    }
  }
  if (!done) {
    static constexpr char kKilled[] = "kavnori-switch: the release ended before its final frame\n";
    WriteError(kKilled, sizeof kKilled - 1);
  }
  LeaveRelease(release);
  return done ? static_cast<int>(message.value) : kKilledStatus;
}

void LeaveRelease(Release* release) {
  int* const handles[] = {&release->control, &release->output, &release->errors, &release->done};
  for (int* handle : handles) {
    if (*handle != -1) CloseHandle(AsHandle(*handle));
    *handle = -1;
  }
}

bool RunAsRelease(int argc, const char* const* argv, int* status) {
  if (argc != kPlanArguments || !SameText(argv[1], kReleaseOf)) return false;
  ReleasePlan plan = {};
  plan.port = argv[kPortArgument];
  if (ParseRelayArguments(5, argv + kPortArgument - 1, &plan.finalCommand) != kExitSuccess) {
    *status = kExitUsage;
    return true;
  }
  NamePortTurn(plan.port, &plan.turn);
  plan.holdMs = Number(argv[kHoldArgument]);
  plan.timeLimitMs = static_cast<int>(Number(argv[kHoldArgument + 1]));
  for (int number = 1; number <= kStateRelays; ++number) {
    plan.generations[number] = static_cast<std::uint32_t>(Number(argv[kHoldArgument + 1 + number]));
  }
  const HANDLE control = GetStdHandle(STD_INPUT_HANDLE);
  Message message;
  *status = 0;
  if (!Receive(control, -1, &message)) return true;  // no frame may have gone out
  std::int64_t dueNs = message.value + plan.holdMs * 1000000;
  // Armed, the go may still come with the write's own time.
  while (message.kind == kArmed) {
    const std::int64_t leftMs = (dueNs - MonotonicNs()) / 1000000;
    if (leftMs <= 0 || !Receive(control, leftMs, &message)) break;
    if (message.kind == kGo) dueNs = message.value + plan.holdMs * 1000000;
  }
  const AttemptLines lines = {static_cast<std::intptr_t>(Number(argv[3])),
                              static_cast<std::intptr_t>(Number(argv[4]))};
  *status = SendFinalFrame(plan, dueNs, lines);
  Send(static_cast<int>(Number(argv[2])), 'D', *status);
  return true;
}
