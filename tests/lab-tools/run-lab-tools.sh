#!/usr/bin/env bash
# The lab tools: labgrid's pytest plugin (alone and through pdudaemon) and
# pdudaemon switch relays of the virtual board through the files in examples/,
# used as they are. Kavnori and kavnori-switch are put on PATH under their
# own names, as installed.
#
#   run-lab-tools.sh KAVNORI SIMULATOR SWITCH
set -u
if [ "$#" -ne 3 ] || [ ! -x "$1" ] || [ ! -x "$2" ] || [ ! -x "$3" ]; then
  echo "usage: $0 KAVNORI SIMULATOR SWITCH (the built Linux command, relay-board-sim, kavnori-switch)" >&2
  exit 2
fi
root=$(cd "$(dirname "$0")/../.." && pwd)
. "${root}/tests/test-kit.sh"
labgrid_env="${root}/examples/labgrid/relay-target.yaml"
labgrid_test="${root}/examples/labgrid/test_power.py"
pdu_conf="${root}/examples/pdudaemon/pdudaemon.conf"
simulator=$2

work=$(mktemp -d)
mkdir "${work}/bin"
ln -s "$(cd "$(dirname "$1")" && pwd)/$(basename "$1")" "${work}/bin/Kavnori"
ln -s "$(cd "$(dirname "$3")" && pwd)/$(basename "$3")" "${work}/bin/kavnori-switch"
export PATH="${work}/bin:${PATH}"
# Python must not leave caches in the examples folder.
export PYTHONDONTWRITEBYTECODE=1

