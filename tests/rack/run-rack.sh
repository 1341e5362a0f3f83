#!/usr/bin/env bash
# The rack: Debian's own kernel under QEMU (TCG), with a 16550 UART (the 8250
# driver, ttyS1) and a USB FTDI adapter (ftdi_sio, ttyUSB0), each wired to a
# virtual board on a host pty. The static Kavnori, kavnori-doctor and
# kavnori-switch run in the guest, and Debian's ser2net for a network port on
# ttyS1; QEMU's trace shows what the drivers programmed into the chips, the
# boards what reached the far end, and QMP pulls and replugs the adapter.
#
#   bash tests/rack/run-rack.sh KAVNORI_STATIC DOCTOR_STATIC SIMULATOR SWITCH_STATIC
set -euo pipefail
cd "$(dirname "$0")/../.."
kavnori=$1 doctor=$2 sim=$3 switch=$4
. tests/test-kit.sh

# What stops the rack itself: no kernel, no guest, no answer.
give_up() {
  echo "rack: FAILED: $*" >&2
  exit 1
}
. scripts/install-deps.sh
kavnori_install_missing qemu-system-x86 busybox-static gcc ser2net ||
  give_up "qemu-system-x86, busybox-static, gcc or ser2net could not be installed: the rack cannot run"

# The kernel the Debian way: the package linux-image-amd64 depends on,
# unpacked (not installed) and kept under build/.
cache=build/rack-kernel
kernel_package() {
  apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/^ *Depends: \(linux-image-[0-9].*\)/\1/p' | head -n 1
}
image=$(kernel_package)
[ -n "${image}" ] || { apt-get update -qq && image=$(kernel_package); }
[ -n "${image}" ] || give_up "apt-cache names no kernel for linux-image-amd64: the rack cannot run"
if [ ! -d "${cache}/${image}" ]; then
  rm -rf "${cache}" && mkdir -p "${cache}/download"
  (cd "${cache}/download" && apt-get download -q "${image}") || give_up "apt-get download ${image}"
  dpkg-deb -x "${cache}"/download/*.deb "${cache}/${image}.tmp"
  mv "${cache}/${image}.tmp" "${cache}/${image}" && rm -rf "${cache}/download"
fi
kernel_root=${cache}/${image}

work=$(mktemp -d)
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "${pid}" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "${work}"
}
trap cleanup EXIT

# The initramfs: busybox, the guest's scripts, the modules it loads, the
# programs under test.
root=${work}/root
mkdir -p "${root}"/{bin,lib/modules,lib/mdev,etc,proc,sys,dev,tmp,run/lock}
cp "$(command -v busybox)" "${root}/bin/busybox"
cp tests/rack/guest-init "${root}/init"
cp tests/rack/serial-by-id "${root}/lib/mdev/serial-by-id"
echo 'ttyUSB[0-9]+ 0:0 660 */lib/mdev/serial-by-id' >"${root}/etc/mdev.conf"
printf 'root:x:0:0:root:/:/bin/sh\n' >"${root}/etc/passwd"
printf 'root:x:0:\ndialout:x:20:\n' >"${root}/etc/group"
for module in usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio e1000; do
  cp "$(find "${kernel_root}/lib/modules" -name "${module}.ko")" "${root}/lib/modules/"
done
cp "${kavnori}" "${root}/bin/Kavnori"
cp "${doctor}" "${root}/bin/kavnori-doctor"
cp "${switch}" "${root}/bin/kavnori-switch"
gcc -static -O2 -Wall -Wextra -o "${root}/bin/closing-wait" tests/rack/closing_wait.c
# Debian's ser2net, to share ttyS1 over RFC 2217: the program, the gensio
# modules it loads by name, and the libraries of each, at their own paths.
shared=("$(command -v ser2net)")
shared+=("$(dirname "$(find /usr/lib* -name libgensio_telnet.so | head -n 1)")"/libgensio_{net,telnet,serialdev}.so)
for file in "${shared[@]}" $(ldd "${shared[@]}" | awk '$2 == "=>" && $3 ~ /^\// {print $3} $1 ~ /^\// && $2 ~ /^\(/ {print $1}' | sort -u); do
  cp -L --parents "${file}" "${root}"
