#!/usr/bin/env bash
# Network ports (rfc2217://HOST:PORT): the real command against Debian's own
# ser2net, started here in the foreground on the loopback address with a
# config of our own, in front of the virtual board; and against a small fake
# server for what ser2net will not do on demand. Every run's status and
# exact output are checked, and every frame as the board received it.
#
#   run-network.sh native  KAVNORI SIMULATOR [EMULATOR...]
#   run-network.sh windows KAVNORI_EXE SIMULATOR WINE_RUN
set -u
mode=$1 kavnori=$2 simulator=$3 wine_run=${4:-}
shift 3
here=$(dirname "$0")
. "${here}/../test-kit.sh"

work=$(mktemp -d)
board_pid="" ser2net_pid="" holder_pid="" far_ns=""
cleanup() {
  [ -n "${far_ns}" ] && ip netns del "${far_ns}" && ip route del blackhole "${far_ip}/32" 2>/dev/null
  for pid in "${holder_pid}" "${ser2net_pid}" "${board_pid}"; do
    [ -n "${pid}" ] && kill "${pid}" 2>/dev/null && wait "${pid}" 2>/dev/null
  done
  rm -rf "${work}"
}
trap cleanup EXIT

command=(timeout 30 "$@" "${kavnori}") line_end=$'\n'
[ "${mode}" = windows ] && command=(timeout 60 "${wine_run}" "${kavnori}") line_end=$'\r\n'

board_out="${work}/board.jsonl" events_read=0
start_board "${board_out}"
# The frames the board got since the last look, each with its line settings.
# The board reports a frame a moment after ser2net has answered for it,
# longer on a busy machine: with an argument, a frame is awaited (up to 10 s;
# a number: that many); without, a short look finds none that should not
# have come.
board_got() {
  if [ -n "${1:-}" ]; then wait_until 10 new_frames "${1}"; else sleep 0.3; fi
  frames=$(tail -n +$((events_read + 2)) "${board_out}" | grep '"event":"frame"' |
    sed 's/.*"bytes":"\([^"]*\)".*"line":{"baud":\([0-9]*\),"data_bits":\([0-9]\),"parity":"\([a-z]*\)","stop_bits":\([0-9]\).*/\1 @\2 \3\4\5/')
  heard=$(($(wc -l <"${board_out}") - 1 - events_read)) events_read=$((events_read + heard))
}
new_frames() {
  local want=1
  [[ "$1" =~ ^[0-9]+$ ]] && want=$1
  [ "$(tail -n +$((events_read + 2)) "${board_out}" | grep -c '"event":"frame"')" -ge "${want}" ]
}

# Three accepters on the one board: the RFC 2217 one with the far port at
# 19200 until a client sets it, a raw tcp one, and labgrid's exporter's.
# Below the kernel's ephemeral ports (32768 up), which any program's
# connections take at random.
base=$((20000 + RANDOM % 12000))
cat >"${work}/ser2net.yaml" <<EOF
connection: &rfc2217
  accepter: telnet(rfc2217),tcp,127.0.0.1,${base}
  connector: serialdev(nouucplock=true),${board_path},19200n81,local
  options:
    kickolduser: false
connection: &raw
  accepter: tcp,127.0.0.1,$((base + 1))
  connector: serialdev(nouucplock=true),${board_path},9600n81,local
connection: &labgrid
  accepter: telnet(rfc2217,mode=server),tcp,127.0.0.1,$((base + 2))
  connector: serialdev(nouucplock=true),${board_path},115200n81,local
  options:
    max-connections: 10
connection: &telnet
  accepter: telnet,tcp,127.0.0.1,$((base + 4))
  connector: serialdev(nouucplock=true),${board_path},9600n81,local
connection: &nodevice
  accepter: telnet(rfc2217),tcp,127.0.0.1,$((base + 5))
  connector: serialdev(nouucplock=true),${work}/no-such-device,9600n81,local
EOF
ser2net -n -d -c "${work}/ser2net.yaml" >"${work}/ser2net.log" 2>&1 &
ser2net_pid=$!
listening() { ss -ltn | grep -q "127.0.0.1:$((base + 2)) "; }
wait_until 5 listening || { echo "ser2net did not start: $(cat "${work}/ser2net.log")"; exit 1; }

