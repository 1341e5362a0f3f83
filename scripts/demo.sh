#!/usr/bin/env bash
# Shows Kavnori switching relays on the virtual relay board, with no board on
# the desk: builds both programs, starts the board on a pseudo-terminal,
# switches a few relays and shows the board after each, then stops it.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/install-deps.sh
. scripts/virtual-board.sh
kavnori_install_missing cmake make g++

build=build/demo
cmake -S . -B "${build}" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build "${build}" --target Kavnori relay-board-sim -j "$(nproc)" >/dev/null

board_out=$(mktemp)
"${build}/sim/relay-board-sim" >"${board_out}" &
board_pid=$!
stop_board() {
  kill -TERM "${board_pid}" 2>/dev/null || true
  wait "${board_pid}" 2>/dev/null || true
  rm -f "${board_out}"
}
trap stop_board EXIT

wait_until 5 test -s "${board_out}" || true
port=$(head -n 1 "${board_out}")
echo "The virtual relay board is listening on ${port}."
shown=1

switch() {
  echo
  echo "\$ Kavnori ${port} $*"
  "${build}/Kavnori" "${port}" "$@"
  # The board's report of the frame it received.
  wait_until 5 lines_over "${board_out}" "${shown}" || true
  shown=$((shown + 1))
  echo "board: $(sed -n "${shown}p" "${board_out}")"
  sleep 0.5
}

switch 1 3 1   # relay 3 on
switch 1 7 1   # relay 7 on
switch 1 3 0   # relay 3 off
switch 1 0 0   # every relay off
stop_board
trap - EXIT
echo
echo "The board has stopped."
