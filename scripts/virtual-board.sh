# Sourced by the demo, the tests and the benchmark.

# wait_until SECONDS COMMAND...: runs COMMAND every 0.05 s until it succeeds;
# false when it has not within SECONDS.
wait_until() {
  local tries=$(($1 * 20))
  shift
  until "$@"; do
    tries=$((tries - 1))
    [ "${tries}" -gt 0 ] || return 1
    sleep 0.05
  done
}
# lines_over FILE COUNT: true when FILE holds more than COUNT lines.
lines_over() { [ "$(wc -l <"$1")" -gt "$2" ]; }

#   start_virtual_board SIMULATOR OUTPUT [OPTION...]
# starts the virtual relay board in the background with JSON output to
# OUTPUT (its stderr to OUTPUT.err) and waits for its ready line. Sets
# board_pid and board_path; returns 1, saying why, when it did not start.
start_virtual_board() {
  local simulator=$1 output=$2
  shift 2
  # Emptied here, not only by the board's redirect, which may come after the
  # first look: an earlier board's lines must not pass for this one's.
  : >"${output}"
  "${simulator}" --json "$@" >"${output}" 2>"${output}.err" &
  board_pid=$!
  wait_until 5 test -s "${output}" || true
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
