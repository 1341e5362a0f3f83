#!/usr/bin/env bash
# Many runs of the real command at once against one virtual board.
#
# Each round starts a fresh board, then RUNS copies of the command, each with
# a frame of its own (address, relay and power differ), held at a gate and
# released together. Afterwards:
#   - a run that exited 0 printed its two lines, and its frame reached the
#     board whole, applied, exactly once;
#   - any other run exited 2 with exactly the refused-port line, and its
#     frame never reached the board;
#   - the board reported nothing else: no error event of any kind (a torn or
#     interleaved frame shows as stray_bytes, short_frame, bad_checksum...),
#     and as many applied frames as runs that exited 0.
# To know that the board has read everything the batch wrote, one more run is
# made alone after it (the closing run); the pty hands bytes on in order, so
# once its frame is reported, every earlier byte has been.
#
#   run-concurrent.sh native  KAVNORI SIMULATOR ROUNDS RUNS
#   run-concurrent.sh windows KAVNORI_EXE SIMULATOR ROUNDS RUNS WINE_RUN WINEPREFIX
set -u
mode=$1 kavnori=$2 simulator=$3 rounds=$4 runs=$5
wine_run=${6:-} wineprefix=${7:-}

if [ "${runs}" -lt 1 ] || [ "${runs}" -gt 255 ]; then
  echo "RUNS must be 1 to 255: every run of a round needs an address of its own"
  exit 2
fi

. "$(dirname "$0")/../test-kit.sh"

work=$(mktemp -d)
board_pid=""
run_pids=()

