#!/bin/sh
# kavnori-switch PORT ADDRESS RELAY ONOFF
#
# Runs Kavnori under the port's lock, so that runs on one port take turns,
# whoever starts them, and under a 5 s timeout, so that a write held by flow
# control cannot stall the caller. Status: Kavnori's own (0 to 5), or
#   75  the port stayed busy for 20 s; nothing was sent
#   124 the run was stopped after 5 s; the frame may not have gone out
#   66  the port's lock could not be opened or made; nothing was sent
#
# The lock is a folder, /run/lock/kavnori-DEVICE, DEVICE being the path the
# port's name leads to below /dev, '/' written '_' (ttyUSB0, pts_3): every
# name of one port takes the same lock. The first run makes it; every run
# opens it read-only and takes flock(2) on it. A folder, not a file: with
# fs.protected_regular (Debian's default), no one may open another user's
# file in /run/lock with O_CREAT, which flock(1) asks for; a folder is not
# created by the open, and one made by any user serves every user and root.
# It is opened as FOLDER/., which is never created either and fails on
# anything that is not a folder: nothing is ever created through a link that
# another user put in its place, and a file there turns the run away (66).
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

device=$(readlink -f -- "${port}")
if [ -z "${device}" ] || [ ! -e "${device}" ]; then
  # Leads nowhere: no lock to take; Kavnori says so (status 2).
  timeout 5 "${kavnori}" "$@"
  exit
fi
name=$(printf '%s' "${device#/dev/}" | tr / _)
lock="/run/lock/kavnori-${name}"
mkdir -m 0755 -- "${lock}" 2>/dev/null

flock -w 20 -E 75 "${lock}/." timeout 5 "${kavnori}" "$@"
status=$?
case ${status} in
  66 | 71 | 73)
    # flock(1) could not open the lock and said why.
    say "the lock ${lock} could not be opened; nothing sent"
    status=66
    ;;
  75) say "the port stayed busy for 20 s; nothing sent" ;;
  124) say "timed out after 5 s; the frame may not have gone out" ;;
esac
exit "${status}"
