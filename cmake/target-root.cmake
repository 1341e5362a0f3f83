# Shared by the cross toolchain files, which set CMAKE_FIND_ROOT_PATH to the
# target's own folder first: libraries, headers and packages come from there
# only, never the host's (GoogleTest among them); programs (compilers,
# emulators, Wine) from the host.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