cleanup() {
  local pid
  for pid in "${run_pids[@]}"; do kill -KILL "${pid}" 2>/dev/null; done
  stop_board
  rm -rf "${work}"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

# ---- The platform ----

if [ "${mode}" = windows ]; then
  command_prefix=("${wine_run}" "${kavnori}")
  line_end=$'\r\n'
  # A port that does not open leaves INVALID_HANDLE_VALUE: ERROR_INVALID_HANDLE.
  refused_error=6
  # e2e uses com12; this one is the stress suite's own.
  link_args=(--link "${wineprefix}/dosdevices/com13")
else
  command_prefix=("${kavnori}")
  line_end=$'\n'
  # The open or the lock failed: the descriptor stays -1, EBADF.
  refused_error=9
  link_args=()
fi

# ---- The board ----

board_out="${work}/board.jsonl"

start_round_board() {
  start_board "${board_out}" "${link_args[@]}"
  if [ "${mode}" = windows ]; then port=COM13; else port=${board_path}; fi
}

stop_board() {
  [ -z "${board_pid}" ] && return 0
  kill -TERM "${board_pid}" 2>/dev/null
  wait "${board_pid}" 2>/dev/null
  local status=$?
  board_pid=""
  return "${status}"
}

# Waits up to 10 s for the board to report FRAME_BYTES; true when it did.
board_reported() { wait_until 10 grep -q "\"bytes\":\"$1\"" "${board_out}"; }

# ---- Frames and runs ----

# The frame as a board must receive it: 55, address, 12 on / 11 off, three
# zeros, relay, then the 8-bit sum of the seven bytes before.
frame_for() {
  local address=$1 relay=$2 power=$3 command=$((0x11 + $3))
  local sum=$(((0x55 + address + command + relay) & 0xFF))
  printf '55 %02X %02X 00 00 00 %02X %02X' "${address}" "${command}" "${relay}" "${sum}"
}

power_word() { if [ "$1" = 1 ]; then echo On; else echo Off; fi; }

# The exact standard output in file $1, then a dot.
output_of() { cat "$1"; echo .; }

# ---- One round ----

total_runs=0 total_exit0=0 total_exit2=0 total_frames=0

run_round() {
  local round=$1
  local i address relay power
  local -a addresses=() relays=() powers=() frames=() codes=()
  start_round_board

  # Every run waits at the gate for a shared lock, which the round holds
  # exclusively until all of them are started; then all go at once.
  local gate="${work}/gate"
  : >"${gate}"
  exec {gate_fd}>"${gate}"
  flock --exclusive "${gate_fd}"
  run_pids=()
  for ((i = 0; i < runs; i++)); do
    address=$(((round * runs + i) % 256))
    relay=$((i % 17))
    power=$((i % 2))
    addresses[i]=${address} relays[i]=${relay} powers[i]=${power}
    frames[i]=$(frame_for "${address}" "${relay}" "${power}")
    (
      exec {gate_fd}>&-
      flock --shared 9
      exec 9<&-
      exec "${command_prefix[@]}" "${port}" "${address}" "${relay}" "${power}"
    ) 9<"${gate}" >"${work}/out.${round}.${i}" 2>"${work}/err.${round}.${i}" &
    run_pids[i]=$!
  done
  flock --unlock "${gate_fd}"
  exec {gate_fd}>&-
  for ((i = 0; i < runs; i++)); do
    wait "${run_pids[i]}"
    codes[i]=$?
  done
  run_pids=()

  # The closing run, alone on the port: it must get it.
  local closing_address=$(((round * runs + runs) % 256))
  local closing_frame
  closing_frame=$(frame_for "${closing_address}" 16 1)
  local closing_out="${work}/out.${round}.closing" closing_err="${work}/err.${round}.closing"
  "${command_prefix[@]}" "${port}" "${closing_address}" 16 1 >"${closing_out}" 2>"${closing_err}"
  local closing_code=$?
  [ "${closing_code}" = 0 ] && [ ! -s "${closing_err}" ] &&
    [ "$(output_of "${closing_out}")" = "$(expected_output "Serial port [${port}] configured." \
      "Power On @ Relay 16"; echo .)" ] && pass ||
    fail "round ${round}: the closing run, alone on the port, exited ${closing_code}" \
      "stdout: $(printf %q "$(output_of "${closing_out}")")" "stderr: $(head -c 2000 "${closing_err}")"
  board_reported "${closing_frame}" && pass ||
    fail "round ${round}: the board never reported the closing run's frame ${closing_frame}"
  # Nothing on stderr, checked before the board goes: under Wine, the board's
  # pty becomes the wineserver's controlling terminal, and its hang-up makes
  # the wineserver dump its object table on the stderr it was started with,
  # which may be a run's own (once the runs have ended).
  for ((i = 0; i < runs; i++)); do
    [ ! -s "${work}/err.${round}.${i}" ] && pass || fail "round ${round} run ${i}: wrote to stderr" \
      "$(head -c 2000 "${work}/err.${round}.${i}" | tr -d '\0')"
  done
  stop_board && pass || fail "round ${round}: the board did not end cleanly" "$(cat "${board_out}.err")"

  # Everything the board reported after its ready line, frame by frame.
  local -A seen=()
  local line bytes applied=0 closing_seen=0
  while IFS= read -r line; do
    if [[ "${line}" =~ ^\{\"event\":\"frame\",\"bytes\":\"([0-9A-F ]+)\".*\"applied\":true\}$ ]]; then
      bytes=${BASH_REMATCH[1]}
      if [ "${bytes}" = "${closing_frame}" ]; then
        closing_seen=$((closing_seen + 1))
      else
        seen[${bytes}]=$((${seen[${bytes}]:-0} + 1))
        applied=$((applied + 1))
      fi
    else
      fail "round ${round}: the board reported something other than a whole applied frame" "${line}"
    fi
  done < <(tail -n +2 "${board_out}")
  [ "${closing_seen}" = 1 ] && pass || fail "round ${round}: closing frame seen ${closing_seen} times"

  local exit0=0 exit2=0 count applies
  for ((i = 0; i < runs; i++)); do
    count=${seen[${frames[i]}]:-0}
    unset "seen[${frames[i]}]"
    local name="round ${round} run ${i} (${addresses[i]} ${relays[i]} ${powers[i]})" got want
    got=$(output_of "${work}/out.${round}.${i}")
    case "${codes[i]}" in
      0)
        exit0=$((exit0 + 1)) applies=1
        want=$(expected_output "Serial port [${port}] configured." \
          "Power $(power_word "${powers[i]}") @ Relay ${relays[i]}"; echo .)
        ;;
      2)
        exit2=$((exit2 + 1)) applies=0
        want=$(expected_output "GetCommState failed with error ${refused_error}."; echo .)
        ;;
      *)
        fail "${name}: exited ${codes[i]}" "stdout: $(printf %q "${got}")"
        continue
        ;;
    esac
    [ "${got}" = "${want}" ] && pass ||
      fail "${name}: exited ${codes[i]} with other output" "stdout: $(printf %q "${got}")" \
        "wanted: $(printf %q "${want}")"
    [ "${count}" = "${applies}" ] && pass ||
      fail "${name}: exited ${codes[i]} but the board applied ${frames[i]} ${count} times"
  done
  # Frames that no run of this round sent.
  for bytes in "${!seen[@]}"; do
    fail "round ${round}: the board applied ${bytes}, which no run sent (${seen[${bytes}]} times)"
  done
  [ "${applied}" = "${exit0}" ] && pass ||
    fail "round ${round}: ${applied} frames applied, ${exit0} runs exited 0"
  # The port is free at the start: the first run to lock it must succeed.
  [ "${exit0}" -ge 1 ] && pass || fail "round ${round}: no run got the free port"

  printf 'round %d: %d runs, %d exited 0, %d exited 2, %d frames checked (+1 closing run)\n' \
    "${round}" "${runs}" "${exit0}" "${exit2}" "${applied}"
  : $((total_runs += runs, total_exit0 += exit0, total_exit2 += exit2, total_frames += applied))
}

# Under Wine, the first program to find no wineserver starts one, which keeps
# that program's stderr. The wineserver takes the board's pty as its
# controlling terminal, so a board that stops (here, another test's too)
# sends it SIGHUP, on which this Wine dumps its object table to that stderr.
# Started here first, with stderr to /dev/null, it belongs to none of the runs.
if [ "${mode}" = windows ]; then
  wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
  wineprefix=$(cd "${wineprefix}" && pwd)
  # Returns once the server listens; it ends by itself 30 s after its last
  # client. A server already running for the prefix (another test's) is used
  # as it is.
  WINEPREFIX=${wineprefix} "${wineserver}" --persistent=30 2>/dev/null ||
    echo "note: a wineserver already runs for ${wineprefix}; the runs use it"
fi

for ((round = 0; round < rounds; round++)); do
  run_round "${round}"
done

printf 'stress %s: %d runs, %d exited 0, %d exited 2, %d frames checked in %d rounds\n' \
  "${mode}" "${total_runs}" "${total_exit0}" "${total_exit2}" "${total_frames}" "${rounds}"
echo "stress ${mode}: ${passed} passed, ${failed} failed"
[ "${failed}" -eq 0 ]
