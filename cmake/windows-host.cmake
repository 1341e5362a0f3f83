# The project as a Windows machine configures it, on Debian: the
# windows-host-* presets pass this file as CMAKE_PROJECT_INCLUDE beside a
# Windows toolchain file. There the build is native, not a cross build: no
# Wine, no board simulator, GoogleTest from an installed package, as Visual
# Studio and MSYS2 have it. It is configured and built, never run.
set(CMAKE_CROSSCOMPILING OFF)
