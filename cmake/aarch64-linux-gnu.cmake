# 64-bit arm Linux: Raspberry Pi OS 64-bit, Ubuntu on arm64, Home Assistant OS.
set(KAVNORI_CROSS_TRIPLET aarch64-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