done
chmod +x "${root}/init" "${root}/lib/mdev/serial-by-id"
(cd "${root}" && find . | busybox cpio -o -H newc -R 0:0 2>/dev/null) | gzip -1 >"${work}/initramfs.gz"

# The far ends: a virtual board for each device.
declare -A pty
for board in uart pci ftdi ftdi2; do
  start_virtual_board "${sim}" "${work}/${board}.jsonl" || give_up "no board for ${board}"
  pids+=("${board_pid}") && pty[${board}]=${board_path}
done

mkfifo "${work}"/{con,qmp}.{in,out}
# The guest's network card: only this machine's port net_port reaches it.
net_port=$((20000 + RANDOM % 20000))
qemu-system-x86_64 -machine pc,accel=tcg -m 256 -nodefaults -no-user-config -display none \
  -no-reboot -kernel "${kernel_root}"/boot/vmlinuz-* -initrd "${work}/initramfs.gz" \
  -append "console=ttyS0 quiet loglevel=1 panic=-1" \
  -chardev pipe,id=con,path="${work}/con" -serial chardev:con \
  -chardev pipe,id=qmp,path="${work}/qmp" -mon chardev=qmp,mode=control \
  -chardev serial,id=uart,path="${pty[uart]}" -device isa-serial,chardev=uart,index=1 \
  -netdev user,id=net,restrict=on,hostfwd=tcp:127.0.0.1:${net_port}-10.0.2.15:3001 -device e1000,netdev=net \
  -chardev serial,id=pci,path="${pty[pci]}" -device pci-serial,id=card,chardev=pci \
  -chardev serial,id=ftdi,path="${pty[ftdi]}" -device qemu-xhci \
  -device usb-serial,id=adapter,chardev=ftdi,serial=KAV0001 -chardev serial,id=ftdi2,path="${pty[ftdi2]}" \
  -trace serial_update_parameters -trace usb_serial_set_baud -trace usb_serial_set_data \
  -D "${work}/trace.log" 2>"${work}/qemu.err" &
pids+=("$!")
exec {con_in}<>"${work}/con.in" {con_out}<>"${work}/con.out"
exec {qmp_in}<>"${work}/qmp.in" {qmp_out}<>"${work}/qmp.out"

# guest COMMANDS: runs COMMANDS in the guest's shell, as one line (its
# lines must end with ';' or '&'); sets out (their output) and rc.
guest() {
  local line
  [ -z "$1" ] || printf '%s\n' "${1//$'\n'/ }" >&"${con_in}"
  out=""
  while IFS= read -r -t 60 -u "${con_out}" line; do
    line=${line%$'\r'}
    if [[ ${line} =~ ^(.*)@@\ ([0-9]+)$ ]]; then
      out+=${BASH_REMATCH[1]}
      rc=${BASH_REMATCH[2]}
      out=${out%$'\n'}
      return 0
    fi
    out+=${line}$'\n'
  done
  give_up "the guest gave no answer to '$1': $(cat "${work}/qemu.err")"
}
# qmp COMMAND [PATTERN]: sends COMMAND, then reads until a line matches
# PATTERN (the reply by default).
qmp() {
  local line
  printf '%s\n' "$1" >&"${qmp_in}"
  while IFS= read -r -t 30 -u "${qmp_out}" line; do
    [[ ${line} != *'"error"'* ]] || give_up "QMP: ${line}"
    [[ ${line} != *${2:-'"return"'}* ]] || return 0
  done
  give_up "QMP gave no ${2:-reply} to $1"
}

started=${SECONDS}
guest ""
echo "rack: guest up after $((SECONDS - started)) s"
qmp '{"execute":"qmp_capabilities"}'

