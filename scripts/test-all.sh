#!/usr/bin/env bash
# Installs what is missing (Debian or Ubuntu), builds the Linux target, the
# Windows one twice (mingw-w64, and MSVC mode with clang-cl) and the Linux one
# for arm64 and armhf, and runs every test: the Windows ones under Wine, the
# arm ones under qemu-user.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/install-deps.sh
# pdudaemon's package starts its service, listening on every address, where
# systemd runs; the test rack runs a daemon of its own on the loopback address
# only. Masked before the install, the service is neither started nor enabled.
if [ -d /run/systemd/system ] && ! dpkg-query -W pdudaemon >/dev/null 2>&1; then
  if [ "$(id -u)" -eq 0 ]; then systemctl mask pdudaemon.service; else sudo systemctl mask pdudaemon.service; fi
fi
kavnori_install_missing cmake make g++ googletest libgtest-dev libgmock-dev mingw-w64 wine64 \
  lld llvm libwine-dev lintian \
  util-linux dpkg-dev man-db valgrind clang libclang-rt-dev clang-format \
  python3 python3-labgrid pdudaemon python3-pytest iproute2 \
  g++-aarch64-linux-gnu g++-arm-linux-gnueabihf qemu-user devscripts

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

echo "== sanitize: ASan and UBSan over the native suite"
cmake --preset sanitize
cmake --build --preset sanitize -j "${jobs}"
ctest --preset sanitize -j "${jobs}"

echo "== fuzz: the argument path under libFuzzer (clang)"
cmake --preset fuzz
cmake --build --preset fuzz -j "${jobs}"
ctest --preset fuzz -j "${jobs}" -R '^fuzz_'

echo "== packages: the release (3 .debs, 3 static tarballs, the .zip) built, unpacked and run; both Windows exes' resources"
bash tests/package/check-packages.sh build/windows-cross-clang-cl/Kavnori.exe

echo "== test rack: labgrid and pdudaemon switch the virtual board through Kavnori"
bash tests/integration/run-test-rack.sh build/native/Kavnori build/native/sim/relay-board-sim