board_pids=()
daemon_pid=""
ser2net_pid=""
sticky_settings=""
# pdudaemon stops on SIGTERM; one that hangs is killed after 5 s.
stop_daemon() {
  [ -n "${daemon_pid}" ] || return 0
  kill -TERM "${daemon_pid}" 2>/dev/null
  wait_until 5 eval '! kill -0 "${daemon_pid}" 2>/dev/null'
  kill -KILL "${daemon_pid}" 2>/dev/null
  wait "${daemon_pid}" 2>/dev/null
  daemon_pid=""
}
cleanup() {
  stop_daemon
  local pid
  for pid in ${ser2net_pid} "${board_pids[@]}"; do
    kill -TERM "${pid}" 2>/dev/null && wait "${pid}" 2>/dev/null
  done
  [ -z "${sticky_settings}" ] || sysctl -qw ${sticky_settings}
  rmdir /run/lock/kavnori-pts_{"${board_1_pts:-}","${board_2_pts:-}"} 2>/dev/null
  rm -f /run/lock/kavnori-state-pts_{"${board_1_pts:-}","${board_2_pts:-}"}-1
  rm -rf "${work}"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

# expect_line NAME LINE FILE: FILE must hold LINE as a whole line.
expect_line() {
  grep -qxF -- "$2" "$3" && pass || { fail "$1" "no line: $2"; sed 's/^/    | /' "$3" | tail -n 30; }
}

# ---- The boards: relay-board-1 and relay-board-2, each on its own port ----

start_named_board() {
  start_board "${work}/$1.jsonl" --link "${work}/$1"
  board_pids+=("${board_pid}")
}

# What a board saw after its ready line, once COUNT reports are in (or 5 s
# passed) and a frame gap went by with nothing more: "ADDRESS RELAY POWER"
# for each frame applied, any other report whole.
#   board_saw NAME COUNT
board_saw() {
  local reports="${work}/$1.jsonl"
  wait_until 5 lines_over "${reports}" "$2"
  sleep 0.2
  sed -n '2,$p' "${reports}" | sed -E \
    's/^\{"event":"frame","bytes":"[^"]*","address":([0-9]+),"relay":([0-9]+),"power":"(on|off)",.*"applied":true\}$/\1 \2 \3/'
}

start_named_board relay-board-1
board_1_pts=${board_path#/dev/pts/}
start_named_board relay-board-2
board_2_pts=${board_path#/dev/pts/}

# ---- labgrid: the pytest plugin powers the target on, off, and cycles it ----

# run_labgrid ENV LG_NAME=VALUE...: runs the example's tests in environment ENV,
# output in ${work}/labgrid.out, status in ${labgrid_status}.
run_labgrid() {
  (cd "${work}" && env "${@:2}" /usr/bin/python3 -m pytest -p no:cacheprovider \
    --lg-env "$1" "${labgrid_test}") >"${work}/labgrid.out" 2>&1
  labgrid_status=$?
}

run_labgrid "${labgrid_env}" LG_RELAY_PORT="${work}/relay-board-1"
expect "labgrid: pytest status" 0 "${labgrid_status}"
grep -qE '^=+ 3 passed in [0-9.]+s =+$' "${work}/labgrid.out"
expect "labgrid: the three tests pass" 0 $?
expect "labgrid: on, off, then the cycle's off and on, relay 3 of board 1 only" \
  "1 3 on"$'\n'"1 3 off"$'\n'"1 3 off"$'\n'"1 3 on" "$(board_saw relay-board-1 4)"

# A board that is not there: every test fails, saying why.
run_labgrid "${labgrid_env}" LG_RELAY_PORT="${work}/no-such-port"
expect "labgrid, missing port: pytest status" 1 "${labgrid_status}"
for wanted in "'${work}/no-such-port', '1', '3', '1']' returned non-zero exit status 2." \
  "GetCommState failed with error 9."; do
  grep -qF -- "${wanted}" "${work}/labgrid.out"
  expect "labgrid, missing port: the report holds: ${wanted}" 0 $?
done
expect "labgrid, missing port: the board saw nothing more" 4 "$(board_saw relay-board-1 4 | wc -l)"

# ---- pdudaemon: HTTP requests queued per board, each run through Kavnori ----

daemon_log="${work}/pdudaemon.log"

# The example's settings with only the listener's port moved to a free one.
http_port=$(/usr/bin/python3 - "${pdu_conf}" "${work}/pdudaemon.conf" <<'EOF'
import json, socket, sys
with open(sys.argv[1]) as f:
    settings = json.load(f)
with socket.socket() as s:
    s.bind(("127.0.0.1", 0))
    settings["daemon"]["port"] = s.getsockname()[1]
with open(sys.argv[2], "w") as f:
    json.dump(settings, f)
print(settings["daemon"]["port"])
EOF
)

# Its log and the commands' lines both go where the packaged unit sends them
# (the journal); here, one file.
export RELAY_BOARD_1="${work}/relay-board-1" RELAY_BOARD_2="${work}/relay-board-2"
/usr/sbin/pdudaemon --conf "${work}/pdudaemon.conf" >"${daemon_log}" 2>&1 &
daemon_pid=$!
wait_until 10 eval 'grep -q " INFO Listening on " "${daemon_log}" || ! kill -0 "${daemon_pid}" 2>/dev/null'
grep -q " INFO Listening on 127.0.0.1:${http_port}\$" "${daemon_log}"
expect "pdudaemon: started and listening" 0 $?
expect "pdudaemon: every socket it listens on is on the loopback address" \
  "127.0.0.1:${http_port}" "$(ss -Hlntup | grep "pid=${daemon_pid}," | awk '{print $5}' | sort -u)"

# pdu_request ACTION BOARD RELAY: one request over HTTP; pdudaemon answers
# once the command has run. Prints the reply's body.
pdu_request() {
  local reply
  exec 3<>"/dev/tcp/127.0.0.1/${http_port}" || return 1
  printf 'GET /power/control/%s?hostname=%s&port=%s HTTP/1.0\r\n\r\n' "$1" "$2" "$3" >&3
  reply=$(timeout 10 cat <&3)
  exec 3<&-
  printf '%s' "${reply#*$'\r\n\r\n'}"
}

accepted="OK - accepted request"
for request in "on relay-board-1 3" "on relay-board-2 5" "off relay-board-1 3" "off relay-board-2 5"; do
  read -r action board relay <<<"${request}"
  expect "pdudaemon: ${request} answered" "${accepted}" "$(pdu_request "${action}" "${board}" "${relay}")"
done
expect "pdudaemon: board 1 saw relay 3 on then off, once each" \
  "1 3 on"$'\n'"1 3 off" "$(board_saw relay-board-1 6 | tail -n +5)"
expect "pdudaemon: board 2 saw relay 5 on then off, once each" \
  "2 5 on"$'\n'"2 5 off" "$(board_saw relay-board-2 2)"
expect "pdudaemon: the log holds each run's status and Kavnori's lines, in order" \
  "$(printf '%s\n' \
    "relay-board-1 relay 3 on: status 0: Serial port [${RELAY_BOARD_1}] configured. Power On @ Relay 3" \
    "relay-board-2 relay 5 on: status 0: Serial port [${RELAY_BOARD_2}] configured. Power On @ Relay 5" \
    "relay-board-1 relay 3 off: status 0: Serial port [${RELAY_BOARD_1}] configured. Power Off @ Relay 3" \
    "relay-board-2 relay 5 off: status 0: Serial port [${RELAY_BOARD_2}] configured. Power Off @ Relay 5")" \
  "$(grep '^relay-board-' "${daemon_log}")"

# Board 2 unplugged: pdudaemon still answers OK; only the log tells.
kill -TERM "${board_pids[1]}" && wait "${board_pids[1]}"
expect "pdudaemon, board gone: the request is still accepted" "${accepted}" \
  "$(pdu_request on relay-board-2 5)"
expect_line "pdudaemon, board gone: the log holds Kavnori's status and line" \
  "relay-board-2 relay 5 on: status 2: GetCommState failed with error 9." "${daemon_log}"

# Board 2's name now leads to board 1's port, two boards on one bus: the two
# PDUs' queues run at once, and their runs take turns on the port's lock.
ln -s "$(readlink "${RELAY_BOARD_1}")" "${RELAY_BOARD_2}"
(for r in {1..10}; do pdu_request on relay-board-1 "$r" & pdu_request on relay-board-2 "$r" & done >/dev/null; wait)
expect "pdudaemon, one port: 20 requests at once, every frame arrived, once" \
  "$(printf '%s\n' {1,2}' '{1..10}' on' | sort)" "$(board_saw relay-board-1 26 | tail -n +7 | sort)"

run_labgrid "${root}/examples/labgrid/relay-target-pdudaemon.yaml" LG_PDUDAEMON="127.0.0.1:${http_port}"
expect "labgrid through pdudaemon: the tests' on, off, then the reboot's off and on, relay 3 of board 1" \
  "1 3 on"$'\n'"1 3 off"$'\n'"1 3 off"$'\n'"1 3 on" "$(board_saw relay-board-1 30 | tail -n +27)"

# A held write is stopped by timeout, and logged so. The other PDU's run waits
# on the lock meanwhile; only its frame arrives, once the line moves again.
line_flow "${RELAY_BOARD_1}" TCOOFF
pdu_request on relay-board-1 4 >/dev/null & held_pid=$!
lock="/run/lock/kavnori-pts_${board_1_pts}"
wait_until 5 eval '! flock -n "${lock}/." true' # till it is taken
pdu_request on relay-board-2 5 >/dev/null & waiting_pid=$!
wait "${held_pid}"; line_flow "${RELAY_BOARD_1}" TCOON; wait "${waiting_pid}"
expect_line "pdudaemon, held write: logged as timed out" "relay-board-1 relay 4 on: status 124: Serial port\
 [${RELAY_BOARD_1}] configured. kavnori-switch: ${RELAY_BOARD_1}: timed out after 5 s; the frame was\
 discarded from the output queue" "${daemon_log}"
expect "pdudaemon, held write: only the waiting run's frame arrived" "2 5 on" "$(board_saw relay-board-1 31 | tail -n +31)"

stop_daemon
expect "pdudaemon: stopped, nothing listens on its port" "" "$(ss -Hlnt "sport = :${http_port}")"

# One-shot mode, with the example's file itself.
/usr/sbin/pdudaemon --conf "${pdu_conf}" --drive --hostname relay-board-1 --port 7 --request on \
  >"${work}/drive.log" 2>&1
expect_line "pdudaemon --drive: the log holds Kavnori's lines and status" \
  "relay-board-1 relay 7 on: status 0: Serial port [${RELAY_BOARD_1}] configured. Power On @ Relay 7" \
  "${work}/drive.log"
expect "pdudaemon --drive: board 1 saw relay 7 on, once" "1 7 on" "$(board_saw relay-board-1 32 | tail -n +32)"

# A switch stopped (INT as from a terminal, not ignored as by a background
# job) stops what it started: nothing arrives once the lock and line are free.
for row in "TERM 143 lock nothing sent" "INT 130 lock nothing sent" "HUP 129 lock nothing sent" \
  "TERM 143 write the frame may not have gone out"; do
  read -r signal status stage wanted <<<"${row}"
  [ "${stage}" == write ] && line_flow "${RELAY_BOARD_1}" TCOOFF || { exec 8<"${lock}/." && flock 8; }
  env --default-signal=INT kavnori-switch "${RELAY_BOARD_1}" 1 15 1 >"${work}/stopped.out" 2>"${work}/stopped.err" 8<&- &
  # Waiting for the lock: its flock(2) stands in /proc/locks as a waiter (->).
  [ "${stage}" == lock ] && ready='awk -v pid=$! '\''$2 == "->" && $6 == pid'\'' /proc/locks | grep -q .' ||
    ready='test -s "${work}/stopped.out"'
  wait_until 5 eval "${ready}"; kill -"${signal}" $!; wait $!
  expect "switch stopped by ${signal} (${stage}): status, its line" \
    "${status} kavnori-switch: ${RELAY_BOARD_1}: stopped by SIG${signal}; ${wanted}" "$? $(cat "${work}/stopped.err")"
  exec 8<&-; line_flow "${RELAY_BOARD_1}" TCOON
done
# Killed by KILL, as subprocess.run(timeout=) does, while its write is held.
line_flow "${RELAY_BOARD_1}" TCOOFF; timeout -s KILL 1.5 kavnori-switch "${RELAY_BOARD_1}" 1 15 1 >"${work}/killed.out" 2>&1
status=$?; line_flow "${RELAY_BOARD_1}" TCOON; sleep 0.5
expect "switch stopped or killed: nothing arrived afterwards" 32 "$(($(wc -l <"${work}/relay-board-1.jsonl") - 1))"
expect "switch killed: status, nothing printed after" "137 Serial port [${RELAY_BOARD_1}] configured." "${status} $(cat "${work}/killed.out")"

# Two users and root on one port's lock, with Debian's settings for sticky
# folders such as /run/lock; then a name that another user put in the lock's
# place (a link, a file) turns root's run away, and nothing is made through it.
[ "$(id -u)" -eq 0 ] && saved=$(sysctl -n fs.protected_regular fs.protected_symlinks) &&
  sticky_settings="fs.protected_regular=${saved%$'\n'*} fs.protected_symlinks=${saved#*$'\n'}"
if [ -z "${sticky_settings}" ] || ! sysctl -qw fs.protected_regular=2 fs.protected_symlinks=1; then
  echo "lab-tools: two users on one port skipped: needs root and a writable fs.protected_regular"
else
  device=$(readlink -f "${RELAY_BOARD_1}")
  chmod 0666 "${device}" && chmod 0711 "${work}" && rm -rf "${lock}" "/run/lock/kavnori-state-pts_${board_1_pts}-1"
  for user in "64101 ${device} 11" "64102 ${device} 12" "0 ${RELAY_BOARD_1} 13"; do
    read -r uid port relay <<<"${user}"
    setpriv --reuid="${uid}" --regid="${uid}" --clear-groups kavnori-switch "${port}" 1 "${relay}" 1 >/dev/null
    expect "user ${uid} on the port's shared lock: status" 0 $?
  done
  expect "two users and root: each frame arrived" "1 11 on"$'\n'"1 12 on"$'\n'"1 13 on" \
    "$(board_saw relay-board-1 35 | tail -n +33)"
  expect "two users and root: the state the first one made kept each one's frame" "on on on " \
    "$(for relay in 11 12 13; do setpriv --reuid=64102 --regid=64102 --clear-groups kavnori-switch --state "${device}" 1 "${relay}"; done | tr '\n' ' ')"
  # With Debian's settings, which guard only a link at the end of a path, and
  # with both off, as on other systems: only the script's care stands.
  for settings in "2 1" "0 0"; do
    sysctl -qw fs.protected_regular="${settings% *}" fs.protected_symlinks="${settings#* }"
    for hostile in "ln -s ${work}/made-through-it" "ln -s /etc" "touch"; do
      rm -rf "${lock}" && setpriv --reuid=64103 --regid=64103 --clear-groups ${hostile} "${lock}"
      kavnori-switch "${RELAY_BOARD_1}" 1 14 1 >/dev/null 2>&1
      expect "lock's name taken by another user (${hostile}, ${settings}): status, files made" "66 " "$? $(ls "${work}" | grep made)"
    done
  done
  rm -f "${lock}"
  expect "lock's name taken: nothing sent" 35 "$(($(wc -l <"${work}/relay-board-1.jsonl") - 1))"
fi

# labgrid on a board on another machine: the examples' ser2net config, on
# this machine's loopback address and board 1, and their network target.
seen=$(($(wc -l <"${work}/relay-board-1.jsonl") - 1)) net_port=$((20000 + RANDOM % 20000))
sed -e "s/192\.168\.10\.5,3001/127.0.0.1,${net_port}/" -e "s|/dev/serial/by-id/[^,]*|${RELAY_BOARD_1}|" \
  "${root}/examples/ser2net/ser2net.yaml" >"${work}/ser2net.yaml"
ser2net -n -d -c "${work}/ser2net.yaml" >"${work}/ser2net.log" 2>&1 &
ser2net_pid=$!
wait_until 5 eval '[ -n "$(ss -Hlnt "sport = :${net_port}")" ]'
run_labgrid "${root}/examples/labgrid/relay-target-network.yaml" LG_RELAY_HOST=127.0.0.1 LG_RELAY_TCP_PORT="${net_port}"
expect "labgrid through the examples' ser2net: pytest status; on, off, then the cycle's off and on" \
  "0 1 3 on"$'\n'"1 3 off"$'\n'"1 3 off"$'\n'"1 3 on" "${labgrid_status} $(board_saw relay-board-1 $((seen + 4)) | tail -n +$((seen + 1)))"
rmdir "/run/lock/kavnori-rfc2217-127.0.0.1_${net_port}" && rm "/run/lock/kavnori-state-rfc2217-127.0.0.1_${net_port}-1"

# Home Assistant: the example's commands on board 1's port, as it runs them (sh, KILL at the
# time-out), the state command's status read as the state (0 on, anything else off).
mapfile -t ha < <(/usr/bin/python3 - "${root}/examples/home-assistant/configuration.yaml" "${RELAY_BOARD_1}" <<'EOF'
import re, sys, yaml
conf = yaml.safe_load(open(sys.argv[1]))
s = conf["command_line"][0]["switch"]
for c in s["command_on"], s["command_off"], s["command_state"], conf["shell_command"]["press_pc_power_button"]:
    print(re.sub(r"/dev/serial/by-id/\S+", sys.argv[2], c))
print(s["command_timeout"])
EOF
)
ha_run() { timeout -s KILL "$1" sh -c "$2" >/dev/null 2>&1; echo $?; }
ha_state() { [ "$(ha_run "${ha[4]}" "${ha[2]}")" -eq 0 ] && echo on || echo off; }
seen=$(($(wc -l <"${work}/relay-board-1.jsonl") - 1))
expect "Home Assistant: switched on, then its state" "0 on" "$(ha_run "${ha[4]}" "${ha[0]}") $(ha_state)"
expect "Home Assistant: switched off, then its state" "0 off" "$(ha_run "${ha[4]}" "${ha[1]}") $(ha_state)"
# The power button's pulse, its caller killed during the hold: the off still comes, on time.
expect "Home Assistant: the pulse's caller killed at 0.3 s" 137 "$(ha_run 0.3 "${ha[3]}")"
expect "Home Assistant: the board saw on, off, then the pulse's on and off" "1 3 on"$'\n'"1 3 off"$'\n'"1 4 on"$'\n'"1 4 off" \
  "$(board_saw relay-board-1 $((seen + 4)) | tail -n +$((seen + 1)))"
read -r on off < <(tail -n 2 "${work}/relay-board-1.jsonl" | grep -o '"monotonic_us":[0-9]*' | cut -d: -f2 | paste -sd' ')
expect "Home Assistant: the pulse's off 0.45 to 0.65 s after its on ($((off - on)) us)" 1 $((off - on >= 450000 && off - on <= 650000))
expect "Home Assistant: the state after the pulse" off "$(ha_state)"

echo "lab-tools: ${passed} passed, ${failed} failed"
[ "${failed}" -eq 0 ]
