#!/usr/bin/env bash
# kavnori-switch's timed switching against the virtual board, whose events
# carry the time each frame was read: a pulse's hold, callers killed in every
# way a caller dies, the newest command winning, a port held during the hold,
# a cycle whose off fails, and the last commanded state.
#
#   run-switch.sh SWITCH SIMULATOR
set -u
switch=$1 simulator=$2
here=$(dirname "$0")
. "${here}/../test-kit.sh"
work=$(mktemp -d)
board_pid=""
cleanup() {
  [ -n "${board_pid}" ] && kill "${board_pid}" 2>/dev/null && wait "${board_pid}" 2>/dev/null
  rm -rf "${work}" "/run/lock/kavnori-state-${lock_name:-none}-1" && rmdir "/run/lock/kavnori-${lock_name:-none}" 2>/dev/null
}
trap cleanup EXIT
start_board "${work}/board.jsonl"
port=${board_path} lock_name=${board_path#/dev/} lock_name=${lock_name//\//_}
seen=1
rm -f "/run/lock/kavnori-state-${lock_name}-1" # an earlier board's on this pts
chmod 0666 "${board_path}"                     # for the other users' runs
as_user() { if [ "$(id -u)" -eq 0 ]; then setpriv --reuid="$1" --regid="$1" --clear-groups "${@:2}"; else "${@:2}"; fi; }

# look HOLD_MS [EARLY_MS [LATE_MS]]: the board's frames since the last look,
# once none came for 0.8 s, in ${seen_relays}: for each relay, "RELAY pulse"
# for on then off HOLD_MS apart (EARLY_MS, 100 by default, early to LATE_MS,
# 1000, late, by the times the board read them: the test's machine may be
# busy; the benchmark measures the timing), or else its frames as they came.
look() {
  local lines=0
  while sleep 0.8 && [ "$(wc -l <"${work}/board.jsonl")" -ne "${lines}" ]; do lines=$(wc -l <"${work}/board.jsonl"); done
  seen_relays=$(tail -n +$((seen + 1)) "${work}/board.jsonl" | head -n $((lines - seen)) |
    sed -n 's/.*"relay":\([0-9]*\),"power":"\([a-z]*\)".*"monotonic_us":\([0-9]*\).*/\1 \2 \3/p' |
    awk -v want="$1" -v early="${2:-100}" -v late="${3:-1000}" '{ seq[$1] = seq[$1] " " $2; if ($2 == "on") on[$1] = $3; else gap[$1] = ($3 - on[$1]) / 1000 }
      END { for (r in seq) print r, (seq[r] == " on off" && gap[r] >= want - early && gap[r] <= want + late) ? "pulse" : seq[r] ((r in gap) ? " (" gap[r] " ms)" : "") }' |
    sort -n)
  seen=${lines}
}

for row in "--pulse 0.05" "--pulse 3600.5" "--pulse 1.2345" "--pulse 1e3" "--cycle" "--background ${port} 1 2 1" \
  "--state ${port} 1 0" "--pulse 1 ${port} 1" "--frob ${port} 1 2 1"; do
  # shellcheck disable=SC2086
  "${switch}" ${row} >/dev/null 2>&1
  expect "usage error: ${row}" 1 $?
done

"${switch}" --state "${port}" 1 3
expect "state of a relay never switched: unknown, status 3" 3 $?
got=$("${switch}" --pulse 0.3 "${port}" 1 3; echo ".$?")
expect "pulse: both frames' lines, status 0" "$(expected_output "Serial port [${port}] configured." "Power On @ Relay 3" \
  "Serial port [${port}] configured." "Power Off @ Relay 3"; echo .)0" "${got}"
look 300
expect "pulse: on, then off 0.3 s later" "3 pulse" "${seen_relays}"
"${switch}" --background --pulse 1 "${port}" 1 4 >/dev/null && state=$(as_user 64101 "${switch}" --state "${port}" 1 4; echo ".$?") &&
  "${switch}" --pulse 0.4 "${port}" 1 5 >/dev/null
[[ "${state}" =~ ^on,\ off\ at\ [0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3}$'\n'\.0$ ]] && pass || fail "state during a pulse, read by another user" "${state}"
look 1000
expect "two relays' pulses overlap, each keeps its time" "4 pulse" "$(grep -v '^5 ' <<<"${seen_relays}")"
as_user 64102 "${switch}" "${port}" 1 4 1 >/dev/null
expect "state after another user's switch" "on.0 off.1" "$("${switch}" --state "${port}" 1 4).$? $("${switch}" --state "${port}" 1 5).$?"

# The newest command wins: on during a pulse's hold leaves it on; off ends it
# at once, with no second off.
"${switch}" --background --pulse 0.5 "${port}" 1 6 >/dev/null && "${switch}" "${port}" 1 6 1 >/dev/null
"${switch}" --background --pulse 0.5 "${port}" 1 7 >/dev/null && "${switch}" "${port}" 1 7 0 >/dev/null
sleep 0.6 && look 0
expect "newest wins: on during the hold stays on; off during it comes at once, and once" \
  "4  on"$'\n'"6  on on"$'\n'"7 pulse" "${seen_relays}"

# Port held by another program when the final frame is due: tried again
# until it is free, then sent and reported late; a cycle's on goes out even
# when its off found the port held.
device=$(readlink -f "${port}")
"${switch}" --pulse 0.2 "${port}" 1 8 >/dev/null 2>"${work}/late.err" &
sleep 0.1 && flock "${device}" sleep 0.8 && wait $!
status=$? && look 0
expect "port held during the hold: status 0, the off reported late" "0 8  on off late by" \
  "${status} ${seen_relays% (*} $(grep -o 'late by' "${work}/late.err")"
flock "${device}" sleep 0.5 & sleep 0.1
"${switch}" --pulse 0.2 "${port}" 1 10 >/dev/null 2>&1
status=$? && "${switch}" --cycle 0.2 "${port}" 1 9 >/dev/null 2>&1
status+=" $?" && look 0
expect "port held: a pulse sends nothing; a cycle's on goes out though its off found it held" "2 2 9  on" "${status} ${seen_relays}"
expect "state after a late final frame" "off; late" \
  "$("${switch}" --state "${port}" 1 8 | sed 's/; the final frame due at .* went out late/; late/')"
if [ "$(id -u)" -eq 0 ]; then
  expect "state with a fresh /run/lock: unknown" "unknown.3" \
    "$(unshare --mount sh -c 'mount -t tmpfs tmpfs /run/lock && "$@"; echo ".$?"' sh "${switch}" --state "${port}" 1 9 | tr -d '\n')"
fi

# Callers killed at a random moment, 16 at once on relays 1-16, each in one
# of four ways: SIGKILL of the switch, of its process group (timeout), a
# hang-up of its session (its terminal gone), Python's subprocess.run
# timeout. A run whose on went out gets exactly one off 0.15 s later; one
# killed before its on sends nothing; one killed at its on's very write may
# still send its off (never an on without one).
kinds=""
for batch in $(seq 1 13); do
  callers=()
  for relay in $(seq 1 16); do
    delay=0.$(printf '%03d' $((RANDOM % 250)))
    pulse=("${switch}" --pulse 0.15 "${port}" 1 "${relay}")
    case $((relay % 4)) in
      0) "${pulse[@]}" & sleep "${delay}" && kill -KILL $! ;;
      1) timeout -s KILL "${delay}" "${pulse[@]}" ;;
      2) timeout -s KILL "${delay}" script -qec "${pulse[*]}" /dev/null ;;
      3) /usr/bin/python3 -c 'import subprocess, sys
try: subprocess.run(sys.argv[2:], timeout=float(sys.argv[1]), capture_output=True)
except subprocess.TimeoutExpired: pass' "${delay}" "${pulse[@]}" ;;
    esac >/dev/null 2>&1 &
    callers+=($!)
  done
  wait "${callers[@]}"
  look 150 100 3000 # 16 runs at once: the on's write may come late after its go, the off wait its turn
  kinds+=$(awk '{ $1 = ""; print }' <<<"${seen_relays}")$'\n'
done
bad=$(grep -vx -e ' pulse' -e ' off (.* ms)' -e '' <<<"${kinds}")
expect "208 killed callers: every on followed by one off at its time" "" "${bad}"
[ "$(grep -c pulse <<<"${kinds}")" -gt 20 ] && [ "$(grep -c . <<<"${kinds}")" -lt 200 ] && pass ||
  fail "killed callers: both kinds seen (killed before the on, and after)" "${kinds}"

echo "switch: ${passed} passed, ${failed} failed"
[ "${failed}" -eq 0 ]
