#!/usr/bin/env bash
# Makes the .deb and the .zip from two finished builds, unpacks each as a
# user would, and checks what is inside and that the programs in it run.
# Any further Kavnori.exe given (an MSVC-mode build) gets the exe checks too.
#   tests/package/check-packages.sh BUILD_NATIVE BUILD_WINDOWS [KAVNORI_EXE...]
set -uo pipefail

if [ "$#" -lt 2 ] || [ ! -f "$1/CPackConfig.cmake" ] || [ ! -f "$2/CPackConfig.cmake" ]; then
  echo "usage: $0 BUILD_NATIVE BUILD_WINDOWS [KAVNORI_EXE...] (two configured and built CMake build folders)" >&2
  exit 2
fi
native=$(cd "$1" && pwd)
windows=$(cd "$2" && pwd)
shift 2
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
. "${source_dir}/scripts/virtual-board.sh"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "${native}/CMakeCache.txt")

scratch=$(mktemp -d)
sim_pid=""
cleanup() {
  [ -n "${sim_pid}" ] && kill "${sim_pid}" 2>/dev/null
  rm -rf "${scratch}"
}
trap cleanup EXIT

passed=0
failed=0
pass() { passed=$((passed + 1)); echo "ok   $1"; }
fail() { failed=$((failed + 1)); echo "FAIL $1"; [ -z "${2:-}" ] || echo "     $2"; }
# check NAME COMMAND...: one named check, passed when COMMAND succeeds.
check() {
  local name=$1
  shift
  if "$@"; then pass "${name}"; else fail "${name}"; fi
}

# Runs a program, keeping its status in $status, its standard output in
# $output and its standard error in $errors.
run() {
  output=$("$@" 2>"${scratch}/stderr")
  status=$?
  errors=$(cat "${scratch}/stderr")
}

# Exact status and standard output. Kavnori writes nothing to standard
# error; under Wine, Wine itself may, so that is checked on Linux only.
expect_run() {
  local name=$1 want_status=$2 want_output=$3 stderr_too=${4:-yes}
  if [ "${status}" -eq "${want_status}" ] && [ "${output}" == "${want_output}" ] &&
    { [ "${stderr_too}" == no ] || [ -z "${errors}" ]; }; then
    pass "${name}"
  else
    fail "${name}" "status ${status} (want ${want_status}), output: $(printf '%q' "${output}"), errors: ${errors}"
  fi
}

# build_package GENERATOR BUILD_DIR EXPECTED_FILE: runs cpack into the
# scratch folder; true when it worked and made the expected file.
build_package() {
  local generator=$1 build=$2 file=$3 out
  out="$(dirname "${file}")"
  if cpack -G "${generator}" --config "${build}/CPackConfig.cmake" -B "${out}" \
    >"${out}.log" 2>&1; then
    pass "cpack -G ${generator}"
  else
    fail "cpack -G ${generator}" "$(tail -n 5 "${out}.log")"
  fi
  if [ -f "${file}" ]; then
    pass "package file $(basename "${file}")"
  else
    fail "package file $(basename "${file}")" "$(ls "${out}" 2>&1)"
    return 1
  fi
}

