#!/usr/bin/env bash
# End-to-end: the real command against the virtual relay board on a
# pseudo-terminal. Every run's status and exact output are checked, and every
# frame is checked byte for byte as the board received it.
#
#   run-e2e.sh native  KAVNORI SIMULATOR [EMULATOR...]
#   run-e2e.sh windows KAVNORI_EXE SIMULATOR WINE_RUN WINEPREFIX
# With KAVNORI_DOCTOR set to a kavnori-doctor of the same build, its rows run too.
set -u
mode=$1 kavnori=$2 simulator=$3
wine_run=${4:-} wineprefix=${5:-}
doctor=${KAVNORI_DOCTOR:-}

. "$(dirname "$0")/../test-kit.sh"

work=$(mktemp -d)
board_pid=""
holder_pid=""

cleanup() {
  [ -n "${holder_pid}" ] && kill "${holder_pid}" 2>/dev/null
  [ -n "${lock_file:-}" ] && rm -f "${lock_file}"
  [ -n "${sticky_settings:-}" ] && sysctl -qw ${sticky_settings}
  [ -n "${board_pid}" ] && kill -TERM "${board_pid}" 2>/dev/null && wait "${board_pid}" 2>/dev/null
  rm -rf "${work}"
}
trap cleanup EXIT

# ---- The board ----

board_out="${work}/board.jsonl"
events_read=0


# The board's next report into ${event}, waiting up to 5 s for it.
next_event() {
  local line_number=$((events_read + 2))
  event="(no report from the board)"
  wait_until 5 lines_over "${board_out}" $((line_number - 1)) || return 0
  events_read=$((events_read + 1))
  event=$(sed -n "${line_number}p" "${board_out}")
}

# True when the board has reported nothing new after its frame gap.
board_quiet() {
  sleep 0.3
  [ "$(wc -l <"${board_out}")" -eq $((events_read + 1)) ]
}

# expect_board_quiet NAME: the board reports nothing new; else its new
# reports are shown and taken as read.
expect_board_quiet() {
  board_quiet && pass && return
  fail "$1" "$(tail -n +$((events_read + 2)) "${board_out}" | head -3)"
  events_read=$(($(wc -l <"${board_out}") - 1))
}

# ---- The command ----

if [ "${mode}" = windows ]; then
  port=COM12
  command=("${wine_run}" "${kavnori}")
  line_end=$'\r\n'
else
  port=""  # set once the board is up
  # A build for another machine runs under its emulator (qemu-user). A run
  # that hangs fails its row with status 124, rather than the whole script.
  command=(timeout 60 "${@:4}" "${kavnori}")
  line_end=$'\n'
fi
run_command() { "${command[@]}" "$@"; }

# Nothing on standard error but what Wine's server may put there: it dumps
# its objects on the stderr it was started with when the terminal it took
# hangs up, and a run starts it when the last one is just ending.
stderr_quiet() { ! grep -q -v -E '^(0x[0-9a-f]+:[0-9]+: |\s+[0-9a-f]{4}: 0x)' "${work}/stderr"; }

