// Program start for the MSVC-mode build on Debian. It stands in for the
// mainCRTStartup of the static C runtime (libcmt), which Debian does not
// have: the C library itself is Wine's ucrtbase.
//
// It runs the C and C++ initialisers that the compiler placed in the .CRT$XI
// and .CRT$XC sections (the linker sorts the sections by name, so the
// markers below bracket them), then main with the arguments that ucrtbase
// parsed, and ends through exit(), which flushes standard output.
#include <corecrt_startup.h>
#include <stdlib.h>

extern "C" {
_ACRTIMP void __cdecl _initterm(_PVFV* first, _PVFV* last);
_ACRTIMP int __cdecl _initterm_e(_PIFV* first, _PIFV* last);
int main(int argc, char** argv);
}

#pragma section(".CRT$XIA", long, read)
#pragma section(".CRT$XIZ", long, read)
#pragma section(".CRT$XCA", long, read)
#pragma section(".CRT$XCZ", long, read)
extern "C" __declspec(allocate(".CRT$XIA")) _PIFV __xi_a[] = {nullptr};
extern "C" __declspec(allocate(".CRT$XIZ")) _PIFV __xi_z[] = {nullptr};
extern "C" __declspec(allocate(".CRT$XCA")) _PVFV __xc_a[] = {nullptr};
extern "C" __declspec(allocate(".CRT$XCZ")) _PVFV __xc_z[] = {nullptr};

extern "C" int mainCRTStartup() {
  _set_app_type(_crt_console_app);
  if (_configure_narrow_argv(_crt_argv_unexpanded_arguments) != 0) exit(255);
  if (_initterm_e(__xi_a, __xi_z) != 0) exit(255);
  _initterm(__xc_a, __xc_z);
  exit(main(*__p___argc(), *__p___argv()));
}