# ---- Linux: the .deb ----
echo "== .deb from ${native}"
deb="${scratch}/deb/kavnori_${version}_amd64.deb"
if build_package DEB "${native}" "${deb}"; then
  check "dpkg-deb -I reads the package" dpkg-deb -I "${deb}" >/dev/null
  check "package name kavnori" test "$(dpkg-deb -f "${deb}" Package)" == kavnori
  check "package version ${version}" test "$(dpkg-deb -f "${deb}" Version)" == "${version}"
  check "maintainer with a contact address ($(dpkg-deb -f "${deb}" Maintainer))" \
    grep -qE '^[^<>]+ <[^@<> ]+@[^@<> ]+\.[a-z]+>$' <<<"$(dpkg-deb -f "${deb}" Maintainer)"
  lintian_errors=$(lintian --allow-root "${deb}" 2>&1 | grep '^E:')
  check "lintian prints no E: line${lintian_errors:+ (${lintian_errors})}" test -z "${lintian_errors}"

  # Every entry of Depends must be the C library (libc6, any version).
  depends=$(dpkg-deb -f "${deb}" Depends)
  others=$(tr ',' '\n' <<<"${depends}" | sed 's/^ *//; s/[ (].*//' | grep -vx 'libc6')
  if [ -n "${depends}" ] && [ -z "${others}" ]; then
    pass "Depends is the C library only (${depends})"
  else
    fail "Depends is the C library only" "Depends: ${depends}"
  fi

  root="${scratch}/root"
  dpkg-deb -x "${deb}" "${root}"
  for program in Kavnori relay-board-sim; do
    check "usr/bin/${program} is an executable" test -x "${root}/usr/bin/${program}"
    needed=$(readelf -d "${root}/usr/bin/${program}" 2>/dev/null | sed -n 's/.*Shared library: \[\(.*\)\]/\1/p' |
      grep -v -e '^libc\.so\.6$' -e '^ld-linux-x86-64\.so\.2$')
    check "${program} loads no library but the C library" test -z "${needed}"

    page="${root}/usr/share/man/man1/${program}.1.gz"
    check "man page ${program}.1.gz is a sound gzip file" gzip -t "${page}"
    check "${program}(1) names version ${version}" \
      grep -q "^\.TH .* \"Kavnori ${version}\" " <(gzip -dc "${page}")
    for section in NAME SYNOPSIS DESCRIPTION "EXIT STATUS" OUTPUT EXAMPLES "SEE ALSO"; do
      check "${program}(1) has ${section}" grep -qx "\.SH \"\?${section}\"\?" <(gzip -dc "${page}")
    done
    if command -v man >/dev/null; then
      # man-db hands --warnings to groff: a sound page renders with none.
      warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "${page}" 2>&1 >"${scratch}/${program}.txt")
      if [ -z "${warnings}" ] && grep -q "${program}" "${scratch}/${program}.txt"; then
        pass "${program}(1) renders with no warning"
      else
        fail "${program}(1) renders with no warning" "${warnings}"
      fi
    else
      fail "${program}(1) renders with no warning" "man (package man-db) is not installed"
    fi
  done
  doc="${root}/usr/share/doc/kavnori"
  check "copyright in Debian's format" grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' "${doc}/copyright"
  # The licence below its title, as the copyright file indents it.
  check "copyright holds the licence" cmp -s <(tail -n +3 "${source_dir}/LICENSE") \
    <(sed -n '/^License: Expat$/,$p' "${doc}/copyright" | tail -n +2 | sed 's/^ //; s/^\.$//')
  check "Debian changelog's latest entry is ${version}" \
    grep -q "^kavnori (${version}) " <(gzip -dc "${doc}/changelog.gz" | head -n 1)
  check "CHANGELOG.md has ${version}" grep -qx "## ${version}" "${doc}/CHANGELOG.md"

  kavnori="${root}/usr/bin/Kavnori"
  run "${kavnori}"
  expect_run "packaged Kavnori with no arguments prints usage, status 1" 1 "$(printf '%s\n' \
    'Usage: ./Kavnori.exe <Serial port> <Relay num> <On/Off>' \
    '       Serial Port:  COM<N> (N:1~255)' \
    '       Adress:    0~255, ' \
    '       Relay Num:    1~16, 0 - All' \
    '       On/Off:       On - 1 Off - 0')"
  run "${kavnori}" "${scratch}/no-such-port" 1 3 1
  expect_run "packaged Kavnori on a missing port, status 2" 2 "GetCommState failed with error 9."

  # The two packaged programs together: one frame from Kavnori to the board.
  sim_out="${scratch}/sim.jsonl"
  if start_virtual_board "${root}/usr/bin/relay-board-sim" "${sim_out}" --frames 1; then
    sim_pid=${board_pid}
    port=${board_path}
    run timeout 10 "${kavnori}" "${port}" 1 3 1
    expect_run "packaged Kavnori switches relay 3 on the packaged simulator" 0 \
      "$(printf 'Serial port [%s] configured.\nPower On @ Relay 3' "${port}")"
    sim_status=0
    timeout 10 tail --pid="${sim_pid}" -f /dev/null || kill "${sim_pid}" 2>/dev/null
    wait "${sim_pid}" || sim_status=$?
    sim_pid=""
    frame=$(sed -n 2p "${sim_out}")
    if [ "${sim_status}" -eq 0 ] && grep -q '"event":"frame","bytes":"55 01 12 00 00 00 03 6B"' <<<"${frame}"; then
      pass "packaged simulator received 55 01 12 00 00 00 03 6B and exited 0"
    else
      fail "packaged simulator received the frame" "status ${sim_status}, line: ${frame}"
    fi
  else
    fail "packaged simulator prints its terminal path" "$(cat "${sim_out}" "${sim_out}.err")"
  fi
fi

