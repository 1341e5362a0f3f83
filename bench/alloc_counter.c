/* An LD_PRELOAD library that counts the calls to the malloc family of one
 * process, by phase (before main, in main, after main returns) and by the
 * object that made the call (the program itself, libc, the loader).
 * Writes its counts to the file named by ALLOC_COUNTER_OUT at exit.
 *
 * The calls go on to glibc's own __libc_* functions, so counting needs no
 * dlsym and cannot recurse. Only the program's caller addresses are kept
 * during the run; they are named (dladdr) at the end. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

extern void* __libc_malloc(size_t size);
extern void* __libc_calloc(size_t count, size_t size);
extern void* __libc_realloc(void* old, size_t size);
extern void* __libc_memalign(size_t alignment, size_t size);

enum { kBeforeMain, kInMain, kAfterMain, kPhases };
static const char* const kPhaseNames[kPhases] = {"before_main", "in_main", "after_main"};

#define kMaxCalls 4096
static struct {
  void* caller;
  int phase;
  size_t size;
} calls[kMaxCalls];
static size_t callCount;
static int phase = kBeforeMain;

static void Note(void* caller, size_t size) {
  if (callCount < kMaxCalls) {
    calls[callCount].caller = caller;
    calls[callCount].phase = phase;
    calls[callCount].size = size;
  }
  ++callCount;
}

void* malloc(size_t size) {
  Note(__builtin_return_address(0), size);
  return __libc_malloc(size);
}
void* calloc(size_t count, size_t size) {
  Note(__builtin_return_address(0), count * size);
  return __libc_calloc(count, size);
}
void* realloc(void* old, size_t size) {
  Note(__builtin_return_address(0), size);
  return __libc_realloc(old, size);
}
void* memalign(size_t alignment, size_t size) {
  Note(__builtin_return_address(0), size);
  return __libc_memalign(alignment, size);
}
void* aligned_alloc(size_t alignment, size_t size) {
  Note(__builtin_return_address(0), size);
  return __libc_memalign(alignment, size);
}
int posix_memalign(void** result, size_t alignment, size_t size) {
  Note(__builtin_return_address(0), size);
  void* block = __libc_memalign(alignment, size);
  if (block == NULL) return ENOMEM;
  *result = block;
  return 0;
}

/* main runs inside this wrapper, so the phase switches exactly around it. */
typedef int (*MainFunction)(int, char**, char**);
static MainFunction realMain;

static int CountedMain(int argc, char** argv, char** envp) {
  phase = kInMain;
  const int status = realMain(argc, argv, envp);
  phase = kAfterMain;
  return status;
}

int __libc_start_main(MainFunction main, int argc, char** argv, void (*init)(void),
                      void (*fini)(void), void (*rtldFini)(void), void* stackEnd) {
  typedef int (*StartMain)(MainFunction, int, char**, void (*)(void), void (*)(void),
                           void (*)(void), void*);
  StartMain realStart = (StartMain)dlsym(RTLD_NEXT, "__libc_start_main");
  realMain = main;
  return realStart(CountedMain, argc, argv, init, fini, rtldFini, stackEnd);
}

/* One line per phase and calling object: PHASE OBJECT CALLS BYTES. */
__attribute__((destructor)) static void Report(void) {
  const char* path = getenv("ALLOC_COUNTER_OUT");
  if (path == NULL) return;
  const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return;
  const size_t kept = callCount < kMaxCalls ? callCount : kMaxCalls;
  static int done[kMaxCalls];
  for (size_t i = 0; i < kept; ++i) {
    if (done[i]) continue;
    Dl_info info;
    const char* object = "unknown";
    if (dladdr(calls[i].caller, &info) != 0 && info.dli_fname != NULL) object = info.dli_fname;
    size_t count = 0, bytes = 0;
    for (size_t j = i; j < kept; ++j) {
      Dl_info other;
      const char* otherObject = "unknown";
      if (done[j] || calls[j].phase != calls[i].phase) continue;
      if (dladdr(calls[j].caller, &other) != 0 && other.dli_fname != NULL)
        otherObject = other.dli_fname;
      if (strcmp(otherObject, object) != 0) continue;
      done[j] = 1;
      ++count;
      bytes += calls[j].size;
    }
    char line[512];
    const int length = snprintf(line, sizeof line, "%s %s %zu %zu\n", kPhaseNames[calls[i].phase],
                                object, count, bytes);
    if (length > 0) (void)!write(fd, line, (size_t)length);
  }
  if (callCount > kMaxCalls) (void)!write(fd, "overflow\n", 9);
  close(fd);
}
