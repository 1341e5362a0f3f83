#!/usr/bin/env bash
# Hostile command lines against the real Kavnori binary, or (--doctor) the
# port names that kavnori-doctor must meet with one clear problem.
#
#   hostile_input.sh KAVNORI                    every case, plain
#   hostile_input.sh --valgrind VALGRIND KAVNORI every case under memcheck
#   hostile_input.sh [--valgrind VALGRIND] --doctor KAVNORI_DOCTOR
#
# Each case states the exit status and the whole standard output it expects;
# standard error must stay empty. The cases run in a scratch folder that
# holds ordinary files named like the hostile port names, so that a name
# that reaches open() unchanged ends in "error 25" (not a terminal), and a
# name that was cut or changed on the way ends in "error 9" (no such port).
# No case may send a byte: the files used as ports, and a FIFO with a reader
# on it, must stay empty. No case may run a shell: the sentinel folder x must
# survive, and no file named pwned* may appear.

# Single-quoted shell text is meant literally (SC2016); the comma in
# valgrind's leak kinds is part of one option (SC2054).
# shellcheck disable=SC2016,SC2054
set -u
. "$(dirname "$0")/../test-kit.sh"

runner=()
if [ "${1:-}" = "--valgrind" ]; then
  runner=("$2" --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite,indirect
    --quiet)
  shift 2
fi
doctor=""
[ "${1:-}" = "--doctor" ] && doctor=yes && shift
if [ "$#" -ne 1 ] || [ ! -x "$1" ]; then
  echo "usage: $0 [--valgrind VALGRIND] [--doctor] KAVNORI" >&2
  exit 2
fi
kavnori=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")

work=$(mktemp -d "${TMPDIR:-/tmp}/kavnori-hostile.XXXXXX")
trap 'rm -rf "${work}"' EXIT
cd "${work}" || exit 2

# The kit's fail counts failed checks; a case counts once as failed when any
# check made since it opened failed (a FIFO's reader is checked after its case).
cases=0 failed_cases=0 failed_before_case=0
close_case() { [ "${failed}" -eq "${failed_before_case}" ] || failed_cases=$((failed_cases + 1)) failed_before_case=${failed}; }
open_case() { close_case && cases=$((cases + 1)); }

# ---- expected outputs ------------------------------------------------------

usage_text() { printf '%s\n' "${usage_lines[@]}"; }

# usage:   wrong argument count
# refused: a value or the name out of range
# notty:   parsed, the port opened but is no terminal (ENOTTY)
# noport:  parsed, the port did not open (EBADF from reading its settings)
expected_reply() {
  case "$1" in
    usage) usage_text ;;
    refused)
      printf '***Please check you parameters!\n'
      usage_text
      ;;
    notty) printf 'GetCommState failed with error 25.\n' ;;
    noport) printf 'GetCommState failed with error 9.\n' ;;
    *)
      echo "unknown expectation $1" >&2
      exit 2
      ;;
  esac
}

declare -A status_for=([usage]=1 [refused]=1 [notty]=2 [noport]=2)

# ---- the helper ------------------------------------------------------------

# check NAME EXPECTATION ARGUMENT...
# Runs Kavnori with exactly the given arguments and compares status, stdout
# and stderr; then checks that the file used as a port received nothing.
check() {
  local name=$1 expectation=$2
  shift 2
  open_case
  : >port
  "${runner[@]}" "${kavnori}" "$@" >"${work}/.out" 2>"${work}/.err" </dev/null
  local status=$? expected_status=${status_for[${expectation}]}
  expected_reply "${expectation}" >"${work}/.expected"

  [ "${status}" -eq "${expected_status}" ] ||
    fail "${name}" "status ${status}, expected ${expected_status}"
  if ! cmp -s "${work}/.out" "${work}/.expected"; then
    fail "${name}" "stdout differs (expected, then got):"
    diff "${work}/.expected" "${work}/.out" | cut -c 1-200 | head -20
  fi
  [ ! -s "${work}/.err" ] || fail "${name}" "stderr not empty: $(head -c 2000 "${work}/.err")"
  [ ! -s port ] || fail "${name}" "the file 'port' received $(wc -c <port) bytes"
}

# ---- the scratch folder ----------------------------------------------------

long() { head -c "$1" /dev/zero | tr '\0' "$2"; } # long COUNT CHAR
kb100=102400

mkdir x directory
mkfifo fifo
name255=$(long 255 n)
name256=$(long 256 n)
hostile_names=(' ' '   ' 'a b' $'tab\there' '; rm -rf x' 'x; rm -rf x' '$(touch pwned1)'
  '`touch pwned2`' '| touch pwned3' '&& touch pwned4' '>pwned5' '*' '?' '[a-z]*' '~' "'\"\\"
  'pört-Ü-串口' $'invalid-\xff\xfe-\xc3\x28' '-1' "${name255}")