# expect_network NAME STATUS FRAME_OR_- NAME ARGS -- EXPECTED_LINES (PORT: the port's name)...
expect_network() {
  local name=$1 status=$2 frame=$3 got code
  shift 3
  local args=()
  while [ "$1" != -- ]; do args+=("$1"); shift; done
  shift
  set -- "${@//PORT/${args[0]}}"
  got=$("${command[@]}" "${args[@]}" 2>&1; echo ".$?")
  code=${got##*.}
  expect "${name}: status" "${status}" "${code}"
  expect "${name}: output" "$(expected_output "$@"; echo .)" "${got%.*}."
  board_got "${frame/-/}"
  expect "${name}: the board got" "${frame/-/}" "${frames}"
}
configured() { printf 'Serial port [%s] configured.' "$1"; }
rfc=rfc2217://127.0.0.1:${base}

# ---- ser2net ----
expect_network "address 255: 0xFF doubled on the wire, once on the line, far port 19200 set to 9600" \
  0 "55 FF 12 00 00 00 03 69 @9600 8none1" "${rfc}" 255 3 1 -- "$(configured PORT)" "Power On @ Relay 3"
# Under Wine, each start costs seconds: the .exe gets the rows that reach its
# own code (Winsock's connect, its codes, the Telnet path), not the repeats.
native() { [ "${mode}" = native ]; }
native && expect_network "by name, all relays off" 0 "55 01 11 00 00 00 00 67 @9600 8none1" \
  "rfc2217://localhost:${base}" 1 0 0 -- "$(configured PORT)" "Power Off @ Relay 0"
# Back to back, each status 0 is a frame carried at 9600, though ser2net
# puts its port back as soon as the client leaves.
native && { for _ in $(seq 30); do "${command[@]}" "${rfc}" 1 3 1 >/dev/null || break; done; board_got 30
  expect "30 runs back to back: frames carried" "30 0" "$(grep -c 9600 <<<"${frames}") $((heard - 30))"; }
# With standard output closed, our lines must not go to the far line.
native && { "${command[@]}" "${rfc}" 1 4 1 >&- 2>&-; expect "standard output closed: status" 0 $?; board_got 1
  expect "standard output closed: the far line got" "55 01 12 00 00 00 04 6C @9600 8none1, 1" "${frames}, ${heard}"; }
native && expect_network "labgrid exporter's form" 0 "55 02 12 00 00 00 10 79 @9600 8none1" \
  "rfc2217://127.0.0.1:$((base + 2))" 2 16 1 -- "$(configured PORT)" "Power On @ Relay 16"

# hold_port: another client takes the RFC 2217 port and keeps it; back once
# ser2net has spoken to it (a slow start on a busy machine must not let
# the run in first).
hold_port() {
  rm -f "${work}/held"
  /usr/bin/python3 -c 'import socket, sys, time
s = socket.create_connection(("127.0.0.1", int(sys.argv[1]))); s.recv(1)
open(sys.argv[2], "w").close(); time.sleep(30)' "${base}" "${work}/held" &
  holder_pid=$!
  wait_until 10 test -e "${work}/held"
}

# Another client holds the port: ser2net agrees to the options, then says
# "Port already in use" and closes (the code depends on which comes first).
hold_port
got=$("${command[@]}" "${rfc}" 1 1 1 2>&1; echo ".$?")
[[ "${got//$'\r'/}" =~ ^GetCommState\ failed\ with\ error\ (32|104|10053|10054)\.$'\n'\.2$ ]] &&
  pass || fail "in use by another client: status 2" "${got}"
board_got
expect "in use by another client: the board got" "" "${frames}"
kill "${holder_pid}" 2>/dev/null; wait "${holder_pid}" 2>/dev/null
holder_pid=""

# kavnori-switch takes turns on a network port under a lock named from the
# address its host leads to (localhost's, like [::1]'s, is 127.0.0.1's): the
# run waits while another holds that lock, then switches; then a pulse.
if native && [ -n "${KAVNORI_SWITCH:-}" ]; then
  lock="/run/lock/kavnori-rfc2217-127.0.0.1_${base}"
  mkdir -p "${lock}"
  # The holder marks when it has the lock and when it lets go; the switch
  # starts once the lock is held and must end after the letting go, however
  # slow a busy machine makes either.
  flock "${lock}" sh -c ': >"$1/locked"; sleep 1; : >"$1/let-go"' sh "${work}" &
  holder_pid=$!
  wait_until 10 test -e "${work}/locked"
  by_name="rfc2217://localhost:${base}"
  got=$("$@" "${KAVNORI_SWITCH}" "${by_name}" 1 5 1 2>&1; echo ".$?")
  expect "kavnori-switch on a network port" "$(expected_output "$(configured "${by_name}")" "Power On @ Relay 5"; echo .)0" "${got}"
  [ -e "${work}/let-go" ] && pass || fail "kavnori-switch waited for the lock's holder"
  board_got x
  expect "kavnori-switch on a network port: the board got" "55 01 12 00 00 00 05 6D @9600 8none1" "${frames}"
  got=$("$@" "${KAVNORI_SWITCH}" --pulse 0.5 "${rfc}" 1 6 2>&1; echo ".$?")
  board_got 2
  expect "kavnori-switch --pulse on a network port: status, the board got on then off" \
    ".0 55 01 12 00 00 00 06 6E @9600 8none1 55 01 11 00 00 00 06 6D @9600 8none1" "${got##*$'\n'} ${frames//$'\n'/ }"
  wait "${holder_pid}" && holder_pid="" && rmdir "${lock}" && rm -f "/run/lock/kavnori-state-rfc2217-127.0.0.1_${base}-1"
fi

# ---- no RFC 2217 server ----
if [ "${mode}" = windows ]; then
  timed_out=10060 refused=10061 not_found=11001 reset=10054 invalid=10022 no_rfc2217=10043
else
  timed_out=110 refused=111 not_found=2 reset=104 invalid=22 no_rfc2217=93
fi
# refused_at NAME PORT CODE: the open fails with CODE; the board gets nothing.
refused_at() { expect_network "$1" 2 - "$2" 1 1 1 -- "GetCommState failed with error $3."; }
# A raw port's far line must get nothing, not even a Telnet offer.
native && refused_at "a raw tcp accepter agrees to nothing" "${rfc%:*}:$((base + 1))" "${timed_out}" &&
  expect "a raw tcp accepter: the far line got" 0 "${heard}"
refused_at "nothing listening" "${rfc%:*}:$((base + 3))" "${refused}"
refused_at "a name not found" "rfc2217://nohost.invalid:${base}" "${not_found}"
native && refused_at "telnet, no rfc2217" "${rfc%:*}:$((base + 4))" "${no_rfc2217}"
native && refused_at "far device missing" "${rfc%:*}:$((base + 5))" 19
native && refused_at "a link-local address on a link without it" "rfc2217://[fe80::1%lo]:${base}" 101
native && refused_at "no port number" "rfc2217://127.0.0.1" "${invalid}"

# ---- the fake server ----
# fake_run MODE NAME STATUS EXPECTED_LINES...: one run against the fake
# server in MODE, named rfc2217://127.0.0.1:<its port>.
# The server under far_at at far_ip, cutting the path with far_cut; the run under run_with.
far_at=() far_ip=127.0.0.1 far_cut="" run_with=("${command[@]}")
fake_run() {
  local fake_mode=$1 name=$2 status=$3 fake_pid port
  shift 3
  rm -f "${work}/fake.port"
  "${far_at[@]}" /usr/bin/python3 "${here}/fake_rfc2217_server.py" "${fake_mode}" "${work}/fake.port" \
    "${far_ip}" "${far_cut}" &
  fake_pid=$!
  wait_until 5 test -s "${work}/fake.port"
  port=rfc2217://${far_ip}:$(cat "${work}/fake.port")
  local lines=("${@//PORT/${port}}")
  local got code
  got=$("${run_with[@]}" "${port}" 1 1 1 2>&1; echo ".$?")
  code=${got##*.}
  expect "${name}: status" "${status}" "${code}"
  expect "${name}: output" "$(expected_output "${lines[@]}"; echo .)" "${got%.*}."
  # A queued segment is retried within 0.5 s of its route's return.
  [ -n "${far_cut}" ] && ip route del blackhole "${far_ip}/32" && sleep 3
  kill "${fake_pid}" 2>/dev/null
  wait "${fake_pid}" 2>/dev/null
  fake_got=$(cat "${work}/fake.port.got")
  [ -z "${far_cut}" ] || expect "${name}: the far end got after the cut" "" "${fake_got#*| }"
}
native && fake_run wrong-speed "an answer of 19200 to 9600" 3 "SetCommState failed with error ${invalid}."
native && fake_run silent "a server that never answers" 2 "GetCommState failed with error ${timed_out}."
fake_run chatter "a raw port whose far line talks" 2 "GetCommState failed with error ${no_rfc2217}."
expect "a raw port whose far line talks: the far end got" "" "${fake_got}"
native && fake_run mute-settings "no answer to the settings" 3 "SetCommState failed with error ${timed_out}."
fake_run drop-barrier "dropped before the barrier's answer" 4 "$(configured PORT)" \
  "WriteFile failed with error ${reset}."

# ---- a path that stops carrying packets (a Wi-Fi drop): the fake server in a namespace,
# behind a veth pair, cuts it before the last answer; the frame waits in the socket's queue.
# However the run ends, nothing may reach the far end once the path is back.
if native && [ "$(id -u)" = 0 ] && ip netns add "kavnori-far-$$"; then
  far_ns=kavnori-far-$$ far_ip=10.213.$((RANDOM % 250)).2
  ip link add "kvn$$" type veth peer name "kvf$$" netns "${far_ns}"
  ip addr add "${far_ip%.2}.1/30" dev "kvn$$" && ip link set "kvn$$" up
  ip -n "${far_ns}" addr add "${far_ip}/30" dev "kvf$$" && ip -n "${far_ns}" link set "kvf$$" up
  far_at=(ip netns exec "${far_ns}") far_cut="nsenter --net=/proc/$$/ns/net ip route add blackhole ${far_ip}/32"
  fake_run stall "path cut, barrier unanswered" 4 "$(configured PORT)" "WriteFile failed with error ${timed_out}."
  run_with=(timeout --preserve-status -s TERM 1.5 "${command[@]:2}") # the signal to Kavnori itself
  fake_run stall "path cut, run stopped by TERM" 143 "$(configured PORT)"
  run_with=(timeout -s KILL 1.5 "${command[@]:2}")
  fake_run stall "path cut, run killed" 137 "$(configured PORT)"
fi

# ---- kavnori-doctor: it only asks, and tells the cases apart ----
# expect_doctor NAME STATUS TEXT PORT: its JSON holds TEXT; the board gets
# nothing.
expect_doctor() {
  local got code
  got=$("${doctor}" --json "$4" 2>&1)
  code=$?
  [ "${code}" = "$2" ] && [[ "${got}" == *"$3"* ]] && pass ||
    fail "kavnori-doctor $1: status ${code}, wanted $2 and $3" "${got}"
  board_got
  expect "kavnori-doctor $1: the board got" "" "${frames}"
}
doctor=${KAVNORI_DOCTOR:-}
if native && [ -n "${doctor}" ]; then
  # The far port as ser2net opens it for a client, at 19200: queried, not set.
  expect_doctor "ready" 0 '"code": "far-port", "severity": "note", "message": "the far port is at 19200 8 none 1; Kavnori sets 9600 8 none 1 on each run.", "fix": "", "speed": 19200, "data-bits": 8' "${rfc}"
  expect_doctor "nothing listening" 2 '"code": "nothing-listening"' "rfc2217://127.0.0.1:$((base + 3))"
  expect_doctor "a name not found" 2 '"code": "name-not-found"' "rfc2217://nohost.invalid:${base}"
  expect_doctor "no RFC 2217" 2 '"code": "no-rfc2217"' "rfc2217://127.0.0.1:$((base + 1))"
  expect "kavnori-doctor no RFC 2217: the far line got" 0 "${heard}"
  expect_doctor "telnet, no rfc2217" 2 "port $((base + 4)) speaks Telnet but refuses RFC 2217." "${rfc%:*}:$((base + 4))"
  expect_doctor "far device missing" 2 '"code": "far-device-fails"' "${rfc%:*}:$((base + 5))"
  hold_port
  expect_doctor "in use by another client" 2 '"code": "in-use"' "${rfc}"
fi

echo "network ${mode}: ${passed} passed, ${failed} failed"
[ "${failed}" -eq 0 ]
