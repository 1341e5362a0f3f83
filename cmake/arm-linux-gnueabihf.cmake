# 32-bit arm Linux with hardware floating point (armhf): Raspberry Pi OS 32-bit.
set(KAVNORI_CROSS_TRIPLET arm-linux-gnueabihf)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
