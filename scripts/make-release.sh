#!/usr/bin/env bash
# Builds the .deb and the .zip from two finished builds and puts them in one
# folder beside a SHA256SUMS file, which `sha256sum -c SHA256SUMS` checks.
#   scripts/make-release.sh BUILD_NATIVE BUILD_WINDOWS OUTPUT_DIR
set -euo pipefail
if [ "$#" -ne 3 ]; then
  echo "usage: $0 BUILD_NATIVE BUILD_WINDOWS OUTPUT_DIR" >&2
  exit 2
fi
native=$1 windows=$2 out=$3
mkdir -p "${out}"
cpack -G DEB --config "${native}/CPackConfig.cmake" -B "${out}/.cpack-deb" >/dev/null
cpack -G ZIP --config "${windows}/CPackConfig.cmake" -B "${out}/.cpack-zip" >/dev/null
mv "${out}"/.cpack-deb/*.deb "${out}"/.cpack-zip/*.zip "${out}/"
rm -rf "${out}/.cpack-deb" "${out}/.cpack-zip"
(cd "${out}" && sha256sum -- *.deb *.zip >SHA256SUMS)
ls "${out}"