# chip DEVICE FROM: the settings DEVICE's chip was given, in trace lines from
# FROM on, one "BAUD PARITY DATA STOP" line each time they changed.
chip() {
  tail -n "+$2" "${work}/trace.log" | sed 's/^[0-9]*@[0-9.]*://' | awk -v usb="$([[ $1 == *USB* ]] && echo 1)" '
    !usb && /^serial_update_parameters/ { gsub(/[a-z]+=|'\''/, ""); now = $2 " " $3 " " $4 " " $5 }
    usb && /^usb_serial_set_baud/ { baud = $NF; if (data != "") now = baud " " data }
    usb && /^usb_serial_set_data/ { gsub(/,/, ""); data = $5 " " $8 " " $11; now = baud " " data }
    now != "" && now != last { print now; last = now }'
}
board_of() { case $1 in *ttyS1) echo uart ;; *ttyS2) echo pci ;; *KAV0002*) echo ftdi2 ;; *) echo ftdi ;; esac; }
# events DEVICE: how many lines its board has written.
events() { wc -l <"${work}/$(board_of "$1").jsonl"; }
# far_end DEVICE BEFORE: the bytes of the board's first event after BEFORE
# lines, "none" when nothing came within 2 s.
far_end() {
  local board=${work}/$(board_of "$1").jsonl
  wait_until 2 lines_over "${board}" "$2" || { echo none && return 0; }
  sed -n "$(($2 + 1))s/.*\"bytes\":\"\([^\"]*\)\".*\"applied\":\(.*\)}/\1 applied=\2/p" "${board}"
}
switched() { printf 'Serial port [%s] configured.\nPower %s @ Relay %s' "$1" "$2" "$3"; }

# Events that came before mdev listened: mdev -s looks at what is there.
guest 'until_true [ -c /dev/ttyUSB0 ] && mdev -s && [ -e /dev/serial/by-id/* ]'
expect "the adapter's ttyUSB0 and its by-id link at boot" 0 "${rc}"

# The line settings the chip holds after a run that found it at others (the
# trace shows both), and the frame as the board received it: output
# processing left on (opost onlcr) must not turn 0A into 0D 0A. An FTDI
# chip's divisor from 3 MHz makes 115200 baud 115384.
#  device    | set first                           | the chip then | board relay on | far end
table="\
/dev/ttyS1   | 115200 cs7 parenb cstopb            | 115200 E 7 2  | 1 3 1          | 55 01 12 00 00 00 03 6B
/dev/ttyS1   | 19200 cs7 parenb parodd opost onlcr | 19200 O 7 1   | 10 0 0         | 55 0A 11 00 00 00 00 70
/dev/ttyS2   | 115200 cs7 parenb cstopb            | 115200 E 7 2  | 2 16 1         | 55 02 12 00 00 00 10 79
/dev/ttyUSB0 | 115200 cs7 parenb cstopb            | 115384 E 7 2  | 255 16 1       | 55 FF 12 00 00 00 10 76
/dev/ttyUSB0 | 19200 cs7 parenb parodd opost onlcr | 19200 O 7 1   | 10 0 1         | 55 0A 12 00 00 00 00 71"
while IFS='|' read -r device first then arguments bytes; do
  read -r device <<<"${device}" && read -r address relay power <<<"${arguments}"
  first=$(echo ${first}) then=$(echo ${then}) arguments=$(echo ${arguments}) bytes=$(echo ${bytes})
  row="${device} set to ${first}, then ${arguments}"
  from=$(($(wc -l <"${work}/trace.log") + 1)) before=$(events "${device}")
  guest "stty -F ${device} ${first} && Kavnori ${device} ${arguments}"
  expect "${row}: status and output" "0:$(switched "${device}" "$([ "${power}" = 1 ] && echo On || echo Off)" "${relay}")" \
    "${rc}:${out}"
  chips=$(chip "${device}" "${from}")
  expect "${row}: the chip before the run" "${then}" "$(grep -x "${then}" <<<"${chips}" | uniq)"
  expect "${row}: the chip after the run" "9600 N 8 1" "$(tail -n 1 <<<"${chips}")"
  expect "${row}: far end" "${bytes} applied=true" "$(far_end "${device}" "${before}")"
done <<<"${table}"

