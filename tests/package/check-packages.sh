#!/usr/bin/env bash
# Makes every release file with scripts/make-release.sh (which brings the
# preset builds up to date), unpacks each as a user would, and checks what is
# inside and that the programs in it run, the arm ones under qemu-user.
# Any Kavnori.exe given (an MSVC-mode build) gets the exe checks too.
#   tests/package/check-packages.sh [KAVNORI_EXE...]
set -uo pipefail

source_dir=$(cd "$(dirname "$0")/../.." && pwd)
. "${source_dir}/tests/test-kit.sh"
windows="${source_dir}/build/windows-cross-mingw"

scratch=$(mktemp -d)
sim_pid=""
cleanup() {
  [ -n "${sim_pid}" ] && kill "${sim_pid}" 2>/dev/null
  rm -rf "${scratch}"
}
trap cleanup EXIT

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

# The doctor's answers: arguments (PORT: one that is not there) | status |
# the stream holding the line | the line; a doctor calling it ready fails.
doctor_rows=("--help|0|output|^Usage: kavnori-doctor " "--no-such-option|1|errors|^Usage: kavnori-doctor "
  '--json PORT|2|output|"code": "missing", "severity": "blocks"')
expect_doctor() { # NAME PORT DOCTOR...  (DOCTOR may start with an emulator)
  local name=$1 port=$2 row args want_status stream line
  for row in "${doctor_rows[@]}"; do
    IFS='|' read -r args want_status stream line <<<"${row/PORT/${port}}"
    run "${@:3}" ${args}
    if [ "${status}" -eq "${want_status}" ] && grep -qE "${line}" <<<"${!stream}"; then pass "${name} ${args}: status ${want_status}"
    else fail "${name} ${args}: status ${want_status}, ${stream} has ${line}" "status ${status}: ${output}${errors}"; fi
  done
}

# ---- Every release file, beside its checksum ----
release="${scratch}/release"
echo "== scripts/make-release.sh"
if bash "${source_dir}/scripts/make-release.sh" "${release}" >"${release}.log" 2>&1; then
  pass "make-release.sh"
else
  fail "make-release.sh" "$(tail -n 5 "${release}.log")"
fi
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "${source_dir}/build/native/CMakeCache.txt")
check "SHA256SUMS names the 3 .debs, 3 tarballs and the .zip, and matches them" \
  sh -c 'cd "$1" && test "$(wc -l <SHA256SUMS)" -eq 7 && sha256sum --quiet -c SHA256SUMS' sh "${release}"

# The board gets one frame from the command: relay 3 of board 1 on.
#   expect_switch NAME BOARD KAVNORI...  (either may start with an emulator)
expect_switch() {
  local name=$1 board=$2 sim_out="${scratch}/sim.jsonl"
  shift 2
  if start_virtual_board "${board}" "${sim_out}" --frames 1; then
    sim_pid=${board_pid}
    run timeout 10 "$@" "${board_path}" 1 3 1
    expect_run "${name}: Kavnori switches relay 3 on" 0 \
      "$(printf 'Serial port [%s] configured.\nPower On @ Relay 3' "${board_path}")"
    sim_status=0
    timeout 10 tail --pid="${sim_pid}" -f /dev/null || kill "${sim_pid}" 2>/dev/null
    wait "${sim_pid}" || sim_status=$?
    sim_pid=""
    frame=$(sed -n 2p "${sim_out}")
    if [ "${sim_status}" -eq 0 ] && grep -q '"event":"frame","bytes":"55 01 12 00 00 00 03 6B"' <<<"${frame}"; then
      pass "${name}: the board received 55 01 12 00 00 00 03 6B and exited 0"
    else
      fail "${name}: the board received the frame" "status ${sim_status}, line: ${frame}"
    fi
  else
    fail "${name}: the board prints its terminal path" "$(cat "${sim_out}" "${sim_out}.err")"
  fi
}

usage_text=$(printf '%s\n' "${usage_lines[@]}")
# What a run of the examples may leave beside them; the packages leave it out.
no_caches=(-x __pycache__ -x .pytest_cache -x '*.pyc')