# ---- Windows: the .zip ----
echo "== .zip from ${windows}"
zip="${scratch}/zip/Kavnori-${version}-win64.zip"
if build_package ZIP "${windows}" "${zip}"; then
  mkdir "${scratch}/unzipped"
  (cd "${scratch}/unzipped" && cmake -E tar xf "${zip}")
  top="${scratch}/unzipped/Kavnori-${version}-win64"
  files=$(cd "${top}" 2>/dev/null && find . -type f | sort | tr '\n' ' ')
  check "zip holds Kavnori.exe, the guide, CHANGELOG.md, LICENSE, README.md and nothing else (${files})" \
    test "${files}" == "./CHANGELOG.md ./Kavnori-guide.txt ./Kavnori.exe ./LICENSE ./README.md "
  for doc in LICENSE README.md CHANGELOG.md; do
    check "zip's ${doc} is the project's" cmp -s "${source_dir}/${doc}" <(tr -d '\r' <"${top}/${doc}")
  done
  for doc in Kavnori-guide.txt LICENSE README.md CHANGELOG.md; do
    check "zip's ${doc} ends every line with CR LF" test "$(grep -c $'\r$' "${top}/${doc}")" -eq "$(wc -l <"${top}/${doc}")"
  done
  guide="${top}/Kavnori-guide.txt"
  check "guide names version ${version}" grep -q "^Kavnori ${version} for Windows" "${guide}"

  exe="${top}/Kavnori.exe"
  set -- "${exe}" "$@"
  # Makes the build's Wine prefix if no test run has made it yet.
  "${windows}/wine-run.sh" wineboot --init >/dev/null 2>&1
  dlls=$(x86_64-w64-mingw32-objdump -p "${exe}" 2>/dev/null | sed -n 's/.*DLL Name: //p' | sort | tr '\n' ' ')
  check "Kavnori.exe imports only KERNEL32.dll and msvcrt.dll (${dlls})" test "${dlls}" == "KERNEL32.dll msvcrt.dll "

  run "${windows}/wine-run.sh" "${exe}"
  expect_run "zipped Kavnori.exe with no arguments prints usage with CR LF, status 1" 1 "$(printf '%s\r\n' \
    'Usage: ./Kavnori.exe <Serial port> <Relay num> <On/Off>' \
    '       Serial Port:  COM<N> (N:1~255)' \
    '       Adress:    0~255, ' \
    '       Relay Num:    1~16, 0 - All' \
    '       On/Off:       On - 1 Off - 0')" no
  run "${windows}/wine-run.sh" "${exe}" COM231 1 3 1
  expect_run "zipped Kavnori.exe on COM231, which does not exist, status 2" 2 \
    "$(printf 'GetCommState failed with error 6.\r')" no

  # The guide's .bat file, saved beside Kavnori.exe, and elsewhere.
  sed -n '/^    @echo off/,/^    exit \/b %status%/s/^    //p' "${guide}" >"${top}/switch-on.bat"
  mkdir "${scratch}/elsewhere" && cp "${top}/switch-on.bat" "${scratch}/elsewhere/"
  run "${windows}/wine-run.sh" cmd /c "Z:${top//\//\\}\\switch-on.bat"
  expect_run "guide's .bat on COM5, which does not exist: its status 2 line" 2 \
    "$(printf 'GetCommState failed with error 6.\r\nCOM5 is not there, or another program has it open.\r')" no
  # cmd's 9009, "not found", of which Linux keeps the low 8 bits.
  run "${windows}/wine-run.sh" cmd /c "Z:${scratch//\//\\}\\elsewhere\\switch-on.bat"
  expect_run "guide's .bat without Kavnori.exe: the run did not finish" 49 \
    "$(printf 'The run did not finish (status 9009): not found, or stopped.\r')" no
fi

# ---- Every Kavnori.exe: one manifest, asking for no elevation, and the version ----
for exe in "$@"; do
  name="${exe#"${scratch}"/}"
  manifests=$(llvm-readobj --coff-resources "${exe}" 2>/dev/null | grep -c 'Type: MANIFEST (ID 24)')
  check "${name} carries one manifest" test "${manifests}" -eq 1
  manifest=$(tr -d '\0' <"${exe}" | sed -n '/<assembly /,/<\/assembly>/p')
  check "${name}'s manifest asks for asInvoker, no uiAccess" \
    grep -qE 'level="asInvoker" ([a-z_0-9]+:)?uiAccess="false"' <<<"${manifest}"
  check "${name}'s manifest names version ${version}.0" grep -q "name=\"Kavnori\" version=\"${version}.0\"" <<<"${manifest}"
  strings_found=$(strings -el "${exe}" | tr '\n' '|')
  for field in FileVersion ProductVersion; do
    check "${name}'s ${field} is ${version}" grep -qF "|${field}|${version}|" <<<"|${strings_found}"
  done
  for field in "FileDescription|Kavnori: switches relays on serial relay boards" "ProductName|Kavnori" \
    "OriginalFilename|Kavnori.exe" "LegalCopyright|Copyright (c) 2026 the Kavnori developers. MIT License."; do
    check "${name}'s ${field%%|*}" grep -qF "|${field}|" <<<"|${strings_found}"
  done
done

# ---- Both packages beside their checksums ----
release="${scratch}/release"
if bash "${source_dir}/scripts/make-release.sh" "${native}" "${windows}" "${release}" >"${release}.log" 2>&1; then
  check "SHA256SUMS names the .deb and the .zip and matches them" \
    sh -c 'cd "$1" && test "$(wc -l <SHA256SUMS)" -eq 2 && sha256sum --quiet -c SHA256SUMS' sh "${release}"
else
  fail "make-release.sh" "$(tail -n 5 "${release}.log")"
fi

echo "packages: ${passed} passed, ${failed} failed"
[ "${failed}" -eq 0 ]
