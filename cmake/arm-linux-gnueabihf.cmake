# 32-bit arm Linux with hardware floating point (armhf): Raspberry Pi OS 32-bit.
set(KAVNORI_CROSS_TRIPLET arm-linux-gnueabihf)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(KAVNORI_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