# Debian architecture | machine, as the tarball names it | dynamic loader |
# how this machine runs its programs
machines=(
  "amd64|x86_64|ld-linux-x86-64.so.2|"
  "arm64|aarch64|ld-linux-aarch64.so.1|qemu-aarch64 -L /usr/aarch64-linux-gnu"
  "armhf|armhf|ld-linux-armhf.so.3|qemu-arm -L /usr/arm-linux-gnueabihf"
)

# release_file NAME FILE: names the release file being checked; true when it
# is there, a failure showing what the release holds instead when not.
release_file() {
  echo "== ${2##*/}"
  [ -f "$2" ] && return 0
  fail "$1 ${2##*/}" "$(ls "${release}" 2>&1)"
  return 1
}

# ---- Linux: the .debs and the static tarballs ----
for row in "${machines[@]}"; do
  IFS='|' read -r arch machine loader emulator <<<"${row}"
  read -ra emulator <<<"${emulator}"
  deb="${release}/kavnori_${version}_${arch}.deb"
  release_file "${arch}: package file" "${deb}" || continue
  check "${arch}: dpkg-deb -I reads the package" dpkg-deb -I "${deb}" >/dev/null
  check "${arch}: package name kavnori" test "$(dpkg-deb -f "${deb}" Package)" == kavnori
  check "${arch}: package version ${version}" test "$(dpkg-deb -f "${deb}" Version)" == "${version}"
  check "${arch}: maintainer with a contact address ($(dpkg-deb -f "${deb}" Maintainer))" \
    grep -qE '^[^<>]+ <[^@<> ]+@[^@<> ]+\.[a-z]+>$' <<<"$(dpkg-deb -f "${deb}" Maintainer)"
  lintian_errors=$(lintian --allow-root "${deb}" 2>&1 | grep '^E:')
  check "${arch}: lintian prints no E: line${lintian_errors:+ (${lintian_errors})}" test -z "${lintian_errors}"

  # Every entry of Depends must be the C library (libc6, any version).
  depends=$(dpkg-deb -f "${deb}" Depends)
  others=$(tr ',' '\n' <<<"${depends}" | sed 's/^ *//; s/[ (].*//' | grep -vx 'libc6')
  if [ -n "${depends}" ] && [ -z "${others}" ]; then
    pass "${arch}: Depends is the C library only (${depends})"
  else
    fail "${arch}: Depends is the C library only" "Depends: ${depends}"
  fi

  root="${scratch}/root-${arch}"
  dpkg-deb -x "${deb}" "${root}"
  for program in Kavnori relay-board-sim kavnori-doctor kavnori-switch; do
    binary="${root}/usr/bin/${program}"
    check "${arch}: usr/bin/${program} is an executable" test -x "${binary}"
    needed=$(readelf -d "${binary}" 2>/dev/null | sed -n 's/.*Shared library: \[\(.*\)\]/\1/p' |
      grep -vxF -e libc.so.6 -e "${loader}")
    check "${arch}: ${program} loads no library but the C library" test -z "${needed}"
    # As Debian builds its packages (dpkg-buildflags); CET is not among them.
    hardening=$(hardening-check --nocfprotection --quiet "${binary}" 2>/dev/null)
    check "${arch}: ${program} has PIE, stack protector, fortify, relro and bindnow${hardening:+ (${hardening})}" \
      test -z "${hardening}"
    check "${arch}: ${program} has no .comment section" \
      sh -c '! readelf -S "$1" | grep -q "\.comment"' sh "${binary}"

    page="${root}/usr/share/man/man1/${program}.1.gz"
    check "${arch}: man page ${program}.1.gz is a sound gzip file" gzip -t "${page}"
    check "${arch}: ${program}(1) names version ${version}" \
      grep -q "^\.TH .* \"Kavnori ${version}\" " <(gzip -dc "${page}")
    for section in NAME SYNOPSIS DESCRIPTION "EXIT STATUS" OUTPUT EXAMPLES "SEE ALSO"; do
      check "${arch}: ${program}(1) has ${section}" grep -qx "\.SH \"\?${section}\"\?" <(gzip -dc "${page}")
    done
    if command -v man >/dev/null; then
      # man-db hands --warnings to groff: a sound page renders with none.
      warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "${page}" 2>&1 >"${scratch}/${program}.txt")
      if [ -z "${warnings}" ] && grep -q "${program}" "${scratch}/${program}.txt"; then
        pass "${arch}: ${program}(1) renders with no warning"
      else
        fail "${arch}: ${program}(1) renders with no warning" "${warnings}"
      fi
    else
      fail "${arch}: ${program}(1) renders with no warning" "man (package man-db) is not installed"
    fi
  done
  doc="${root}/usr/share/doc/kavnori"
  check "${arch}: copyright in Debian's format" grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' "${doc}/copyright"
  # The licence below its title, as the copyright file indents it.
  check "${arch}: copyright holds the licence" cmp -s <(tail -n +3 "${source_dir}/LICENSE") \
    <(sed -n '/^License: Expat$/,$p' "${doc}/copyright" | tail -n +2 | sed 's/^ //; s/^\.$//')
  check "${arch}: Debian changelog's latest entry is ${version}" \
    grep -q "^kavnori (${version}) " <(gzip -dc "${doc}/changelog.gz" | head -n 1)
  check "${arch}: CHANGELOG.md has ${version}" grep -qx "## ${version}" "${doc}/CHANGELOG.md"
  check "${arch}: ${doc#"${root}"}/examples is the project's examples/" diff -r "${no_caches[@]}" "${source_dir}/examples" "${doc}/examples"

  kavnori="${root}/usr/bin/Kavnori"
  run "${emulator[@]}" "${kavnori}"
  expect_run "${arch}: packaged Kavnori with no arguments prints usage, status 1" 1 "${usage_text}"
  run "${emulator[@]}" "${kavnori}" "${scratch}/no-such-port" 1 3 1
  expect_run "${arch}: packaged Kavnori on a missing port, status 2" 2 "GetCommState failed with error 9."
  expect_doctor "${arch}: packaged kavnori-doctor" /dev/ttyNOPE "${emulator[@]}" "${root}/usr/bin/kavnori-doctor"
  # The two packaged programs together; the board started as this machine
  # would start it.
  board="${scratch}/board-${arch}"
  printf '#!/bin/sh\nexec %s "%s" "$@"\n' "${emulator[*]}" "${root}/usr/bin/relay-board-sim" >"${board}"
  chmod +x "${board}"
  expect_switch "${arch}: packaged board and command" "${board}" "${emulator[@]}" "${kavnori}"
  expect_switch "${arch}: packaged board and kavnori-switch" "${board}" "${emulator[@]}" "${root}/usr/bin/kavnori-switch"
  for program in kavnori-doctor relay-board-sim; do
    check "${arch}: ${program} --version names ${version}" \
      test "$("${emulator[@]}" "${root}/usr/bin/${program}" --version)" == "${program} ${version}"
  done

  # The static tarball: the programs alone, with nothing else installed.
  name="kavnori-${version}-linux-${machine}"
  if ! tar -xzf "${release}/${name}.tar.gz" -C "${scratch}"; then
    fail "${machine}: ${name}.tar.gz unpacks" "$(ls "${release}" 2>&1)"
    continue
  fi
  top="${scratch}/${name}"
  files=$(cd "${top}" && find . -type f -not -path './examples/*' | LC_ALL=C sort | tr '\n' ' ')
  check "${machine}: tarball holds the programs, kavnori-switch, their man pages, LICENSE, README.md, examples/ and nothing else (${files})" \
    test "${files}" == "./Kavnori ./Kavnori.1 ./LICENSE ./README.md ./kavnori-doctor ./kavnori-doctor.1 ./kavnori-switch ./kavnori-switch.1 "
  for doc in LICENSE README.md examples; do
    check "${machine}: tarball's ${doc} is the project's" diff -r "${no_caches[@]}" "${source_dir}/${doc}" "${top}/${doc}"
  done
  for program in Kavnori kavnori-doctor kavnori-switch; do
    check "${machine}: static ${program} has no dynamic section, no interpreter, no .comment section" \
      sh -c 'readelf -d "$1" | grep -q "no dynamic section" && ! readelf -lS "$1" | grep -qE "INTERP|\.comment"' \
      sh "${top}/${program}"
  done
  # The tarball's folder as the whole root: no C library, no loader, no
  # /dev. This machine's program runs there by chroot, the others under
  # qemu-user with that folder as the only place for their libraries.
  static_run=("${emulator[@]:0:1}" -L "${top}")
  root_run=("${static_run[@]}" "${top}/Kavnori")
  if [ "${#emulator[@]}" -eq 0 ]; then
    static_run=()
    root_run=(chroot "${top}" /Kavnori)
    [ "$(id -u)" -eq 0 ] || root_run=(unshare --map-root-user "${root_run[@]}")
  fi
  run "${root_run[@]}"
  expect_run "${machine}: static Kavnori in an empty root prints usage, status 1" 1 "${usage_text}"
  expect_doctor "${machine}: static kavnori-doctor in an empty root" /dev/ttyNOPE "${root_run[@]/%Kavnori/kavnori-doctor}"
  for program in Kavnori kavnori-switch; do
    expect_switch "${machine}: static ${program} on the native board" \
      "${source_dir}/build/native/sim/relay-board-sim" "${static_run[@]}" "${top}/${program}"
  done