# A network port whose far end is the 8250: ser2net in the guest shares ttyS1
# over RFC 2217 on its network card, opening it at 19200 E 7 1; a run from
# this machine asks ser2net for 9600 8N1, which the chip must then hold.
from=$(($(wc -l <"${work}/trace.log") + 1)) before=$(events /dev/ttyS1)
guest 'insmod /lib/modules/e1000.ko && until_true ip link set eth0 up && ip addr add 10.0.2.15/24 dev eth0 &&
  until_true grep -qx 1 /sys/class/net/eth0/carrier;
  printf "connection: &board\n  accepter: telnet(rfc2217),tcp,10.0.2.15,3001\n  connector: serialdev(nouucplock=true),/dev/ttyS1,19200e71,local\n" >/tmp/ser2net.yaml;
  ser2net -n -c /tmp/ser2net.yaml >/tmp/ser2net.log 2>&1 & shared=$!;
  until_true sh -c "netstat -ltn | grep -q :3001"'
expect "ser2net in the guest: listening" "0" "${rc}"
net=rfc2217://127.0.0.1:${net_port}
out=$(timeout 30 "${kavnori}" "${net}" 1 4 1 2>&1) && rc=0 || rc=$?
expect "ttyS1 through ser2net, a run from this machine: status and output" "0:$(switched "${net}" On 4)" "${rc}:${out}"
chips=$(chip /dev/ttyS1 "${from}")
expect "ttyS1 through ser2net: the chip as ser2net opened it, then after the run" \
  "19200 E 7 1|9600 N 8 1" "$(grep -x "19200 E 7 1" <<<"${chips}" | uniq)|$(tail -n 1 <<<"${chips}")"
expect "ttyS1 through ser2net: far end" "55 01 12 00 00 00 04 6C applied=true" "$(far_end /dev/ttyS1 "${before}")"
guest 'kill ${shared}; wait ${shared}; true'

