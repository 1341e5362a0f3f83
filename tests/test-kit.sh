# Sourced by the shell tests: the virtual board and the wait-until loop they
# share with the demo, the usage text as Kavnori prints it (without line
# ends), the counters that each script's closing line reports, and the
# checks and helpers they all use.
. "$(dirname "${BASH_SOURCE[0]}")/../scripts/virtual-board.sh"
mapfile -t usage_lines <"$(dirname "${BASH_SOURCE[0]}")/data/usage.txt"
passed=0
failed=0
pass() { passed=$((passed + 1)); }
# fail NAME [DETAIL...]: each detail on a line of its own, indented.
fail() {
  failed=$((failed + 1))
  printf 'FAIL: %s\n' "$1"
  [ $# -gt 1 ] && printf '%s\n' "${@:2}" | sed 's/^/    /'
}
# expect NAME WANT GOT: GOT must be WANT to the letter.
expect() {
  [ "$2" == "$3" ] && pass || fail "$1" "wanted: ${2//$'\n'/ | }" "got:    ${3//$'\n'/ | }"
}
# expected_output LINES...: each line as the program prints it, with its
# line end (line_end: $'\r\n' for a Windows build).
expected_output() {
  local line
  for line in "$@"; do printf '%s%s' "${line}" "${line_end:-$'\n'}"; done
}
# start_board REPORTS [BOARD_ARGS...]: ${simulator} on a new pty, its
# reports into REPORTS (board_pid, board_path); the script ends if it does
# not come up.
start_board() { start_virtual_board "${simulator}" "$@" || exit 1; }
