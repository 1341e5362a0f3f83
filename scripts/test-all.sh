#!/usr/bin/env bash
# Installs what is missing (Debian or Ubuntu), builds the Linux target, the
# Windows one twice (mingw-w64, and MSVC mode with clang-cl) and the Linux one
# for arm64 and armhf, and runs every test: the Windows ones under Wine, the
# arm ones under qemu-user. The Windows ones are also configured and built as
# a Windows machine builds them, where they are not run.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/install-deps.sh
# pdudaemon's and ser2net's packages start their services, listening on every
# address, where systemd runs; the lab tools and network tests run daemons of
# their own on the loopback address only. Masked before the install, a service
# is neither started nor enabled.
for service in pdudaemon ser2net; do
  if [ -d /run/systemd/system ] && ! dpkg-query -W "${service}" >/dev/null 2>&1; then
    if [ "$(id -u)" -eq 0 ]; then systemctl mask "${service}.service"; else sudo systemctl mask "${service}.service"; fi
  fi
done
kavnori_install_missing cmake make g++ googletest libgtest-dev libgmock-dev mingw-w64 wine64 \
  lld llvm libwine-dev lintian \
  util-linux dpkg-dev man-db valgrind clang libclang-rt-dev clang-format \
  python3 python3-labgrid pdudaemon python3-pytest iproute2 ser2net \
  g++-aarch64-linux-gnu g++-arm-linux-gnueabihf qemu-user devscripts qemu-system-x86 busybox-static

echo "== format: every C and C++ source as .clang-format has it"
git ls-files '*.cpp' '*.h' '*.c' | xargs clang-format --dry-run -Werror

echo "== workflow: the Windows CI definition is a valid GitHub Actions workflow"
command -v npx >/dev/null || kavnori_install_missing nodejs npm
npx --yes @action-validator/cli@0.6.0 .github/workflows/windows.yml

jobs=$(nproc)
for preset in native windows-cross-mingw windows-cross-clang-cl linux-cross-arm64 linux-cross-armhf; do
  echo "== ${preset}: configure, build, test"
  cmake --preset "${preset}"
  cmake --build --preset "${preset}" -j "${jobs}"
  ctest --preset "${preset}" -j "${jobs}"
done

# As a Windows machine builds it (Visual Studio, MSYS2): a native build, with
# no Wine and no board simulator. MSYS2's GoogleTest package holds DLLs, and
# its CMake files name them; one built here the same way stands in for it.
echo "== windows-host-mingw, windows-host-clang-cl: configure and build as on Windows; not run"
gtest_dlls="${PWD}/build/googletest-mingw-dll"
cmake -S /usr/src/googletest -B "${gtest_dlls}/build" --toolchain "${PWD}/cmake/mingw-w64-x86_64.cmake" \
  -DBUILD_SHARED_LIBS=ON -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="${gtest_dlls}" >/dev/null
cmake --build "${gtest_dlls}/build" -j "${jobs}"
cmake --install "${gtest_dlls}/build" >/dev/null
for preset in windows-host-mingw windows-host-clang-cl; do
  cmake --preset "${preset}"
  cmake --build --preset "${preset}" -j "${jobs}"
done
# One C++ runtime in each program: the shipped ones carry it inside, a test
# program that loads GoogleTest's DLL uses the runtime DLL as that does.
imports() { x86_64-w64-mingw32-objdump -p "build/windows-host-mingw/$1" | sed -n 's/.*DLL Name: //p' | tr '\n' ' '; }
for program in Kavnori.exe doctor/kavnori-doctor.exe tests/kavnori_tests.exe; do
  dlls=$(imports "${program}")
  gtest=no runtime=no
  [[ "${dlls}" != *libgtest.dll* ]] || gtest=yes
  [[ "${dlls}" != *libstdc++-6.dll* ]] || runtime=yes
  if [ "${gtest}" != "${runtime}" ]; then
    echo "${program}: libgtest.dll and libstdc++-6.dll go together or not at all; it imports ${dlls}" >&2
    exit 1
  fi
done

echo "== sanitize: ASan and UBSan over the native suite"
cmake --preset sanitize
cmake --build --preset sanitize -j "${jobs}"
ctest --preset sanitize -j "${jobs}"

echo "== fuzz: the argument path and the network replies under libFuzzer (clang), side by side"
cmake --preset fuzz
cmake --build --preset fuzz -j "${jobs}"
ctest --preset fuzz -j "${jobs}" -R '^fuzz_'

echo "== packages: the release (3 .debs, 3 static tarballs, the .zip) built, unpacked and run; both Windows exes' resources"
bash tests/package/check-packages.sh build/windows-cross-clang-cl/Kavnori.exe

echo "== lab tools: labgrid and pdudaemon switch the virtual board through Kavnori"
bash tests/lab-tools/run-lab-tools.sh build/native/Kavnori build/native/sim/relay-board-sim \
  build/native/switch/kavnori-switch

echo "== QEMU rack: Debian's kernel, its 8250 and ftdi_sio drivers, the static Kavnori, doctor and switch inside"
bash tests/rack/run-rack.sh build/native/kavnori-static build/native/kavnori-doctor-static \
  build/native/sim/relay-board-sim build/native/kavnori-switch-static