# Runs the command twice, its output once to a pipe and once to a file, and
# checks the status and the exact bytes of the output each time. After each
# run with a frame, the board's report must show that frame.
#   expect_run NAME STATUS FRAME_BYTES_OR_- -- ARGS... -- EXPECTED_LINES...
expect_run() {
  local name=$1 status=$2 frame=$3
  shift 4
  local args=()
  while [ "$1" != -- ]; do
    args+=("$1")
    shift
  done
  shift
  local want got code sink
  want=$(expected_output "$@"; echo .)
  for sink in pipe file; do
    if [ "${sink}" = pipe ]; then
      got=$(run_command "${args[@]}" 2>"${work}/stderr"; echo ".$?")
      code=${got##*.}
      got="${got%.*}."
    else
      run_command "${args[@]}" >"${work}/stdout" 2>"${work}/stderr"
      code=$?
      got=$(cat "${work}/stdout"; echo .)
    fi
    [ "${code}" = "${status}" ] && [ "${got}" = "${want}" ] && stderr_quiet && pass ||
      fail "${name} (${sink}): status ${code}, wanted ${status}" "stdout: $(printf %q "${got%.}")" \
        "wanted: $(printf %q "${want%.}")" "stderr: $(cat "${work}/stderr")"
    if [ "${frame}" != - ]; then
      next_event
      [[ "${event}" == *'"event":"frame","bytes":"'"${frame}"'"'*'"applied":true'* ]] && pass ||
        fail "${name} (${sink}): the board did not get ${frame}" "${event}"
    else
      expect_board_quiet "${name} (${sink}): the board received bytes"
    fi
  done
}

# kavnori-doctor.exe under Wine: its status and a text its output holds; the board gets no
# byte and its line keeps its settings.   expect_doctor NAME STATUS TEXT ARGS...
expect_doctor() {
  local name=$1 status=$2 text=$3 before got code
  shift 3
  [ "${mode}" = windows ] && [ -n "${doctor}" ] || return 0
  before=$(stty -F "${board_path}" -a)
  got=$("${wine_run}" "${doctor}" "$@" 2>&1)
  code=$?
  [ "${code}" = "${status}" ] && [[ "${got//$'\r'/}" == *"${text}"* ]] &&
    [ "$(stty -F "${board_path}" -a)" = "${before}" ] && pass ||
    fail "kavnori-doctor ${name}: status ${code}, wanted ${status} and ${text}" "${got}"
  expect_board_quiet "kavnori-doctor ${name}: the board received bytes"
}

configured() { printf 'Serial port [%s] configured.' "${1:-${port}}"; }

# ---- Cases ----

link_args=()
[ "${mode}" = windows ] && link_args=(--link "${wineprefix}/dosdevices/com12")
start_board "${board_out}" "${link_args[@]}"
[ "${mode}" = native ] && port=${board_path}

expect_doctor "on the board's port" 0 'COM12 (\\.\COM12): ready' COM12
expect_doctor "listing the ports" 0 $'COM12\n  source: no registry entry; opens as \\\\.\\COM12\n  opens: true'
# COM12 has no USB ids: --find names none, and the guide's .bat line must then not run Kavnori.
expect_doctor "--find, no adapter there" 2 'no adapter matches 1a86:7523, and no USB' --find 1a86:7523
expect_doctor "--find, a port name" 1 'COM12 is no selector: a selector is VID:PID' --find COM12
if [ "${mode}" = windows ] && [ -n "${doctor}" ]; then
  printf '@for /f "delims=" %%%%p in (%s) do %s %%%%p 1 3 1\r\n' "'Z:${doctor//\//\\} --find 1a86:7523'" "Z:${kavnori//\//\\}" >"${work}/find.bat"
  got=$("${wine_run}" cmd /c "Z:${work//\//\\}\\find.bat" 2>&1)
  [[ ${got//$'\r'/} == *"no USB serial adapter is plugged in" ]] && board_quiet && pass || fail "for /f and --find: Kavnori ran" "${got}"
fi

# Leave the line as another program might have: other speed, two stop bits,
# hardware and software flow control, output processing that turns LF into
# CR LF. (A pseudo-terminal always keeps 8 data bits and no parity.)
stty -F "${board_path}" 115200 cstopb crtscts ixon ixoff opost onlcr
expect_run "switch on, line left at 115200" 0 "55 01 12 00 00 00 03 6B" \
  -- "${port}" 1 3 1 -- "$(configured)" "Power On @ Relay 3"
settings=$(stty -F "${board_path}" -a)
for wanted in "speed 9600 baud" " cs8 " " -parenb " " -cstopb " " crtscts " " ixon " " ixoff " \
  " -opost "; do
  [[ " ${settings//$'\n'/ } " == *"${wanted}"* ]] && pass ||
    fail "after a run the line shows '${wanted}'" "${settings}"
done

# CRTSCTS left on, and CTS, which Wine cannot read on a pseudo-terminal.
expect_doctor "with hardware flow control left on" 3 \
  '"code": "hardware-flow", "severity": "may-hold"' --json COM12

# ADDRESS RELAY POWER, the frame the board must receive, the power line.
# Addresses and relays that are LF, CR, TAB, XON, XOFF, DEL and EOT, which
# a terminal left to itself could alter, and sums that wrap.
frames=(
  "1 3 0|55 01 11 00 00 00 03 6A|Power Off @ Relay 3"
  "0 0 1|55 00 12 00 00 00 00 67|Power On @ Relay 0"
  "255 16 1|55 FF 12 00 00 00 10 76|Power On @ Relay 16"
  "10 13 1|55 0A 12 00 00 00 0D 7E|Power On @ Relay 13"
  "17 9 0|55 11 11 00 00 00 09 80|Power Off @ Relay 9"
  "19 10 1|55 13 12 00 00 00 0A 84|Power On @ Relay 10"
  "127 4 0|55 7F 11 00 00 00 04 E9|Power Off @ Relay 4"
  "160 16 0|55 A0 11 00 00 00 10 16|Power Off @ Relay 16"
  "-243 007 1x|55 0D 12 00 00 00 07 7B|Power On @ Relay 7"
  "258 all On|55 02 11 00 00 00 00 68|Power Off @ Relay 0"
)
for row in "${frames[@]}"; do
  IFS='|' read -r numbers frame power_line <<<"${row}"
  read -r address relay power <<<"${numbers}"
  expect_run "frame ${numbers}" 0 "${frame}" -- "${port}" "${address}" "${relay}" "${power}" \
    -- "$(configured)" "${power_line}"
done

# Started with standard output, error or input closed, the command must not
# use one of those numbers or handles for the port: its own lines would go
# onto the line around the frame. The board gets the frame alone.
# Standard output into a pipe whose reader has gone (7) must not stop the
# frame either.
exec 7> >(exit 0)
# Not `wait $!`: with the substitution already reaped, bash 5.2 was seen to
# wait there on the board instead, for good.
reader=$!
wait_until 5 eval '! kill -0 "${reader}" 2>/dev/null'
closed_streams=('>&-' '2>&- >&-' '<&- 2>&- >&-' '>&7')
# Wine 8 started with standard input and output both closed gives its own
# connection to its server the free numbers, and hands them to the program
# as standard handles: the first line printed breaks that connection and
# Wine ends the run, with status 0, before the frame. That is Wine's, not
# the command's, so under Wine standard input stays open.
[ "${mode}" = windows ] && closed_streams=('>&-' '2>&- >&-' '>&7')
for closed in "${closed_streams[@]}"; do
  eval 'run_command "${port}" 1 3 1 '"${closed}"
  code=$?
  next_event
  [ "${code}" = 0 ] && [[ "${event}" == *'"event":"frame","bytes":"55 01 12 00 00 00 03 6B"'*'"applied":true'* ]] &&
    pass || fail "run with ${closed}: status ${code}, the board did not get the frame" "${event}"
  expect_board_quiet "run with ${closed}: the board got more than the frame"
done
exec 7>&-

# A write held by flow control (here the line's output stopped, as an XOFF
# with IXON stops it) waits as long as the line stays stopped. A caller that
# stops the run with timeout must still find the configured line in its
# file, and nothing of the frame reaches the board.
line_flow "${board_path}" TCOOFF
# Long enough for the look at its lock and a second run under the
# sanitizers or an emulator on a busy machine (a Wine start takes its time).
held_for=8
timeout "${held_for}" "${command[@]}" "${port}" 1 3 1 >"${work}/held" 2>"${work}/stderr" &
held_pid=$!
wait_until 5 test -s "${work}/held"
if [ "${mode}" = native ] && [ -s "${work}/held" ]; then
  # It holds the port by a lock of its own, as minicom does, gone once timeout ends it.
  own_lock=$(realpath "${board_path}") && own_lock=/run/lock/LCK..$(sed 's|^/dev/||; s|/|_|g' <<<"${own_lock}")
  own_pid=$(tr -d ' \n' <"${own_lock}" 2>/dev/null)
  [ -n "${own_pid}" ] && kill -0 "${own_pid}" && pass || fail "a held run's own lock ${own_lock}: pid '${own_pid}'"
  # The held run keeps the port locked until it ends. Should the lock not
  # hold, this run would wait on the stopped line too: timeout ends it.
  command=(timeout 10 "${command[@]}")
  expect_run "port locked by a held run" 2 - -- "${port}" 1 3 1 -- "GetCommState failed with error 9."
  command=("${command[@]:2}")
fi
wait "${held_pid}"
code=$?
[ -z "${own_lock:-}" ] || [ ! -e "${own_lock}" ] && pass || fail "the lock of a run ended by timeout is left: ${own_lock}"
want=$(expected_output "$(configured)"; echo .)
got=$(cat "${work}/held"; echo .)
[ "${code}" = 124 ] && [ "${got}" = "${want}" ] && pass ||
  fail "write held by XOFF, stopped by timeout: status ${code}, wanted 124" \
    "stdout: $(printf %q "${got%.}")" "wanted: $(printf %q "${want%.}")" "stderr: $(cat "${work}/stderr")"
line_flow "${board_path}" TCOON
expect_board_quiet "write held by XOFF: the board received bytes after the run was stopped"

# Nothing reaches the port unless every check passed.
long_name=$(printf 'p%.0s' $(seq 300))
expect_run "no arguments" 1 - -- -- "${usage_lines[@]}"
expect_run "three arguments" 1 - -- "${port}" 1 3 -- "${usage_lines[@]}"
expect_run "five arguments" 1 - -- "${port}" 1 3 1 1 -- "${usage_lines[@]}"
for bad in "17 1" "-1 1" "3 2" "3 -1" "4294967299 1"; do
  read -r relay power <<<"${bad}"
  expect_run "relay ${relay} power ${power}" 1 - -- "${port}" 1 "${relay}" "${power}" \
    -- "***Please check you parameters!" "${usage_lines[@]}"
done
expect_run "name too long" 1 - -- "${long_name}" 1 3 1 \
  -- "***Please check you parameters!" "${usage_lines[@]}"

# Ports that cannot be used.
if [ "${mode}" = windows ]; then
  expect_run "bare name in lower case" 0 "55 01 12 00 00 00 03 6B" -- com12 1 3 1 \
    -- "$(configured com12)" "Power On @ Relay 3"
  expect_run "missing port" 2 - -- COM77 1 3 1 -- "GetCommState failed with error 6."
  expect_doctor "on a missing port" 2 '[blocks] missing: There is no port COM77' COM77
  expect_doctor "on a folder" 2 '[blocks] not-a-serial-port: C:\windows is no serial' 'C:\windows'
  expect_run "not a serial port" 2 - -- NUL 1 3 1 -- "GetCommState failed with error 6."
  # A port held by another program is not tested here: Wine does not refuse
  # a second unshared open of a serial device, as Windows' serial driver does.
  # kavnori-switch.exe: a switch as Kavnori.exe's; a pulse's on and off 0.5 s
  # apart; a pulse whose caller is killed after its on still gets its off from
  # the release, a process of its own. Wine shows no job or console of Windows'.
  if [ -n "${KAVNORI_SWITCH:-}" ]; then
    command=("${wine_run}" "${KAVNORI_SWITCH}")
    expect_run "kavnori-switch.exe, a switch" 0 "55 01 12 00 00 00 03 6B" -- COM12 1 3 1 \
      -- "$(configured)" "Power On @ Relay 3"
    got=$(run_command --frob COM12 1 2 1 2>&1 >/dev/null; echo ".$?")
    [[ "${got}" == $'kavnori-switch: unknown option\r\nusage: '*$'RELAY\r\n.1' ]] && pass ||
      fail "usage error, with CR LF" "${got}"
    us() { [[ "$1" =~ \"bytes\":\"$2\".*\"monotonic_us\":([0-9]+) ]] && echo "${BASH_REMATCH[1]}"; }
    # expect_pulse NAME ON_FRAME OFF_FRAME: on, then off 0.5 s (-0.05, +0.1) later.
    expect_pulse() {
      next_event && on=$(us "${event}" "$2") && next_event && off=$(us "${event}" "$3") &&
        [ $((off - on)) -ge 450000 ] && [ $((off - on)) -lt 600000 ] && pass ||
        fail "$1: on and off 0.5 s apart" "${on:-} ${off:-} ${event}"
    }
    got=$(run_command --pulse 0.5 COM12 1 4 2>"${work}/stderr"; echo ".$?")
    [ "${got}" = "$(expected_output "$(configured)" "Power On @ Relay 4" "$(configured)" \
      "Power Off @ Relay 4"; echo .0)" ] && stderr_quiet && pass || fail "pulse's lines" "${got}"
    expect_pulse "pulse" "55 01 12 00 00 00 04 6C" "55 01 11 00 00 00 04 6B"
    # interrupt SIGNAL RELAY: a pulse whose caller, Wine's process itself, gets SIGNAL once
    # the board has its on (job control: a script's background job ignores SIGINT otherwise).
    interrupt() {
      set -m; "${command[@]}" --pulse 0.5 COM12 1 "$2" >/dev/null 2>"${work}/stderr" &
      caller=$! && set +m
      wait_until 5 lines_over "${board_out}" $((events_read + 1)) && kill "-$1" "${caller}"
      wait "${caller}" 2>/dev/null
    }
    interrupt KILL 5
    pgrep -f -- "--release-of .*COM12 1 5 " >/dev/null && pass || fail "the release is its own process"
    expect_pulse "killed caller's pulse" "55 01 12 00 00 00 05 6D" "55 01 11 00 00 00 05 6C"
    interrupt INT 7  # Wine passes SIGINT on as Ctrl+C
    expect "Ctrl+C while holding" \
      "130 kavnori-switch: COM12: stopped by Ctrl+C; the final frame still goes out at its time" \
      "$? $(tr -d '\r' <"${work}/stderr")"
    expect_pulse "Ctrl+C while holding" "55 01 12 00 00 00 07 6F" "55 01 11 00 00 00 07 6E"
    # --background: the on's lines, and its output's end long before the off.
    # Not its standard error: Wine gives every process its parent's Unix one.
    got=$(run_command --background --pulse 2 COM12 1 6 2>"${work}/stderr" | cat
      echo ".${PIPESTATUS[0]}")
    ! lines_over "${board_out}" $((events_read + 2)) && [ "${got}" = "$(expected_output \
      "$(configured)" "Power On @ Relay 6"; echo .0)" ] && pass || fail "--background" "${got}"
    next_event && next_event && [[ "${event}" == *'"bytes":"55 01 11 00 00 00 06 6D"'* ]] && pass ||
      fail "--background's off" "${event}"
    command=("${wine_run}" "${kavnori}")
  fi
else
  expect_run "missing port" 2 - -- /dev/kavnori-missing 1 3 1 -- "GetCommState failed with error 9."
  expect_run "not a serial port" 2 - -- /dev/null 1 3 1 -- "GetCommState failed with error 25."
  # The holder itself keeps the locked descriptor, so killing it frees the port.
  (
    exec 9<>"${board_path}"
    flock --exclusive 9
    exec sleep 30
  ) &
  holder_pid=$!
  sleep 0.3
  expect_run "port held and locked by another program" 2 - -- "${port}" 1 3 1 \
    -- "GetCommState failed with error 9."
  # A board killed with -9, its pid given to a new board in a pid namespace of
  # their own (root only): the old board's link leads nowhere, not into the new one.
  if [ "${mode}" = native ] && [ "$(id -u)" = 0 ]; then
    reused=$(TMPDIR=${work} unshare -p -f --mount-proc bash -c '. "$0"; start_virtual_board "$1" "$2/old" --link "$2/link"
      old=${board_pid} && kill -9 "${old}" && wait "${old}" 2>/dev/null; echo $((old - 1)) >/proc/sys/kernel/ns_last_pid
      start_virtual_board "$1" "$2/new"; [ "${board_pid}" = "${old}" ] || echo "pid ${board_pid}, not ${old}"
      "${@:3}" "$2/link" 1 3 1; echo "status $?"; sleep 0.3; kill "${board_pid}"; wait; sed 1d "$2/new"' \
      "$(dirname "$0")/../../scripts/virtual-board.sh" "${simulator}" "${work}" "${command[@]}" 2>&1)
    [ "${reused}" = $'GetCommState failed with error 9.\nstatus 2' ] && pass ||
      fail "a killed board's link, its pid given to a new board: status 2, nothing sent" "${reused}"
  fi
fi
if [ -n "${holder_pid}" ]; then
  kill "${holder_pid}" 2>/dev/null
  wait "${holder_pid}" 2>/dev/null
  holder_pid=""
fi

# Once free again, the port works as before.
expect_run "port free again" 0 "55 01 11 00 00 00 00 67" -- "${port}" 1 0 0 \
  -- "$(configured)" "Power Off @ Relay 0"

# kavnori-doctor on the board's terminal, as this user and as nobody (root
# only): each row lays out what a user meets, and the doctor must name it by
# its code, with the holder's pid where there is one. It must leave the
# line's settings as they were and send the board nothing.
#   NAME|WHO|SETUP|UNDO|STATUS|CODES|PID
step() { local text=${1//PORT/${board_path}}; eval "${text//LOCK/${lock_file}}"; }
hold() { "$@" & holder_pid=$! && wait_until 5 test -s "${work}/held-open"; }
stop_holder() { kill "${holder_pid}" && wait "${holder_pid}" 2>/dev/null; holder_pid="" && rm -f "${work}/held-open"; }
flocked() { exec 9<>"${board_path}" && flock -x 9 && echo >"${work}/held-open" && exec sleep 30; }
# As screen does; TIOCEXCL outlives the holder on a terminal, so it clears it when stopped.
exclusive() {
  exec /usr/bin/python3 -c 'import fcntl, os, signal, sys, termios, time
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
fcntl.ioctl(fd, termios.TIOCEXCL)
signal.signal(signal.SIGTERM, lambda *_: sys.exit(fcntl.ioctl(fd, termios.TIOCNXCL) and 0))
open(sys.argv[2], "w").write("1")
time.sleep(30)' "${board_path}" "${work}/held-open"
}
# The holder has the port open, as minicom has; an unrelated process does not.
uucp_lock() {
  "${holder_program:-sleep}" 30 9<>"${board_path}" & holder_pid=$!
  printf '%10d\n' "${1:-${holder_pid}}" >"${lock_file}" && wait_until 5 test -e "/proc/${holder_pid}/fd/9"
}
unrelated_lock() { sleep 30 & unrelated_pid=$! && printf '%10d\n' "${unrelated_pid}" >"${lock_file}"; }
for_group() { chgrp "$1" "${board_path}" && chmod "$2" "${board_path}"; }
# Another user's link in sticky, world-writable /tmp, which the kernel will not follow.
others_link() { doctor_port=$(mktemp -u /tmp/kavnori-link.XXXXXX) && setpriv --reuid=nobody --regid=nogroup --clear-groups ln -s "${board_path}" "${doctor_port}"; }
# A program named ModemManager (a copy of sleep) with the port open, as ModemManager opens a modem's.
modem_manager() {
  cp /bin/sleep "${work}/ModemManager"
  "${work}/ModemManager" 30 9<>"${board_path}" & holder_pid=$!
  wait_until 5 test -e "/proc/${holder_pid}/fd/9"
}
restore_port() { chgrp "${port_mode% *}" "${board_path}" && chmod "${port_mode#* }" "${board_path}"; }
doctor_rows=(
  "ready|self|:|:|0||"
  "software flow control left on|self|stty -F PORT ixon|stty -F PORT -ixon|0|software-flow|"
  "hardware flow control left on, CTS unknown|self|stty -F PORT crtscts|stty -F PORT -crtscts|3|hardware-flow|"
  "held by a flock|self|hold flocked|stop_holder|2|held-by-lock|pid"
  "made exclusive (TIOCEXCL)|self|hold exclusive|stop_holder|2|exclusive|"
  "a live UUCP lock file|self|uucp_lock|rm LOCK; stop_holder|2|uucp-lock|pid"
  "a stale UUCP lock file|self|uucp_lock 999999|rm LOCK; stop_holder|0|uucp-lock-stale open-by-other|pid"
  "ModemManager has the port open|self|modem_manager|stop_holder|0|modemmanager|pid"
  "HUPCL left on|self|stty -F PORT hupcl|stty -F PORT -hupcl|0|hupcl|"
  "a lock of a live pid with no file of the port open|self|unrelated_lock|rm LOCK; kill \${unrelated_pid}|2|uucp-lock|"
  "the same, seen by another user|dialout|for_group dialout 660; unrelated_lock|rm LOCK; kill \${unrelated_pid}; restore_port|2|uucp-lock|"
  "a live holder's lock dated 2020, the clock stepped since|self|uucp_lock; touch -d 2020-01-01 LOCK|rm LOCK; stop_holder|2|uucp-lock|pid"
  "an empty lock file|self|: >LOCK|rm LOCK|2|uucp-lock|"
  "a live lock under the name of the user's own link|self|ln -s PORT \${work}/board1; doctor_port=\${work}/board1; uucp_lock; mv LOCK /run/lock/LCK..board1|rm /run/lock/LCK..board1 \${doctor_port}; doctor_port=; stop_holder|2|uucp-lock|pid"
  "a live lock file this user may not read|dialout|for_group dialout 660; uucp_lock; chmod 600 LOCK|rm LOCK; stop_holder; restore_port|2|uucp-lock|"
  "another user's link in sticky /tmp|root|others_link|rm \"\${doctor_port}\"; doctor_port=|2|protected-symlink|"
  "another user, not in the port's group|nobody|for_group dialout 660|restore_port|2|permission|"
  "another user in the port's group|dialout|for_group dialout 660|restore_port|0||"
  "another user in the group, which may not read|dialout|for_group dialout 620|restore_port|2|permission|"
  "user uucp, in group uucp by login but not in this session|uucp|for_group uucp 660|restore_port|2|group-not-active|"
  "another user, made exclusive|dialout|for_group dialout 660; hold exclusive|stop_holder; restore_port|2|exclusive|"
)
if [ "${mode}" = native ] && [ -n "${doctor}" ]; then
  pts_name=${board_path#/dev/}
  lock_file=/run/lock/LCK..${pts_name//\//_}
  port_mode=$(stat -c '%g %a' "${board_path}")
  stty -F "${board_path}" -crtscts -ixon -ixoff -hupcl
  # Debian's settings for sticky folders, restored at the end.
  saved=$(sysctl -n fs.protected_regular fs.protected_symlinks 2>/dev/null | xargs)
  [ "$(id -u)" = 0 ] && sysctl -qw fs.protected_regular=2 fs.protected_symlinks=1 &&
    sticky_settings="fs.protected_regular=${saved% *} fs.protected_symlinks=${saved#* }"
  for row in "${doctor_rows[@]}"; do
    IFS='|' read -r name who setup undo status codes pid <<<"${row}"
    [ "${who}" = self ] || [ "$(id -u)" = 0 ] || continue
    [ "${who}" != root ] || [ -n "${sticky_settings:-}" ] || continue
    as=()
    [ "${who}" = self ] || [ "${who}" = root ] || as=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
    [ "${who}" = dialout ] && as=(setpriv --reuid=nobody --regid=nogroup --groups=dialout)
    [ "${who}" = uucp ] && as=(setpriv --reuid=uucp --regid=nogroup --clear-groups)
    step "${setup}"
    before=$(stty -F "${board_path}" -g 2>/dev/null) # a non-root stty meets TIOCEXCL too
    json=$(timeout 20 "${as[@]}" "${doctor}" --json "${doctor_port:-${board_path}}" 2>"${work}/stderr")
    code=$?
    after=$(stty -F "${board_path}" -g 2>/dev/null)
    held_by=${holder_pid}
    step "${undo}"
    found=$(grep -o '"code": "[^"]*"' <<<"${json}" | cut -d'"' -f4 | xargs)
    [ "${code}" = "${status}" ] && [ "${found}" = "${codes}" ] && [ "${before}" = "${after}" ] &&
      stderr_quiet && { [ -z "${pid}" ] || [[ "${json}" == *"\"pid\": ${held_by},"* ]]; } &&
      pass || fail "doctor, ${name}: status ${code}, wanted ${status}; codes '${found}', wanted '${codes}'" \
        "${json}" "settings before ${before}, after ${after}" "$(cat "${work}/stderr")"
  done
  board_quiet && pass || fail "the doctor sent the board bytes" "$(tail -n 3 "${board_out}")"
  [ -z "${sticky_settings:-}" ] || { sysctl -qw ${sticky_settings} && sticky_settings=""; }
fi

# A holder named $(touch X) (a copy of sleep): the fix quotes the name, and
# each fix line pasted into sh (kill, sudo and stty stubbed) runs nothing.
if [ "${mode}" = native ] && [ -n "${doctor}" ] && mkdir "${work}/paste" && cd "${work}/paste"; then
  cp /bin/sleep "\$(touch X)" && holder_program="./\$(touch X)" uucp_lock ""
  text=$("${doctor}" "${board_path}"); stop_holder; rm -f "${lock_file}"
  sed -n 's/^  fix: //p' <<<"${text}" | while IFS= read -r line; do sh -c 'kill() { :; }; sudo() { :; }; stty() { :; }; eval "$1"' sh "${line}" 2>/dev/null; done
  [[ "${text}" == *"fix: close '\$(touch X)', or: kill "* ]] && [ ! -e X ] && pass || fail "doctor, a holder named \$(touch X): quoted, and pasting runs nothing" "${text}"
  cd - >/dev/null || exit 1
fi

# TIOCEXCL left on the board's terminal by a program that has gone (root only,
# to clear it after): the doctor names the board as no holder to kill.
if [ "${mode}" = native ] && [ -n "${doctor}" ] && [ "$(id -u)" = 0 ]; then
  excl() { /usr/bin/python3 -c 'import fcntl, os, sys, termios
fcntl.ioctl(os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY), getattr(termios, sys.argv[2]))' "${board_path}" "$1"; }
  excl TIOCEXCL; text=$("${doctor}" "${board_path}"); excl TIOCNXCL
  [[ "${text}" == *"only the virtual board relay-board-sim (pid ${board_pid}) has it open"* && "${text}" != *kill* ]] &&
    pass || fail "doctor, TIOCEXCL left on the board's terminal: the board named, no kill advised" "${text}"
fi

echo "e2e ${mode}: ${passed} passed, ${failed} failed"
[ "${failed}" -eq 0 ]
