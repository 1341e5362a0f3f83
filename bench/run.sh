#!/usr/bin/env bash
# Times one switch with Kavnori against the virtual board, side by side with
# what a user would otherwise run (a pyserial one-shot, an stty + printf
# one-liner) and with the floor (a process that only sleeps Kavnori's 5 ms
# pause) and with kavnori-switch; then measures Kavnori's peak memory,
# instructions and heap calls; then kavnori-switch's pulse as the board sees
# it; then kavnori-doctor's check of one port and listing of 64; then one
# network switch through ser2net on loopback, beside pyserial's rfc2217://
# one-shot.
#
#   bash bench/run.sh [BUILD_DIR]      (default build/native; ROUNDS=50, PULSES=10)
#
# Not a test: it prints figures and asserts nothing about speed.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build/native}
rounds=${ROUNDS:-50}
pulses=${PULSES:-10}
warmup=3
kavnori="${build}/Kavnori"
switcher="${build}/switch/kavnori-switch"
sim="${build}/sim/relay-board-sim"
doctor="${build}/doctor/kavnori-doctor"
if [ ! -x "${kavnori}" ] || [ ! -x "${switcher}" ] || [ ! -x "${sim}" ] || [ ! -x "${doctor}" ]; then
  echo "bench: ${kavnori}, ${switcher}, ${sim} or ${doctor} is missing; build first:" >&2
  echo "  cmake --preset native && cmake --build --preset native" >&2
  exit 1
fi
if ! [ "${rounds}" -ge 30 ] 2>/dev/null; then
  echo "bench: ROUNDS must be a number from 30" >&2
  exit 1
fi
if ! [ "${pulses}" -ge 1 ] 2>/dev/null; then
  echo "bench: PULSES must be a number from 1" >&2
  exit 1
fi

# What the benchmark itself needs (Debian packages), installed when missing.
. scripts/install-deps.sh
. scripts/virtual-board.sh
kavnori_install_missing python3-serial time valgrind gcc g++ dpkg-dev ser2net iproute2

work=$(mktemp -d)
sim_pid=""
ser2net_pid=""
lock_name=""
# The simulator and ser2net never outlive the benchmark, also on Ctrl-C.
cleanup() {
  [ -z "${ser2net_pid}" ] || kill "${ser2net_pid}" 2>/dev/null || true
  if [ -n "${sim_pid}" ]; then
    kill "${sim_pid}" 2>/dev/null || true
    wait "${sim_pid}" 2>/dev/null || true
  fi
  # kavnori-switch's turn and state of a terminal that is gone now.
  if [ -n "${lock_name}" ]; then
    rmdir "/run/lock/kavnori-${lock_name}" 2>/dev/null || true
    rm -f "/run/lock/kavnori-state-${lock_name}-1"
  fi
  rm -rf "${work}"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# The floor is built and linked as the packaged Kavnori is (Debian's hardening
# flags: PIE, relro with bind-now, ...), so only the work differs.
read -ra hardened <<<"$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get CXXFLAGS) \
$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get LDFLAGS)"
g++ -std=c++17 "${hardened[@]}" -O2 -static-libstdc++ -static-libgcc -o "${work}/pause-only" \
  bench/pause_only.cpp
g++ -std=c++17 -O2 -Wall -Wextra -I. -o "${work}/spawn-timer" bench/spawn_timer.cpp
gcc -O2 -Wall -Wextra -shared -fPIC -o "${work}/alloc-counter.so" bench/alloc_counter.c -ldl
g++ -std=c++17 -O2 -Wall -Wextra -I. -o "${work}/doctor-timer" bench/doctor_timer.cpp \
  "${build}/doctor/libkavnori_doctor_core.a" "${build}/libkavnori_serial.a" \
  "${build}/libkavnori_text.a" "${build}/libkavnori_protocol.a"

start_virtual_board "${sim}" "${work}/sim.jsonl" || exit 1
sim_pid=${board_pid}
port=${board_path}
lock_name=${port#/dev/}
lock_name=${lock_name//\//_}
frames=0 # frames sent to the board, to check that every run switched

# All but the floor send 55 01 12 00 00 00 03 6B (board 1, relay 3 on).
py_code="import serial, sys
s = serial.Serial(sys.argv[1], 9600, bytesize=8, parity='N', stopbits=1)
s.write(bytes.fromhex('550112000000036B'))
s.close()"
# dash's printf knows octal escapes only: \125 is 0x55, \153 is 0x6B.
sh_code='stty -F "$1" 9600 cs8 -parenb -cstopb -opost && printf "\125\001\022\000\000\000\003\153" > "$1"'
labels=(kavnori switch pyserial shell floor)
command_of() { # LABEL: sets cmd to that command line
  case $1 in
    kavnori) cmd=("${kavnori}" "${port}" 1 3 1) ;;
    switch) cmd=("${switcher}" "${port}" 1 3 1) ;;
    pyserial) cmd=(/usr/bin/python3 -c "${py_code}" "${port}") ;;
    shell) cmd=(/bin/sh -c "${sh_code}" sh "${port}") ;;
    floor) cmd=("${work}/pause-only") ;;
  esac
}
timer_args=()
for label in "${labels[@]}"; do
  command_of "${label}"
  [ "${#timer_args[@]}" -eq 0 ] || timer_args+=(---)
  timer_args+=("${label}" "${cmd[@]}")
