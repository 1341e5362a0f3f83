#include "serial/folder_entries_linux.h"

#include <dirent.h>
#include <unistd.h>

#include "serial/kernel_calls_linux.h"

int VisitEntries(int folder, bool (*visit)(int folder, const char* name, void* context),
                 void* context) {
  alignas(struct dirent64) char entries[2048];
  ssize_t length;
  while ((length = KernelGetDents64(folder, entries, sizeof entries)) > 0) {
    for (ssize_t at = 0; at < length;) {
      const struct dirent64* entry = reinterpret_cast<const struct dirent64*>(entries + at);
      at += entry->d_reclen;
      if (entry->d_name[0] != '.' && visit(folder, entry->d_name, context)) return 1;
    }
  }
  return length < 0 ? -1 : 0;
}
