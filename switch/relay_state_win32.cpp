#include <windows.h>
// After windows.h, whose types it uses.
#include <sddl.h>

#include "serial/fixed_text.h"
#include "switch/relay_state.h"

namespace {

constexpr int kLockWaitMs = 20000;
// The boot's time, worked out from the clock and the time since the boot,
// moves by a clock's adjustment: a little more is still the same boot.
constexpr std::int64_t kSameBootMs = 5000;
// The folder's own access, not ProgramData's: every user may read and write
// the files in it, the system and administrators anything.
constexpr wchar_t kFolderAccess[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;WD)";

std::int64_t BootTimeMs() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  const std::uint64_t ticks =
      (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  return static_cast<std::int64_t>(ticks / 10000 - GetTickCount64());
}

// The boot's time is kept as decimal text.
bool SameBoot(const char* stored, std::int64_t bootMs) {
  std::int64_t then = 0;
  for (; *stored >= '0' && *stored <= '9'; ++stored) then = then * 10 + (*stored - '0');
  const std::int64_t apart = then > bootMs ? then - bootMs : bootMs - then;
  return apart <= kSameBootMs;
}

void MakeFolder(const char* path) {
  SECURITY_ATTRIBUTES security = {sizeof security, nullptr, FALSE};
  ConvertStringSecurityDescriptorToSecurityDescriptorW(kFolderAccess, SDDL_REVISION_1,
                                                       &security.lpSecurityDescriptor, nullptr);
  CreateDirectoryA(path, &security);
  LocalFree(security.lpSecurityDescriptor);
}

bool LockWithin(HANDLE file, int waitMs) {
  for (int waited = 0;; ++waited) {
    OVERLAPPED at = {};
    if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
      return true;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_LOCK_VIOLATION || waited >= waitMs) return false;
    Sleep(1);
  }
}

// Only a plain file with one name: not a device, link or folder someone
// put there, nor a hard link to a file of theirs elsewhere.
bool IsPlainFile(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION about;
  const DWORD odd = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;
  return GetFileType(file) == FILE_TYPE_DISK && GetFileInformationByHandle(file, &about) &&
         about.nNumberOfLinks == 1 && (about.dwFileAttributes & odd) == 0;
}

HANDLE Handle(const StateFile& file) {
  return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(file.fd));
}

// %ProgramData%\Kavnori, or nothing.
std::size_t AppendFolder(char* path, std::size_t capacity) {
  const DWORD length = GetEnvironmentVariableA("ProgramData", path, static_cast<DWORD>(capacity));
  if (length == 0 || length >= capacity) return 0;
  return Append(path, capacity, length, "\\Kavnori");
}

}  // namespace

std::size_t AppendStateFolder(char* path, std::size_t capacity) {
  return Append(path, capacity, AppendFolder(path, capacity), "\\state-");
}

bool OpenRelayStates(const char* lockName, std::uint8_t address, StateFile* file) {
  char path[400];
  if (AppendFolder(path, sizeof path) == 0) return false;
  MakeFolder(path);
  StatePath(lockName, address, path, sizeof path);
  // Never through a link someone put at the name.
  HANDLE opened =
      CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (opened == INVALID_HANDLE_VALUE) return false;
  file->fd = static_cast<int>(reinterpret_cast<std::intptr_t>(opened));
  if (!IsPlainFile(opened) || !LockWithin(opened, kLockWaitMs)) {
    CloseRelayStates(file);
    return false;
  }
  char bootMs[24] = {};
  AppendNumber(bootMs, sizeof bootMs, 0, static_cast<unsigned long long>(BootTimeMs()), 1);
  DWORD got = 0;
  const bool read = ReadFile(opened, &file->states, sizeof file->states, &got, nullptr) &&
                    got == sizeof file->states;
  AcceptRelayStates(file, read && SameBoot(file->states.bootId, BootTimeMs()), bootMs);
  return true;
}

void SaveRelayStates(StateFile* file) {
  if (file->fd == -1) return;
  OVERLAPPED at = {};  // offset 0
  DWORD written = 0;
  WriteFile(Handle(*file), &file->states, sizeof file->states, &written, &at);
  CloseRelayStates(file);  // a state not kept reads as unknown
}

void CloseRelayStates(StateFile* file) {
  if (file->fd != -1) CloseHandle(Handle(*file));  // the lock goes with the handle
  file->fd = -1;
}
