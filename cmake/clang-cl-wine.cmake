# MSVC-mode build of Kavnori.exe on Debian: clang-cl, lld-link and llvm-rc
# (packages clang, lld, llvm) with the Windows SDK and C runtime headers and
# import libraries of Wine's development package (libwine-dev).
#
# It checks that the command compiles with the MSVC-style warnings and links
# with one manifest and the version resource, as Visual Studio would build
# it. Debian has no MSVC C++ standard library and no static C runtime, so
# msvc-wine/ stands in for the little of them the command uses; see there.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

# The installed LLVM, whichever version: clang-cl on PATH, or else in the
# newest /usr/lib/llvm-N/bin (Debian installs clang-cl there, and on PATH only
# under a versioned name); the other tools from the same LLVM where it has
# them. -DKAVNORI_CLANG_CL=... chooses another.
file(GLOB kavnori_llvm_dirs /usr/lib/llvm-*/bin)
list(SORT kavnori_llvm_dirs COMPARE NATURAL ORDER DESCENDING)
find_program(KAVNORI_CLANG_CL NAMES clang-cl PATHS ${kavnori_llvm_dirs} REQUIRED)
get_filename_component(kavnori_llvm_bin ${KAVNORI_CLANG_CL} REALPATH)
get_filename_component(kavnori_llvm_bin ${kavnori_llvm_bin} DIRECTORY)
foreach(tool lld-link llvm-lib llvm-rc llvm-mt)
  string(TOUPPER "KAVNORI_${tool}" variable)
  string(REPLACE "-" "_" variable ${variable})
  find_program(${variable} NAMES ${tool} HINTS ${kavnori_llvm_bin} PATHS ${kavnori_llvm_dirs}
               REQUIRED)
endforeach()
set(CMAKE_C_COMPILER ${KAVNORI_CLANG_CL})
set(CMAKE_CXX_COMPILER ${KAVNORI_CLANG_CL})
set(CMAKE_C_COMPILER_TARGET x86_64-pc-windows-msvc)
set(CMAKE_CXX_COMPILER_TARGET x86_64-pc-windows-msvc)
set(CMAKE_LINKER ${KAVNORI_LLD_LINK})
set(CMAKE_AR ${KAVNORI_LLVM_LIB})
set(CMAKE_RC_COMPILER ${KAVNORI_LLVM_RC})
set(CMAKE_MT ${KAVNORI_LLVM_MT})

set(kavnori_wine_include /usr/include/wine/wine)
set(kavnori_wine_lib /usr/lib/x86_64-linux-gnu/wine/x86_64-windows)
set(kavnori_adapter ${CMAKE_CURRENT_LIST_DIR}/msvc-wine)

# -imsvc: system headers, as the SDK's are to cl. WINE_UNICODE_NATIVE makes
# WCHAR the compiler's wchar_t, as in the SDK. Wine's winnt.h defines
# _InterlockedCompareExchange128 as an inline function, which clang-cl has as
# a built-in; the rename keeps the two apart (the command uses neither). /GS-:
# the stack cookie lives in the static C runtime, which Wine does not have.
set(kavnori_compile_flags
    "-imsvc ${kavnori_adapter}/include -imsvc ${kavnori_wine_include}/msvcrt -imsvc ${kavnori_wine_include}/windows -DWINE_UNICODE_NATIVE -D_InterlockedCompareExchange128=kavnori_InterlockedCompareExchange128 /GS-")
set(CMAKE_C_FLAGS_INIT "${kavnori_compile_flags}")
set(CMAKE_CXX_FLAGS_INIT "${kavnori_compile_flags}")

# The static C runtime (libcmt) that /MT asks for is not there: the C library
# comes from Wine's ucrtbase import library, and the program start from
# msvc-wine/crt_startup.cpp (CMakeLists.txt adds it to every program).
set(CMAKE_EXE_LINKER_FLAGS_INIT
    "/libpath:${kavnori_wine_lib} /entry:mainCRTStartup /subsystem:console /nodefaultlib:libcmt.lib /nodefaultlib:libcmtd.lib /nodefaultlib:oldnames.lib")
set(CMAKE_C_STANDARD_LIBRARIES "libucrtbase.a libkernel32.a")
set(CMAKE_CXX_STANDARD_LIBRARIES "libucrtbase.a libkernel32.a")
set(KAVNORI_WINE_CRT_STARTUP ${kavnori_adapter}/crt_startup.cpp)
set(KAVNORI_WINSOCK_LIBRARY ${kavnori_wine_lib}/libws2_32.a)
set(KAVNORI_ADVAPI_LIBRARY ${kavnori_wine_lib}/libadvapi32.a)

# The compiler checks build a library, not a program: a program needs the
# start-up code above, which the checks do not have.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

# Libraries and packages: Wine's Windows ones only.
set(CMAKE_FIND_ROOT_PATH ${kavnori_wine_lib})
include(${CMAKE_CURRENT_LIST_DIR}/target-root.cmake)

set(CMAKE_USER_MAKE_RULES_OVERRIDE_CXX ${kavnori_adapter}/link-rules.cmake)

# kavnori-doctor needs a C++ standard library, which Debian has not for this
# mode; Visual Studio builds it.
set(KAVNORI_DOCTOR OFF)
