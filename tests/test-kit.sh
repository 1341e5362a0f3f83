# Sourced by the shell tests: the usage text as Kavnori prints it (without
# line ends), and the counters that each script's closing line reports.
usage_lines=(
  "Usage: ./Kavnori.exe <Serial port> <Relay num> <On/Off>"
  "       Serial Port:  COM<N> (N:1~255)"
  "       Adress:    0~255, "
  "       Relay Num:    1~16, 0 - All"
  "       On/Off:       On - 1 Off - 0"
)
passed=0
failed=0
pass() { passed=$((passed + 1)); }
# fail NAME [DETAIL...]: each detail on a line of its own, indented.
fail() {
  failed=$((failed + 1))
  printf 'FAIL: %s\n' "$1"
  [ $# -gt 1 ] && printf '%s\n' "${@:2}" | sed 's/^/    /'
}
