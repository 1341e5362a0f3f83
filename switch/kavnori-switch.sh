#!/bin/sh
# kavnori-switch PORT ADDRESS RELAY ONOFF
#
# Runs Kavnori under the port's lock, so that runs on one port take turns,
# whoever starts them, and under a 5 s timeout, so that a write held by flow
# control cannot stall the caller. Status: Kavnori's own (0 to 5), or
#   75  the port stayed busy for 20 s; nothing was sent
#   124 the run was stopped after 5 s; the frame may not have gone out
#   66  the port's lock could not be opened or made; nothing was sent
# Stopped by INT, TERM or HUP, it stops what it started (the wait for the
# lock, or timeout and Kavnori) and ends by that signal: nothing of the run
# is left to send a frame after the caller gave up. Killed by KILL (137, as
# Python's subprocess.run(timeout=) does), it says nothing, but the kernel
# kills what it started with it: still nothing is sent afterwards.
#
# The lock is a folder, /run/lock/kavnori-DEVICE, DEVICE being the path the
# port's name leads to below /dev, '/' written '_' (ttyUSB0, pts_3): every
# name of one port takes the same lock; rfc2217-HOST_PORT for a network port. The first run makes it; every run
# opens it read-only and takes flock(2) on it. A folder, not a file: with
# fs.protected_regular (Debian's default), no one may open another user's
# file in /run/lock with O_CREAT, which flock(1) asks for; a folder is not
# created by the open, and one made by any user serves every user and root.
# It is opened as FOLDER/., which is never created and fails on anything
# that is not a folder, nor leads to one (a FIFO would hang the open). That
# open follows a link, and fs.protected_symlinks guards only a link at the
# end of a path: so what was opened is then compared with what stands at the
# name, the link not followed. Only the folder itself passes; a link (even
# to a folder, through which another user would choose where everyone
# locks), or anything else, turns the run away (66), root's too.
set -u

# Installed or unpacked beside Kavnori: that one; otherwise from PATH.
kavnori=Kavnori
here=$(dirname -- "$0")
[ -x "${here}/Kavnori" ] && kavnori="${here}/Kavnori"

if [ "$#" -ne 4 ]; then
  exec "${kavnori}" "$@" # its usage text, status 1
fi

port=$1
say() { echo "kavnori-switch: ${port}: $*" >&2; }
# A network port's stages wait up to 5 s (open), 3 s (settings) and 5 s (the
# barrier after the frame): its run gets 15 s.
run_seconds=5
case ${port} in rfc2217://*) run_seconds=15 ;; esac

# Each step runs in the background and is waited for: a shell runs a trap
# only after its foreground command has ended, but at once during wait. The
# step is stopped with TERM, since a background command ignores INT.
step=""
caught=""
on_signal() {
  caught=$1
  [ -z "${step}" ] || kill -TERM "${step}" 2>/dev/null
}
for signal in INT TERM HUP; do trap "on_signal ${signal}" "${signal}"; done

# Every step is tied to the switch: setpriv has the kernel KILL it when the
# switch ends, even by KILL, which no trap sees; timeout's Kavnori is tied
# to timeout the same way (the kernel watches the forking thread; both run
# one). A parent that ended before the tie was made is seen: PPID then names
# another, and the command is not run.
tied='[ "$PPID" = "$1" ] || exit 1; shift; exec "$@"'
tied_timeout='exec timeout '"${run_seconds}"' setpriv --pdeathsig KILL sh -c "$0" sh "$$" "$@"'

# run_step AFTERWARDS COMMAND...: its status in ${status}. Stopped by a
# signal, the switch says so, with what AFTERWARDS says of the frame, and
# ends by that signal once the step is gone.
run_step() {
  afterwards=$1
  shift
  setpriv --pdeathsig KILL sh -c "${tied}" sh "$$" "$@" &
  step=$!
  [ -z "${caught}" ] || kill -TERM "${step}" 2>/dev/null # came before $! was known
  wait "${step}" 2>/dev/null # no "Terminated" for a step that was stopped
  status=$?
  # Above 128 also when a trap cut the wait short: then wait till it ends.
  while [ "${status}" -gt 128 ] && kill -0 "${step}" 2>/dev/null; do
    wait "${step}" 2>/dev/null
    status=$?
  done
  step=""
  [ -n "${caught}" ] || return 0
  say "stopped by SIG${caught}; ${afterwards}"
  trap - "${caught}"
  kill -"${caught}" "$$"
  exit 1 # not reached: a signal ignored from the start is never caught
}

# Kavnori under timeout 5, its status in ${status}. None found: timeout says
# so (127), as it always has; with nothing to send, nothing to tie.
run_kavnori() {
  if command -v "${kavnori}" >/dev/null; then
    run_step "the frame may not have gone out" sh -c "${tied_timeout}" "${tied}" "${kavnori}" "$@"
  else
    run_step "nothing sent" timeout "${run_seconds}" "${kavnori}" "$@"
  fi
}

case ${port} in
  rfc2217://*)
    # A network port: the lock is named from host and port, lower case, every
    # other character than a letter, digit, dot or dash written '_'
    # (rfc2217-lab-host_2000, rfc2217-__1__2000 for [::1]:2000).
    name=rfc2217-$(printf '%s' "${port#rfc2217://}" | tr '[:upper:]' '[:lower:]' | tr -c 'a-z0-9.-' _)
    ;;
  *)
    device=$(readlink -f -- "${port}")
    if [ -z "${device}" ] || [ ! -e "${device}" ]; then
      # Leads nowhere: no lock to take; Kavnori says so (status 2).
      run_kavnori "$@"
      exit "${status}"
    fi
    name=$(printf '%s' "${device#/dev/}" | tr / _)
    ;;
esac
lock="/run/lock/kavnori-${name}"
mkdir -m 0755 -- "${lock}" 2>/dev/null

if ! { command exec 9<"${lock}/."; } 2>/dev/null; then
  say "the lock ${lock} could not be opened; nothing sent"
  exit 66
fi
if [ "$(stat -c '%F %d:%i' -- "${lock}" 2>/dev/null)" != "directory $(stat -L -c '%d:%i' /dev/fd/9)" ]; then
  say "the lock ${lock} is a link or no folder; nothing sent"
  exit 66
fi

# Every step keeps descriptor 9: the lock is held until the last of them,
# Kavnori included, has ended.
run_step "nothing sent" flock -w 20 -E 75 9
case ${status} in
  0) ;;
  75)
    say "the port stayed busy for 20 s; nothing sent"
    exit 75
    ;;
  *)
    say "the lock ${lock} could not be taken; nothing sent"
    exit 66
    ;;
esac

run_kavnori "$@"
[ "${status}" -ne 124 ] || say "timed out after ${run_seconds} s; the frame may not have gone out"
exit "${status}"