# CTS is low on every port here (the host pty has no modem lines). With
# CRTSCTS the frame cannot leave: the run must wait, never end with status 0
# and nothing at the far end. The closing wait, shortened, would let an
# unwaited close end such a run at once; the limit then stops the run, which
# must go within a second.
before=$(events /dev/ttyS1)
guest 'stty -F /dev/ttyS1 crtscts && closing-wait /dev/ttyS1 50 && start=$(cut -d" " -f1 /proc/uptime);
  timeout -s TERM 3 Kavnori /dev/ttyS1 1 5 1; status=$?;
  awk -v a=${start} -v b=$(cut -d" " -f1 /proc/uptime) "BEGIN { print b - a \" s\" >\"/tmp/took\";
    print (b - a < 4 ? \"gone within 1 s of the limit\" : b - a \" s\") }";
  stty -F /dev/ttyS1 -crtscts && closing-wait /dev/ttyS1 3000; (exit ${status})'
expect "CTS low: status and output" "143:$(printf 'Serial port [/dev/ttyS1] configured.\nTerminated\ngone within 1 s of the limit')" \
  "${rc}:${out}"
expect "CTS low: far end" none "$(far_end /dev/ttyS1 "${before}")"

# pull DEVICE_ID GUEST_SYSFS: unplugs the device and waits until QEMU and
# then the guest's sysfs have let it go.
pull() {
  qmp "{\"execute\":\"device_del\",\"arguments\":{\"id\":\"$1\"}}"
  qmp '{"execute":"query-status"}' '"DEVICE_DELETED"'
  guest "until_true [ ! -e $2 ]"
  expect "$1 pulled: gone from the guest's sysfs" 0 "${rc}"
}
# plug [ID CHARDEV SERIAL]: plugs an FTDI adapter in, the first one by default.
plug() {
  qmp "{\"execute\":\"device_add\",\"arguments\":{\"driver\":\"usb-serial\",\"id\":\"${1:-adapter}\",\"chardev\":\"${2:-ftdi}\",\"serial\":\"${3:-KAV0001}\"}}"
}
by_id=/dev/serial/by-id/usb-QEMU_QEMU_USB_SERIAL_KAV0001-if00-port0

# The card ejected while CTS holds the frame: the hangup empties the queue
# and ends the wait, and the run must still fail.
guest 'stty -F /dev/ttyS2 crtscts && Kavnori /dev/ttyS2 1 6 1 >/tmp/out & pid=$!;
  card=$(readlink -f /sys/class/tty/ttyS2/device);
  until_true grep -q tty_wait_until_sent /proc/${pid}/wchan'
expect "card: the frame waits for CTS" 0 "${rc}"
guest 'kavnori-doctor /dev/ttyS2 | grep -o "held-now" | head -n 1'
expect "the doctor while the frame waits in the driver" held-now "${out}"
before=$(events /dev/ttyS2)
pull card '${card}'
guest 'wait ${pid}; status=$?; cat /tmp/out; (exit ${status})'
expect "card ejected while the frame waits: status and output" "4:$(printf 'Serial port [/dev/ttyS2] configured.\nWriteFile failed with error 5.')" \
  "${rc}:${out}"
expect "card ejected while the frame waits: far end" none "$(far_end /dev/ttyS2 "${before}")"

# The adapter pulled before the run, then the doctor on its by-id name.
pull adapter /sys/class/tty/ttyUSB0
guest 'Kavnori /dev/ttyUSB0 1 3 1'
expect "adapter pulled before the run: status and output" "2:GetCommState failed with error 9." "${rc}:${out}"
guest "kavnori-doctor ${by_id}"
expect "adapter pulled: the doctor's status and answer" \
  2:missing "${rc}:$(grep -o 'missing\|dangling-link' <<<"${out}" | head -n 1)"
plug
guest "until_true [ -e ${by_id} ]"
expect "adapter replugged: by-id link" 0 "${rc}"

# A pulse whose adapter is pulled during the hold and plugged back after the
# off was due: the release tries again until the port is back, and the off
# goes out late. The hold outlasts the pull (a slow guest's too), and the
# plug comes at least a second after the off was due.
before=$(events "${by_id}")
guest "kavnori-switch --pulse 3 ${by_id} 1 5 >/tmp/pulse.out 2>/tmp/pulse.err & pulse=\$!"
wait_until 10 lines_over "${work}/ftdi.jsonl" "${before}" || true
expect "pulse: the on before the pull" "55 01 12 00 00 00 05 6D applied=true" "$(far_end "${by_id}" "${before}")"
pull adapter /sys/class/tty/ttyUSB0
sleep 4 && plug
guest 'wait ${pulse}; status=$?; grep -o "went out late by" /tmp/pulse.err; (exit ${status})'
expect "pulse: the adapter back after the off was due: status and report" "0:went out late by" "${rc}:${out}"
expect "pulse: the off once the adapter is back" "55 01 11 00 00 00 05 6C applied=true" \
  "$(far_end "${by_id}" "$((before + 1))")"

# Pulled after the settings, before the write: the run's configured line
# waits in a full pipe meanwhile. A program still holds the old port, so the
# adapter comes back as ttyUSB1, and the by-id link must follow it.
guest 'stty -F /dev/ttyUSB0 clocal && sleep 600 </dev/ttyUSB0 & holder=$!;
  mkfifo /tmp/pipe && exec 3<>/tmp/pipe && yes fil | head -c 65536 >&3;
  Kavnori '"${by_id}"' 1 3 1 >&3 3>&- & pid=$!;
  until_true grep -q pipe_write /proc/${pid}/wchan'
expect "adapter: the run waits with the line set" 0 "${rc}"
pull adapter /sys/class/tty/ttyUSB0
guest 'head -c 65536 <&3 >/dev/null; wait ${pid}; status=$?; head -n 2 <&3; (exit ${status})'
expect "adapter pulled before the write: status and output" "4:$(printf 'Serial port [%s] configured.\nWriteFile failed with error 5.' "${by_id}")" \
  "${rc}:${out}"
plug
guest "until_true [ -c /dev/ttyUSB1 ] && until_true [ -e ${by_id} ] && readlink ${by_id}"
expect "replugged while held: the by-id link" ../../ttyUSB1 "${out}"
before=$(events /dev/ttyUSB1)
guest "Kavnori ${by_id} 20 7 1"
expect "replugged: status and far end through the link" "0:55 14 12 00 00 00 07 82 applied=true" \
  "${rc}:$(far_end /dev/ttyUSB1 "${before}")"
guest "kavnori-doctor ${by_id}"
expect "replugged: the doctor through the link" "0:${by_id} (/dev/ttyUSB1): ready" "${rc}:$(head -n 1 <<<"${out}")"
# The doctor's listing, from the guest's real sysfs.
guest 'kill ${holder}; kavnori-doctor'
expect "the doctor's listing of ttyUSB1" "$(printf '  vid: 0403\n  pid: 6001\n  serial: KAV0001\n  interface: 00\n  driver: ftdi_sio\n  by-id: %s' "${by_id}")" "$(sed -n '/^\/dev\/ttyUSB1$/,/^\/dev/p' <<<"${out}" |
  grep -E '^  (by-id|driver|vid|pid|serial|interface):')"