for name in "${hostile_names[@]}"; do : >"${name}"; done

# ---- nothing ran -----------------------------------------------------------

# The sentinels, then the closing line; the script's status.
finish() {
  open_case
  [ -d x ] || fail "sentinel" "the folder x is gone: a shell ran a port name"
  pwned=$(find . -maxdepth 1 -name 'pwned*' -print | tr '\n' ' ')
  [ -z "${pwned}" ] || fail "sentinel" "a shell ran a port name or a number: ${pwned}"
  [ -z "$(ls -A directory)" ] || fail "sentinel" "something was written into the directory"
  for name in "${hostile_names[@]}"; do
    [ ! -s "${name}" ] || fail "sentinel" "the file '${name}' received bytes"
  done

  close_case
  echo "${cases} cases, ${failed_cases} failed${runner:+ (under ${runner[0]##*/})}"
  [ "${failed}" -eq 0 ]
  exit
}

# ---- kavnori-doctor --------------------------------------------------------

# check_doctor NAME CODE PORT: the port's report, as JSON and as text, must
# end with status 2 (or 0 for the listing, without PORT) and nothing on
# standard error, within a bound: a FIFO or a terminal must not hold it.
# The JSON must parse, and its first problem must be CODE; the text must be
# UTF-8 with no control character but its line ends.
check_doctor() {
  local name=$1 code=$2 format status
  shift 2
  open_case
  for format in --json --text; do
    timeout 60 "${runner[@]}" "${kavnori}" ${format/--text/} -- "$@" >.out 2>.err </dev/null
    status=$?
    [ "${status}" -eq "$([ "$#" = 0 ] && echo 0 || echo 2)" ] || fail "${name}" "${format}: status ${status}"
    [ ! -s .err ] || fail "${name}" "${format}: stderr not empty: $(head -c 2000 .err)"
    [ "${format}" = --json ] && mv .out .json
  done
  /usr/bin/python3 -c 'import json, re, sys
report = json.load(open(".json"))
escaped = not re.search("[\x00-\x09\x0b-\x1f\x7f-\x9f]", open(".out", "rb").read().decode())
sys.exit(0 if escaped and ("ports" in report or report["problems"][0]["code"] == sys.argv[1]) else 1)' "${code}" ||
    fail "${name}" "not valid JSON, not ${code}, or raw text: $(head -c 2000 .json; head -c 2000 .out)"
}

if [ -n "${doctor}" ]; then
  ln -s loop-b loop-a && ln -s loop-a loop-b && ln -s gone dangling
  check_doctor "the machine's ports" ""
  check_doctor "empty name" missing ""
  check_doctor "4097-byte name" name-too-long "$(long 4097 n)"
  check_doctor "100 KB name of slashes" name-too-long "$(long "${kb100}" /)"
  check_doctor "non-UTF-8 name, not there" missing $'\xff\xfe'
  check_doctor "ESC, CSI, OSC and a forged line in the name" missing $'\e[2J\e]0;x\a\n  [blocks] forged: y'
  check_doctor "C1 controls, as UTF-8 and alone, in the name" missing $'c1-\xc2\x9b31m-\x9b31m'
  check_doctor "a directory" not-a-terminal directory
  check_doctor "a FIFO with no writer" not-a-terminal fifo
  check_doctor "/dev/full" not-a-terminal /dev/full
  check_doctor "/dev/tty" not-a-serial-port /dev/tty
  check_doctor "a link loop" link-loop loop-a
  check_doctor "a dangling link" dangling-link dangling
  for name in "${hostile_names[@]}"; do
    check_doctor "port name '${name}'" not-a-terminal "${name}"
  done
  finish
fi

# ---- the cases -------------------------------------------------------------

# Argument count: anything but four is the usage text alone.
check "no arguments" usage
check "three arguments" usage port 1 3
check "five arguments" usage port 1 3 1 1
check "five empty strings" usage "" "" "" "" ""
check "three empty strings" usage "" "" ""

# Empty strings and white space: no digits reads as 0.
check "four empty strings" noport "" "" "" ""
check "empty port name" noport "" 1 3 1
check "empty numbers" notty port "" "" ""
check "white space numbers" notty port " " $'\t\n' $' \v\f\r'
check "white space then a digit" notty port $'\t 1' $'\n 3' $'\r\v 1'
check "white space port names" notty " " 1 3 1
check "white space port names, three" notty "   " 1 3 1

# Signs only, and signs in odd places.
check "signs only" notty port "+" "-" "+"
check "double signs read as 0" notty port "--1" "+-3" "-+1"
check "sign after blank" notty port " -0" " +16" " +1"

# Leading zeros.
check "leading zeros" notty port 007 016 001
check "leading zeros, relay 17" refused port 1 00017 1
check "leading zeros, power 2" refused port 1 3 0002

# Out of range, negative, and beyond 32 bits: no value wraps into range.
check "relay 17" refused port 1 17 1
check "relay -1" refused port 1 -1 1
check "power 2" refused port 1 3 2
check "power -1" refused port 1 3 -1
check "relay 2^32+3" refused port 1 4294967299 1
check "power 2^32+1" refused port 1 3 4294967297
check "relay 2^31" refused port 1 2147483648 1
check "relay -2^31-1" refused port 1 -2147483649 1
check "relay 2^64+3" refused port 1 18446744073709551619 1
check "address huge" notty port 99999999999999999999999 3 1
check "address negative huge" notty port -99999999999999999999999 3 1
check "address -1 and 256" notty port -1 3 1
check "relay value out of range even when the port is fine" refused port 256 300 1

# Non-ASCII and invalid UTF-8: no ASCII digit reads as 0.
check "fullwidth digits" notty port "１" "３" "１"
check "arabic-indic digits" notty port "١" "٣" "١"
check "invalid UTF-8 numbers" notty port $'\xff1' $'\xc3\x28' $'\x80'
check "non-ASCII port name" notty 'pört-Ü-串口' 1 3 1
check "invalid UTF-8 port name" notty $'invalid-\xff\xfe-\xc3\x28' 1 3 1
check "invalid UTF-8 port name, not there" noport $'\xff\xfe' 1 3 1

# Port name length: 255 bytes fit, 256 do not, nor 100 KB.
check "255-byte port name" notty "${name255}" 1 3 1
check "256-byte port name" refused "${name256}" 1 3 1
check "100 KB port name" refused "$(long "${kb100}" a)" 1 3 1
check "100 KB port name of slashes" refused "$(long "${kb100}" /)" 1 3 1

# 100 KB numbers.
check "100 KB address digits" notty port "$(long "${kb100}" 9)" 3 1
check "100 KB relay digits" refused port 1 "$(long "${kb100}" 9)" 1
check "100 KB power digits" refused port 1 3 "$(long "${kb100}" 1)"
check "100 KB zeros then relay 3" notty port 1 "$(long "${kb100}" 0)3" 1
check "100 KB blanks then power 1" notty port 1 3 "$(long "${kb100}" ' ')1"
check "100 KB minus signs" notty port "$(long "${kb100}" -)" "$(long "${kb100}" -)" 1
check "100 KB of letters" notty port "$(long "${kb100}" x)" "$(long "${kb100}" x)" \
  "$(long "${kb100}" x)"

# Shell characters reach open() as typed, and nothing runs them.
for name in "${hostile_names[@]}"; do
  [ "${name}" = "${name255}" ] && continue
  check "port name '${name}'" notty "${name}" 1 3 1
done
check "shell command as a path" noport "; rm -rf ${work}/x" 1 3 1
check "command substitution as a path" noport "\$(touch ${work}/pwned6)" 1 3 1
check "glob as a path" noport "${work}/p*" 1 3 1
check "shell characters in numbers" notty port '1; touch pwned7' '$(touch pwned8)' '`touch pwned9`'

# Ports that are no serial port.
check "port is a directory" noport directory 1 3 1
check "port is a regular file" notty port 1 3 1
# Not /dev/null: the end-to-end test switches through it meanwhile, and its
# lock there would read as held.
check "port is /dev/full" notty /dev/full 1 3 1
check "port is missing" noport missing 1 3 1
check "regular file, refused values" refused port 1 17 1

# A FIFO with a reader on it: the reader must get no byte, whether the
# values are refused or the port is opened and found to be no terminal.
check_fifo() {
  local name=$1 expectation=$2
  shift 2
  cat fifo >"${work}/.fifo-read" &
  local reader=$!
  exec 3>fifo # opens once the reader has, and keeps the FIFO open meanwhile
  check "${name}" "${expectation}" fifo "$@"
  exec 3>&- # the reader sees the end of input now
  wait "${reader}"
  [ ! -s "${work}/.fifo-read" ] ||
    fail "${name}" "the FIFO reader got $(wc -c <"${work}/.fifo-read") bytes"
}
check_fifo "port is a FIFO" notty 1 3 1
check_fifo "port is a FIFO, refused values" refused 1 3 2
check_fifo "port is a FIFO, wrong count" usage 1 3

finish