done

echo "== wall time: ${rounds} rounds (after ${warmup} warm-up), in turn: ${labels[*]}"
"${work}/spawn-timer" "${rounds}" "${warmup}" "${timer_args[@]}" >"${work}/times.txt"
frames=$((frames + 4 * (rounds + warmup)))

echo "== peak memory: /usr/bin/time max RSS, median of 5 runs each"
declare -A rss
for label in "${labels[@]}"; do
  values=()
  for _ in 1 2 3 4 5; do
    command_of "${label}"
    /usr/bin/time -f %M -o "${work}/rss" "${cmd[@]}" >/dev/null
    values+=("$(tail -n 1 "${work}/rss")")
  done
  [ "${label}" == floor ] || frames=$((frames + 5))
  rss[${label}]=$(printf '%s\n' "${values[@]}" | sort -n | sed -n 3p)
done

echo "== instructions: callgrind total Ir (children included)"
declare -A ir
for label in kavnori kavnori_again switch pyserial shell floor; do
  mkdir "${work}/cg-${label}"
  command_of "${label%_again}"
  valgrind --tool=callgrind --trace-children=yes --callgrind-out-file="${work}/cg-${label}/out.%p" \
    --log-file="${work}/cg-${label}/log.%p" "${cmd[@]}" >/dev/null
  # The shell's stty is a child of its own: all processes of a run count.
  ir[${label}]=$(sed -n 's/^totals: //p' "${work}/cg-${label}"/out.* | awk '{s += $1} END {print s}')
  [ "${label}" == floor ] || frames=$((frames + 1))
done
kavnori_cg=$(echo "${work}/cg-kavnori"/out.*) # one process, one file
main_ir=$(callgrind_annotate --inclusive=yes "${kavnori_cg}" 2>/dev/null |
  sed -n 's/^ *\([0-9,]*\) .*[:.]main \[.*Kavnori\]$/\1/p' | tr -d , | sed -n 1p)