# A second FTDI adapter: --find tells the two apart, picks neither for VID:PID, follows a replug.
second=/dev/serial/by-id/usb-QEMU_QEMU_USB_SERIAL_KAV0002-if00-port0
plug adapter2 ftdi2 KAV0002 && guest "until_true [ -e ${second} ] && readlink ${second}" && tty=${out##*/}
guest "kavnori-doctor --find 0403:6001:KAV0002 && kavnori-doctor --find at:\$(basename \$(readlink -f /sys/class/tty/${tty}/device/../..))"
expect "--find by serial number and by socket" "0:${second}"$'\n'"${second}" "${rc}:${out}"
before=$(events "${second}") && guest 'Kavnori "$(kavnori-doctor --find 0403:6001:KAV0002)" 3 9 1'
expect "Kavnori through the name --find printed" "0:55 03 12 00 00 00 09 73 applied=true" "${rc}:$(far_end "${second}" "${before}")"
guest 'kavnori-doctor --find 0403:6001'
expect "--find of both: status, and each told apart" 3:2 "${rc}:$(grep -c ':KAV000[12]  at:' <<<"${out}")"
pull adapter2 "/sys/class/tty/${tty}" && guest 'kavnori-doctor --find 0403:6001:KAV0002'
expect "--find of the pulled adapter" 2 "${rc}"
plug adapter2 ftdi2 KAV0002 && guest "until_true [ -e ${second} ] && kavnori-doctor --find 0403:6001:KAV0002"
expect "--find after the replug" "0:${second}" "${rc}:${out}"

# The adapter the system hides. brltty (here a script of that name) running,
# and the adapter's interface let go of without a driver, as brltty leaves it.
guest 'printf "#!/bin/sh\nwhile :; do sleep 1; done\n" >/bin/brltty && chmod +x /bin/brltty;
  brltty & brltty=$!; tty=$(basename $(readlink -f '"${by_id}"'));
  basename $(readlink -f /sys/class/tty/${tty}/device/..) >/sys/bus/usb/drivers/ftdi_sio/unbind;
  until_true [ ! -e /sys/class/tty/${tty} ] && until_true [ ! -L '"${by_id}"' ] && kavnori-doctor --find 0403:6001:KAV0001'
expect "--find while brltty runs and the adapter has no driver" "2:has no port: brltty runs" \
  "${rc}:$(grep -o 'has no port: brltty runs' <<<"${out}")"
guest "kavnori-doctor ${by_id}"
expect "the doctor on its by-id name meanwhile" "2:] missing: ] brltty:" \
  "${rc}:$(grep -o '\] [a-z-]*:' <<<"${out}" | xargs)"
# ftdi_sio not loaded: both adapters listed without a port, with the modprobe.
guest 'kill ${brltty}; rmmod ftdi_sio && kavnori-doctor'
expect "ftdi_sio unloaded: the listing" 2:2 "$(grep -c '^USB adapter without a port$' <<<"${out}"):$(grep -c '^  fix: sudo modprobe ftdi_sio$' <<<"${out}")"
guest 'kavnori-doctor --find 0403:6001:KAV0002'
expect "ftdi_sio unloaded: --find" "2:its chip needs ftdi_sio, which is not loaded" \
  "${rc}:$(grep -o 'its chip needs ftdi_sio, which is not loaded' <<<"${out}")"

echo "rack: $((SECONDS - started)) s, ${passed} passed, ${failed} failed"
[ "${failed}" -eq 0 ]
