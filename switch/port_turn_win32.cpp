#include <windows.h>
// After windows.h, whose types it uses.
#include <sddl.h>

#include "serial/fixed_text.h"
#include "serial/rfc2217_client.h"
#include "switch/port_turn.h"
#include "switch/run_guard.h"

namespace {

constexpr char kMutexPrefix[] = "Global\\kavnori-";
// Every user may wait for and release the mutex; the system and
// administrators may do anything with it.
constexpr wchar_t kMutexAccess[] = L"D:(A;;0x00100001;;;WD)(A;;GA;;;SY)(A;;GA;;;BA)";

// The mutex of one lock: made by the first run with access for every user,
// opened by the others. Names are ASCII.
HANDLE OpenTurnMutex(const char* name) {
  wchar_t wide[kTurnNameCapacity + sizeof kMutexPrefix];
  std::size_t i = 0;
  for (const char* at = kMutexPrefix; *at != '\0'; ++at) wide[i++] = static_cast<wchar_t>(*at);
  for (; *name != '\0' && i + 1 < sizeof wide / sizeof wide[0]; ++name) {
    wide[i++] = static_cast<wchar_t>(*name);
  }
  wide[i] = L'\0';
  SECURITY_ATTRIBUTES security = {sizeof security, nullptr, FALSE};
  ConvertStringSecurityDescriptorToSecurityDescriptorW(kMutexAccess, SDDL_REVISION_1,
                                                       &security.lpSecurityDescriptor, nullptr);
  HANDLE mutex = CreateMutexExW(&security, wide, 0, SYNCHRONIZE | MUTEX_MODIFY_STATE);
  LocalFree(security.lpSecurityDescriptor);
  return mutex;
}

// One lock of the turn, waiting up to waitMs; held: the mutex, owned.
TurnResult TakeLock(const char* name, std::int64_t waitMs, int* held) {
  HANDLE mutex = OpenTurnMutex(name);
  if (mutex == nullptr) return TurnResult::kUnusable;
  const DWORD waited = WaitForSingleObject(mutex, waitMs > 0 ? static_cast<DWORD>(waitMs) : 0);
  // Abandoned: a run that ended without giving its turn back; ours now.
  if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
    *held = static_cast<int>(reinterpret_cast<std::intptr_t>(mutex));
    return TurnResult::kTaken;
  }
  CloseHandle(mutex);
  return waited == WAIT_TIMEOUT ? TurnResult::kBusy : TurnResult::kUnusable;
}

}  // namespace

// A local name always has its lock: whether it leads to a port is the
// open's to tell. The device's name without "\\.\" and in upper case, every character
// but a letter, digit, dot or dash as '_': COM12 whatever way it was written.
void NameLocalTurn(const char* portName, PortTurn* turn) {
  if (StartsWith(portName, "\\\\.\\") || StartsWith(portName, "\\\\?\\")) portName += 4;
  char* name = turn->names[0];
  std::size_t i = 0;
  for (; portName[i] != '\0' && i + 1 < kTurnNameCapacity; ++i) {
    char c = portName[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    const bool kept = (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-';
    name[i] = kept ? c : '_';
  }
  name[i] = '\0';
  turn->count = 1;
}

TurnResult TakePortTurn(PortTurn* turn, int waitMs) {
  const std::int64_t until = MonotonicMs() + waitMs;
  TurnResult result = TurnResult::kTaken;
  int i = 0;
  while (i < turn->count && result == TurnResult::kTaken) {
    result = TakeLock(turn->names[i], until - MonotonicMs(), &turn->folders[i]);
    ++i;
  }
  if (result == TurnResult::kTaken) return result;
  turn->failed = i - 1;
  GivePortTurn(turn);
  return result;
}

void GivePortTurn(PortTurn* turn) {
  for (int i = 0; i < kMostTurnLocks; ++i) {
    if (turn->folders[i] == -1) continue;
    HANDLE mutex = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(turn->folders[i]));
    ReleaseMutex(mutex);
    CloseHandle(mutex);
    turn->folders[i] = -1;
  }
}

// The mutex's name, where Linux has its lock folder's path.
void LockFolderPath(const PortTurn& turn, int i, char* path, std::size_t capacity) {
  Append(path, capacity, Append(path, capacity, 0, kMutexPrefix), turn.names[i]);
}
