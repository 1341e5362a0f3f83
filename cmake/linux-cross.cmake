# Shared by the Linux cross toolchain files, which set KAVNORI_CROSS_TRIPLET:
# Debian's cross compiler for that triplet, the target's libraries from its
# own folder, and qemu-user as the test runner, finding the target's C library
# in that same folder. qemu is needed only to run the tests, not to build.
set(CMAKE_SYSTEM_NAME Linux)
# The triplet's first word names the processor, as qemu-user's programs do.
string(REGEX MATCH "^[^-]+" CMAKE_SYSTEM_PROCESSOR ${KAVNORI_CROSS_TRIPLET})
set(CMAKE_C_COMPILER ${KAVNORI_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${KAVNORI_CROSS_TRIPLET}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${KAVNORI_CROSS_TRIPLET})
include(${CMAKE_CURRENT_LIST_DIR}/target-root.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${CMAKE_SYSTEM_PROCESSOR} -L /usr/${KAVNORI_CROSS_TRIPLET})