done

# ---- Windows: the .zip ----
zip="${release}/Kavnori-${version}-win64.zip"
if release_file "package file" "${zip}"; then
  mkdir "${scratch}/unzipped"
  (cd "${scratch}/unzipped" && cmake -E tar xf "${zip}")
  top="${scratch}/unzipped/Kavnori-${version}-win64"
  files=$(cd "${top}" 2>/dev/null && find . -type f | LC_ALL=C sort | tr '\n' ' ')
  check "zip holds Kavnori.exe, kavnori-doctor.exe, kavnori-switch.exe, the guide, CHANGELOG.md, LICENSE, README.md and nothing else (${files})" \
    test "${files}" == "./CHANGELOG.md ./Kavnori-guide.txt ./Kavnori.exe ./LICENSE ./README.md ./kavnori-doctor.exe ./kavnori-switch.exe "
  for doc in LICENSE README.md CHANGELOG.md; do
    check "zip's ${doc} is the project's" cmp -s "${source_dir}/${doc}" <(tr -d '\r' <"${top}/${doc}")
  done
  for doc in Kavnori-guide.txt LICENSE README.md CHANGELOG.md; do
    check "zip's ${doc} ends every line with CR LF" test "$(grep -c $'\r$' "${top}/${doc}")" -eq "$(wc -l <"${top}/${doc}")"
  done
  guide="${top}/Kavnori-guide.txt"
  check "guide names version ${version}" grep -q "^Kavnori ${version} for Windows" "${guide}"

  exe="${top}/Kavnori.exe"
  set -- "${exe}" "${top}/kavnori-doctor.exe" "$@"
  # Makes the build's Wine prefix if no test run has made it yet.
  "${windows}/wine-run.sh" wineboot --init >/dev/null 2>&1
  dlls=$(x86_64-w64-mingw32-objdump -p "${exe}" 2>/dev/null | sed -n 's/.*DLL Name: //p' | LC_ALL=C sort | tr '\n' ' ')
  # WS2_32.dll (Winsock, for network ports) is part of Windows, as KERNEL32.dll is.
  check "Kavnori.exe imports only KERNEL32.dll, WS2_32.dll and msvcrt.dll (${dlls})" test "${dlls}" == "KERNEL32.dll WS2_32.dll msvcrt.dll "
  expect_doctor "zipped kavnori-doctor.exe" COM231 "${windows}/wine-run.sh" "${top}/kavnori-doctor.exe"

  run "${windows}/wine-run.sh" "${exe}"
  expect_run "zipped Kavnori.exe with no arguments prints usage with CR LF, status 1" 1 \
    "$(printf '%s\r\n' "${usage_lines[@]}")" no
  run "${windows}/wine-run.sh" "${exe}" COM231 1 3 1
  expect_run "zipped Kavnori.exe on COM231, which does not exist, status 2" 2 \
    "$(printf 'GetCommState failed with error 6.\r')" no

  # The guide's .bat file, saved beside Kavnori.exe, and elsewhere, with the
  # %cmdcmdline% of a console or a double-click (Wine's cmd has none).
  sed -n '/^    @echo off/,/^    exit \/b %status%/s/^    //p' "${guide}" >"${top}/switch-on.bat"
  mkdir "${scratch}/elsewhere" && cp "${top}/switch-on.bat" "${scratch}/elsewhere/"
  top_windows="Z:${top//\//\\}"
  console='"C:\windows\system32\cmd.exe" '
  double_click() { echo "C:\\windows\\system32\\cmd.exe /c \"\"${top_windows}\\$1\" \""; }
  no_com5=$(printf 'GetCommState failed with error 6.\r\nCOM5 is not there, or another program has it open.\r')
  run env cmdcmdline="${console}" "${windows}/wine-run.sh" cmd /c "${top_windows}\\switch-on.bat" </dev/null
  expect_run "guide's .bat on COM5, which does not exist: its status 2 line" 2 "${no_com5}" no
  run env cmdcmdline="$(double_click switch-on.bat)" "${windows}/wine-run.sh" cmd /c "${top_windows}\\switch-on.bat" </dev/null
  expect_run "guide's .bat double-clicked: it waits for a key" 2 "${no_com5}"$'\nPress any key to continue... ' no
  # The guide's call line in a double-clicked .bat, which goes on afterwards
  # with no variable left behind (Wine's call passes no exit status).
  { echo '@echo off' && sed -n '/^    call "%~dp0switch-on.bat"/s/^    //p' "${guide}" &&
    printf 'echo status left behind: [%%status%%]\r\nexit /b 0\r\n'; } >"${top}/caller.bat"
  run env cmdcmdline="$(double_click caller.bat)" "${windows}/wine-run.sh" cmd /c "${top_windows}\\caller.bat" </dev/null
  expect_run "guide's call line: the calling .bat goes on, and no variable is left behind" 0 \
    "${no_com5}"$'\nstatus left behind: []\r' no
  # cmd's 9009, "not found", of which Linux keeps the low 8 bits.
  run env cmdcmdline="${console}" "${windows}/wine-run.sh" cmd /c "Z:${scratch//\//\\}\\elsewhere\\switch-on.bat" </dev/null
  expect_run "guide's .bat without Kavnori.exe: the run did not finish" 49 \
    "$(printf 'The run did not finish (status 9009): not found, or stopped.\r')" no
