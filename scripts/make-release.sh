#!/usr/bin/env bash
# Builds every release file from this tree, each with the preset that makes
# it, and puts them in OUTPUT_DIR beside a SHA256SUMS file, which
# `sha256sum -c SHA256SUMS` checks:
#   kavnori_VERSION_{amd64,arm64,armhf}.deb
#   kavnori-VERSION-linux-{x86_64,aarch64,armhf}.tar.gz   (programs linked statically)
#   Kavnori-VERSION-win64.zip
# A preset's build folder that is there already is brought up to date.
#   scripts/make-release.sh OUTPUT_DIR
set -euo pipefail
if [ "$#" -ne 1 ]; then
  echo "usage: $0 OUTPUT_DIR" >&2
  exit 2
fi
mkdir -p "$1"
out=$(cd "$1" && pwd)
cd "$(dirname "$0")/.."
log="${out}/.make-release.log"
: >"${log}"
# Runs a step with its output in the log; on failure shows the log's end.
step() {
  "$@" >>"${log}" 2>&1 || { tail -n 20 "${log}" >&2; echo "failed: $*" >&2; exit 1; }
}

made=()
for preset in native linux-cross-arm64 linux-cross-armhf windows-cross-mingw; do
  echo "== ${preset}"
  build="build/${preset}"
  step cmake --preset "${preset}"
  step cmake --build --preset "${preset}" -j "$(nproc)"
  generator=DEB
  [ "${preset}" = windows-cross-mingw ] && generator=ZIP
  rm -rf "${out}/.cpack"
  step cpack -G "${generator}" --config "${build}/CPackConfig.cmake" -B "${out}/.cpack"
  version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "${build}/CMakeCache.txt")
  for file in "${out}"/.cpack/*.deb "${out}"/.cpack/*.zip "${build}/kavnori-${version}"-linux-*.tar.gz; do
    [ -f "${file}" ] || continue
    cp "${file}" "${out}/"
    made+=("$(basename "${file}")")
  done
done
rm -rf "${out}/.cpack" "${log}"
(cd "${out}" && sha256sum -- "${made[@]}" >SHA256SUMS)
ls "${out}"
