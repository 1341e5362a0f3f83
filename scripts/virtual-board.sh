# Sourced by the tests and the benchmark.
#   start_virtual_board SIMULATOR OUTPUT [OPTION...]
# starts the virtual relay board in the background with JSON output to
# OUTPUT (its stderr to OUTPUT.err) and waits for its ready line. Sets
# board_pid and board_path; returns 1, saying why, when it did not start.
start_virtual_board() {
  local simulator=$1 output=$2
  shift 2
  "${simulator}" --json "$@" >"${output}" 2>"${output}.err" &
  board_pid=$!
  for _ in $(seq 100); do
    [ -s "${output}" ] && break
    sleep 0.05
  done
  board_path=$(sed -n '1s/.*"path":"\([^"]*\)".*/\1/p' "${output}")
  if [ -z "${board_path}" ]; then
    echo "the virtual board did not start: $(cat "${output}.err")" >&2
    return 1
  fi
}
# line_flow PORT TCOOFF|TCOON: stops or restarts the output of the terminal
# PORT, as an XOFF stops it while IXON is on: a write to it waits meanwhile.
line_flow() {
  /usr/bin/python3 -c 'import os, sys, termios
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
termios.tcflow(fd, getattr(termios, sys.argv[2]))' "$1" "$2"
}
