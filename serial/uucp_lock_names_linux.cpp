#include "serial/uucp_lock_names_linux.h"

#include <sys/sysmacros.h>

#include "serial/fixed_text.h"

namespace {

constexpr char kDevPrefix[] = "/dev/";

void AddName(LockNames* names, const char* prefix, const char* name, bool flatten) {
  if (name[0] == '\0' || names->count == kMostLockNames) return;
  char* slot = names->names[names->count];
  if (Append(slot, kLockNameCapacity, Append(slot, kLockNameCapacity, 0, prefix), name, flatten) >=
      kLockNameCapacity) {
    return;
  }
  for (std::size_t i = 0; i < names->count; ++i) {
    if (SameText(names->names[i], slot)) return;
  }
  ++names->count;
}

}  // namespace

void AddNamesOf(LockNames* names, const char* path) {
  if (StartsWith(path, kDevPrefix)) AddName(names, "LCK..", path + sizeof kDevPrefix - 1, true);
  AddName(names, "LCK..", BaseName(path), false);
}

void AddSvr4Name(LockNames* names, const struct stat& device) {
  if (names->count == kMostLockNames) return;
  char* slot = names->names[names->count];
  std::size_t length = Append(slot, kLockNameCapacity, 0, "LK.");
  length = AppendNumber(slot, kLockNameCapacity, length, major(device.st_dev), 3);
  length = Append(slot, kLockNameCapacity, length, ".");
  length = AppendNumber(slot, kLockNameCapacity, length, major(device.st_rdev), 3);
  length = Append(slot, kLockNameCapacity, length, ".");
  if (AppendNumber(slot, kLockNameCapacity, length, minor(device.st_rdev), 3) < kLockNameCapacity) {
    ++names->count;
  }
}