# Every caller of the malloc family in the run, with its call count.
callgrind_annotate --tree=caller "${kavnori_cg}" 2>/dev/null |
  awk '/^$/ {block = ""; next} {block = block $0 "\n"}
       /\*  .*:(malloc|calloc|realloc|memalign|aligned_alloc|posix_memalign) \[/ {printf "%s", block}' \
    >"${work}/malloc-callers.txt"

echo "== heap calls: LD_PRELOAD counter, by phase and by calling object"
# Kavnori says on stdout why a run failed.
ALLOC_COUNTER_OUT="${work}/allocs.txt" LD_PRELOAD="${work}/alloc-counter.so" "${kavnori}" "${port}" 1 3 1 \
  >"${work}/alloc-run.txt" || { echo "bench: Kavnori failed: $(cat "${work}/alloc-run.txt")" >&2; exit 1; }
frames=$((frames + 1))

# Each pulse waits for its off, so the board reads on, off, on, off... of
# relay 5, the holds in turn: the hold is the time between a pair's reads.
holds=(0.1 0.5 1)
echo "== pulse: kavnori-switch --pulse SECONDS PORT 1 5, ${pulses} runs each, in turn: ${holds[*]}"
pulse_args=()
for hold in "${holds[@]}"; do
  [ "${#pulse_args[@]}" -eq 0 ] || pulse_args+=(---)
  pulse_args+=("pulse-${hold}" "${switcher}" --pulse "${hold}" "${port}" 1 5)
done
"${work}/spawn-timer" "${pulses}" 0 "${pulse_args[@]}" >"${work}/pulse-times.txt"
frames=$((frames + 2 * ${#holds[@]} * pulses))

echo "== kavnori-doctor: the command on the board's terminal and on this machine, then in the process"
"${work}/spawn-timer" "${rounds}" "${warmup}" doctor-check "${doctor}" "${port}" --- \
  doctor-list "${doctor}" >"${work}/doctor-times.txt"
"${work}/doctor-timer" "${port}" 64 "${rounds}" >>"${work}/doctor-times.txt"

echo "== network: one switch on loopback through ser2net, Kavnori beside pyserial's rfc2217://"
net_port=$((20000 + RANDOM % 20000))
printf '%s\n' "connection: &board" "  accepter: telnet(rfc2217),tcp,127.0.0.1,${net_port}" \
  "  connector: serialdev(nouucplock=true),${port},9600n81,local" >"${work}/ser2net.yaml"
ser2net -n -d -c "${work}/ser2net.yaml" >"${work}/ser2net.log" 2>&1 &
ser2net_pid=$!
ser2net_up() { ss -ltn | grep -q "127.0.0.1:${net_port} "; }
wait_until 5 ser2net_up || { echo "bench: ser2net did not start: $(cat "${work}/ser2net.log")" >&2; exit 1; }
url="rfc2217://127.0.0.1:${net_port}"
# ser2net on a pty never answers a DTR/RTS change, which pyserial sends and
# waits for on open: its ign_set_control takes any answer, or none.
py_net_code="import serial, sys
s = serial.serial_for_url(sys.argv[1], 9600, bytesize=8, parity='N', stopbits=1)
s.write(bytes.fromhex('550112000000036B'))
s.flush()
s.close()"
sleep 0.3
frames_before=$(grep -c '"event":"frame"' "${work}/sim.jsonl" || true)
"${work}/spawn-timer" "${rounds}" "${warmup}" net-kavnori "${kavnori}" "${url}" 1 3 1 --- \
  net-pyserial /usr/bin/python3 -c "${py_net_code}" "${url}?ign_set_control" >"${work}/net-times.txt"
# pyserial's close does not wait for the server to take the frame: ser2net
# may close the terminal with it unsent. Kavnori's frames are the tests'
# matter; here the frames that arrived are counted and reported.
sleep 0.3
net_sent=$((2 * (rounds + warmup)))
net_applied=$(($(grep -c '"event":"frame"' "${work}/sim.jsonl" || true) - frames_before))
frames=$((frames + net_applied))
kill "${ser2net_pid}" && wait "${ser2net_pid}" 2>/dev/null || true
ser2net_pid=""

# Every run must have reached the board as a whole, valid frame (and the
# doctor, sent it nothing).
sleep 0.3
applied=$(grep -c '"event":"frame"' "${work}/sim.jsonl" || true)
rejected=$(grep -c '"event":"error"' "${work}/sim.jsonl" || true)
if [ "${applied}" -ne "${frames}" ] || [ "${rejected}" -ne 0 ]; then
  echo "bench: the board applied ${applied} of ${frames} frames and rejected ${rejected}:" >&2
  grep '"event":"error"' "${work}/sim.jsonl" | head -n 3 >&2
  exit 1
fi

# ---- the report ----
field() { awk -v l="$1" -v c="$2" '$1 == l {print $c}' "${work}/times.txt"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.3f", a / b}'; }
verdict() { awk -v r="$1" -v t="$2" 'BEGIN {print (r <= t) ? "met" : "MISSED"}'; }
k=$(field kavnori 3)
p=$(field pyserial 3)
s=$(field shell 3)
f=$(field floor 3)

echo
echo "Machine: $(nproc) cores, $(lscpu | sed -n 's/^Model name: *//p'), kernel $(uname -r)"
echo "Simulator port: ${port}; ${frames} frames sent, all applied by the board."
echo
echo "| one switch | runs | median ms | p10 ms | p90 ms | max RSS KiB | instructions (Ir) |"
echo "|---|---|---|---|---|---|---|"
for label in "${labels[@]}"; do
  awk -v l="${label}" -v rss="${rss[${label}]}" -v ir="${ir[${label}]}" '$1 == l {
    printf "| %s | %d | %.3f | %.3f | %.3f | %s | %s |\n", l, $2, $3 / 1000, $4 / 1000, $5 / 1000, rss, ir
  }' "${work}/times.txt"
done
echo
echo "kavnori: Kavnori ${kavnori} PORT 1 3 1"
echo "switch: kavnori-switch ${switcher} PORT 1 3 1 (its port's turn and the relay's state included)"
echo "pyserial: /usr/bin/python3 -c 'import serial; Serial(PORT, 9600, 8N1).write(frame); close()'"
echo "shell: /bin/sh -c 'stty -F PORT 9600 cs8 -parenb -cstopb -opost && printf ... > PORT'"
echo "floor: bench/pause_only.cpp, a C++ program that only calls nanosleep for 5 ms"
echo
echo "| ratio of medians | value | target | |"
echo "|---|---|---|---|"
kf=$(ratio "$k" "$f")
kp=$(ratio "$k" "$p")
# What each adds to the 5 ms pause that both keep.
ka=$(awk -v k="$k" -v p="$p" -v f="$f" 'BEGIN {printf "%.3f", (k - f) / (p - f)}')
echo "| kavnori / floor | ${kf} | <= 1.050 | $(verdict "$kf" 1.05) |"
sk=$(ratio "$(field switch 3)" "$k")
echo "| switch / kavnori | ${sk} | <= 1.200 | $(verdict "$sk" 1.2) |"
echo "| (kavnori - floor) / (pyserial - floor) | ${ka} | <= 0.050 | $(verdict "$ka" 0.05) |"
echo "| kavnori / pyserial | ${kp} | | |"
echo "| kavnori / shell | $(ratio "$k" "$s") | | |"
echo "| floor / pyserial | $(ratio "$f" "$p") | | the best any program with the 5 ms pause can do |"
echo
echo "Instructions: Kavnori ${ir[kavnori]} Ir, again ${ir[kavnori_again]} Ir; inside main: ${main_ir:-?} Ir."
# Every holder check included (lock names, link folders, TIOCEXCL).
echo "| kavnori instructions per run | ${ir[kavnori]} | <= 150000 | $(verdict "${ir[kavnori]}" 150000) |"
echo
# Own code: calls made during main from the program binary, or from
# libstdc++ (operator new) had it been linked as a shared library.
own=$(awk '$1 == "in_main" && $2 ~ /(^|\/)(Kavnori|libstdc\+\+\.so\.6)$/ {s += $3} END {print s + 0}' \
  "${work}/allocs.txt")
all=$(awk '{s += $3} END {print s + 0}' "${work}/allocs.txt")
cg_calls=$(sed -n 's/.*  < .*(\([0-9]*\)x).*/\1/p' "${work}/malloc-callers.txt" | awk '{s += $1} END {print s + 0}')
echo "Heap: ${own} malloc-family calls from Kavnori's own code during main; ${all} in the whole"
echo "process (LD_PRELOAD counter), ${cg_calls} under callgrind. By phase and calling object"
echo "(phase, object, calls, bytes):"
sed 's/^/  /' "${work}/allocs.txt"
echo "Callers of the malloc family under callgrind (marked <, with call counts):"
sed 's/^/  /' "${work}/malloc-callers.txt"
echo
echo "kavnori-switch --pulse SECONDS PORT 1 5, ${pulses} runs each; the hold is the off's"
echo "monotonic_us less the on's, as the board read them; the error is |hold - SECONDS|:"
echo
grep '"event":"frame"' "${work}/sim.jsonl" | grep '"address":1,"relay":5,' |
  sed -n 's/.*"power":"\([a-z]*\)".*"monotonic_us":\([0-9]*\).*/\1 \2/p' >"${work}/pulse-frames.txt"
# One line per pulse: SECONDS HOLD_MS ERROR_MS, the holds in the order run.
awk -v holds="${holds[*]}" 'BEGIN {n = split(holds, hold, " ")}
  NR % 2 == 1 && $1 == "on" {on = $2; next}
  NR % 2 == 0 && $1 == "off" {
    ms = ($2 - on) / 1000; e = ms - 1000 * hold[k % n + 1]
    printf "%s %.3f %.3f\n", hold[k++ % n + 1], ms, e < 0 ? -e : e; next}
  {print "bench: relay 5 read " $1 " out of turn" > "/dev/stderr"; exit 1}' \
  "${work}/pulse-frames.txt" >"${work}/pulses.txt"
# median COLUMN [SECONDS]: of the pulses of that hold, or of all.
median() {
  awk -v c="$1" -v s="${2:-}" 's == "" || $1 == s {print $c}' "${work}/pulses.txt" | sort -g |
    awk '{v[NR] = $1} END {printf "%.3f", NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'
}
worst() { awk -v s="${1:-}" 's == "" || $1 == s {if ($3 > w) w = $3} END {printf "%.3f", w}' "${work}/pulses.txt"; }
echo "| pulse SECONDS | runs | median hold ms | median error ms | worst error ms | caller median ms |"
echo "|---|---|---|---|---|---|"
for hold in "${holds[@]}"; do
  echo "| ${hold} | $(awk -v s="${hold}" '$1 == s' "${work}/pulses.txt" | wc -l) | $(median 2 "${hold}") |" \
    "$(median 3 "${hold}") | $(worst "${hold}") |" \
    "$(awk -v l="pulse-${hold}" '$1 == l {printf "%.3f", $3 / 1000}' "${work}/pulse-times.txt") |"
done
pe=$(median 3)
echo "| all | $(wc -l <"${work}/pulses.txt") | | ${pe} | $(worst) | |"
echo
echo "| pulse hold | value | target | |"
echo "|---|---|---|---|"
echo "| median error, ms | ${pe} | <= 5.000 | $(verdict "${pe}" 5) |"
echo "caller: from the spawn to the exit of the waiting caller, both frames' lines read."
echo
echo "kavnori-doctor, ${rounds} runs each (ms):"
echo
echo "| what | median ms | p90 ms | target |"
echo "|---|---|---|---|"
awk '$1 ~ /^doctor-/ {printf "| %s (the command, process start included) | %.3f | %.3f | |\n", $1, $3 / 1000, $5 / 1000}
     $1 == "list" {printf "| list %d USB adapters (in the process) | %.3f | %.3f | < 200 |\n", $2, $4, $5}
     $1 == "check" {printf "| check one adapter (in the process) | %.3f | %.3f | < 50 |\n", $4, $5}' \
  "${work}/doctor-times.txt"
echo "doctor-check: kavnori-doctor PORT on the board's terminal; doctor-list: kavnori-doctor on this"
echo "machine ($(ls /sys/class/tty | wc -l) ttys in sysfs). In the process: bench/doctor_timer.cpp."
echo
echo "Network, ${rounds} runs each, through ser2net on 127.0.0.1 to the board's terminal:"
echo
echo "| one network switch | runs | median ms | p10 ms | p90 ms |"
echo "|---|---|---|---|---|"
awk '{printf "| %s | %d | %.3f | %.3f | %.3f |\n", $1, $2, $3 / 1000, $4 / 1000, $5 / 1000}' "${work}/net-times.txt"
nk=$(awk '$1 == "net-kavnori" {print $3}' "${work}/net-times.txt")
echo
echo "| ratio of medians | value | target | |"
echo "|---|---|---|---|"
echo "| net-kavnori / kavnori (local) | $(ratio "$nk" "$k") | <= 1.500 | $(verdict "$(ratio "$nk" "$k")" 1.5) |"
echo
echo "Frames on the board: ${net_applied} of ${net_sent} runs (every run exited 0)."
echo "net-kavnori: Kavnori rfc2217://127.0.0.1:PORT 1 3 1 (status 0 once ser2net has the frame)"
echo "net-pyserial: /usr/bin/python3 -c 'serial_for_url(URL, 9600, 8N1).write(frame); flush(); close()'"
