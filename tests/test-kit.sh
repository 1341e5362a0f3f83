# Sourced by the shell tests: the virtual board and the wait-until loop they
# share with the demo, the usage text as Kavnori prints it (without line
# ends), and the counters that each script's closing line reports.
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