fi

# ---- Every exe: one manifest, asking for no elevation, and the version ----
declare -A descriptions=([Kavnori]="switches relays on serial relay boards"
  [kavnori-doctor]="tells why a serial port fails a Kavnori run")
for exe in "$@"; do
  name="${exe#"${scratch}"/}"
  program=$(basename "${exe}" .exe)
  manifests=$(llvm-readobj --coff-resources "${exe}" 2>/dev/null | grep -c 'Type: MANIFEST (ID 24)')
  check "${name} carries one manifest" test "${manifests}" -eq 1
  manifest=$(tr -d '\0' <"${exe}" | sed -n '/<assembly /,/<\/assembly>/p')
  check "${name}'s manifest asks for asInvoker, no uiAccess" \
    grep -qE 'level="asInvoker" ([a-z_0-9]+:)?uiAccess="false"' <<<"${manifest}"
  check "${name}'s manifest names version ${version}.0" grep -q "name=\"${program}\" version=\"${version}.0\"" <<<"${manifest}"
  strings_found=$(strings -el "${exe}" | tr '\n' '|')
  for field in FileVersion ProductVersion; do
    check "${name}'s ${field} is ${version}" grep -qF "|${field}|${version}|" <<<"|${strings_found}"
  done
  for field in "FileDescription|${program}: ${descriptions[${program}]}" "ProductName|Kavnori" \
    "OriginalFilename|${program}.exe" "LegalCopyright|Copyright (c) 2026 the Kavnori developers. MIT License."; do
    check "${name}'s ${field%%|*}" grep -qF "|${field}|" <<<"|${strings_found}"
  done
done

echo "packages: ${passed} passed, ${failed} failed"
[ "${failed}" -eq 0 ]
