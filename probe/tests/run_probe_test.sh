#!/usr/bin/env bash
# ttycard-probe against emulated ports, in a private mount namespace whose
# /dev is a fresh tmpfs (the machine's own serial devices are out of reach):
#
#   ttyS0   reader, card in          ttyUSB0  reader, no card, + a by-id link
#   ttyS1   reader held with flock   ttyUSB1  answers garbage (a stale UUCP lock)
#   ttyS2   reader with a UUCP lock  ttyUSB2  silent
#   ttyS3   reader, but the console  ttyACM0  reader (+ a by-id link), only when asked
#
# then real pcscd on the configuration it wrote.
#   probe/tests/run_probe_test.sh BUILD-DIR     (SKIP and status 77 where it cannot run)
set -u
build=$(cd "${1:-build}" && pwd) || exit 2
E2E_LABEL=probe
source "$(dirname "$0")/../../scripts/e2e-lib.sh"
skip() { echo "SKIP: $*"; exit 77; }
not() { ! "$@"; }

if [[ -z "${TTYCARD_PROBE_INNER:-}" ]]; then
  [[ $(id -u) -eq 0 ]] || skip "not root (mount namespace)"
  [[ -x $build/ttycard-probe && -x $build/ttycard-emu ]] || skip "ttycard-probe or ttycard-emu not built"
  command -v python3 >/dev/null || skip "no python3 (silent and garbage ports)"
  unshare -m --propagation private true 2>/dev/null || skip "no mount namespaces"
  exec env TTYCARD_PROBE_INNER=1 unshare -m --propagation private bash "$0" "$build"
fi

work=$(mktemp -d /tmp/ttycard-probe.XXXXXX)
pids=()
cleanup() {
  kill "${pids[@]}" 2>/dev/null
  wait 2>/dev/null
  [[ -n ${KEEP:-} ]] || rm -rf "$work"
}
trap cleanup EXIT
mount -t tmpfs tmpfs /run && mkdir -p /run/lock /run/pcscd || skip "cannot mount a tmpfs on /run"
[[ /var/lock -ef /run/lock ]] || mount -t tmpfs tmpfs /var/lock

declare -A pty
for name in ttyS0 ttyS1 ttyS2 ttyS3 ttyUSB0 ttyACM0; do
  args=(--trace --path-file "$work/$name.pty")
  [[ $name == ttyUSB0 ]] && args+=(--no-card)
  "$build/ttycard-emu" "${args[@]}" >/dev/null 2>"$work/$name.trace" &
  pids+=($!)
done
python3 - "$work/py.pty" <<'PY' &
import os, select, sys
(m1, s1), (m2, s2) = os.openpty(), os.openpty()  # silent, garbage (slaves kept open)
open(sys.argv[1] + ".tmp", "w").write(os.ttyname(s1) + " " + os.ttyname(s2) + "\n")
os.rename(sys.argv[1] + ".tmp", sys.argv[1])
while True:
    select.select([m2], [], [])
    os.read(m2, 512)
    os.write(m2, b"\r\nERROR\r\n")
PY
pids+=($!)
for name in ttyS0 ttyS1 ttyS2 ttyS3 ttyUSB0 ttyACM0 py; do
  retry 5 test -s "$work/$name.pty" || { notok "$name emulator starts"; exit 1; }
  pty[$name]=$(head -n1 "$work/$name.pty")
done
read -r silent garbage <"$work/py.pty"
pty[ttyUSB1]=$garbage pty[ttyUSB2]=$silent

# The console: ttyS3's pseudo-terminal, by its device number.
printf 'ttyS3 -W- (EC p a) %d:%d\n' "0x$(stat -Lc %t "${pty[ttyS3]}")" \
  "0x$(stat -Lc %T "${pty[ttyS3]}")" >"$work/consoles"
mount --bind "$work/consoles" /proc/consoles

# A /dev of our own: pts and null from the old one, the ports bound over empty files.
mkdir "$work/pts" && touch "$work/null"
mount --rbind /dev/pts "$work/pts" && mount --bind /dev/null "$work/null"
mount -t tmpfs tmpfs /dev && mkdir /dev/pts && touch /dev/null
mount --move "$work/pts" /dev/pts && mount --move "$work/null" /dev/null
ln -s /proc/self/fd /dev/fd
for name in "${!pty[@]}"; do
  [[ $name == py ]] && continue
  : >"/dev/$name" && mount --bind "${pty[$name]}" "/dev/$name"
done
byid=/dev/serial/by-id/usb-ttycard_Test_Reader_0001-if00-port0
mkdir -p /dev/serial/by-id && ln -s ../../ttyUSB0 "$byid"
ln -s ../../ttyACM0 /dev/serial/by-id/usb-ttycard_Board-if00

(exec 9</dev/ttyS1 && flock 9 && exec sleep 300) >/dev/null 2>&1 &
pids+=($!)
sleep 300 >/dev/null 2>&1 &
pids+=($!)
printf '%10d\n' $! >/run/lock/LCK..ttyS2
sh -c 'exit 0' &
dead=$!
wait $dead
printf '%10d\n' $dead >/run/lock/LCK..ttyUSB1
retry 5 bash -c "! flock -n /dev/ttyS1 true" || notok "flock holds ttyS1"

stty -g -F /dev/ttyS0 >"$work/stty.before" && stty -g -F /dev/ttyUSB2 >>"$work/stty.before"
lib=$build/libifd-ttycard.so
start=$(date +%s%N)
"$build/ttycard-probe" --write "$work/reader.conf" --library "$lib" >"$work/run1" 2>&1
rc=$?
ms=$((($(date +%s%N) - start) / 1000000))
sed 's/^/# /' "$work/run1"
expect "default ports: exit status 0 ($rc)" test $rc -eq 0
row() { grep -qE "^$1 +$2" "$3"; }
while IFS='|' read -r port answer; do
  expect "default ports: $port: $answer" row "$port" "$answer" "$work/run1"
done <<'EOF'
/dev/ttyS0|reader, card present$
/dev/ttyS1|in use \(locked by another opener
/dev/ttyS2|in use \(lock file /run/lock/LCK..ttyS2 of process
/dev/ttyS3|console, not opened$
/dev/ttyUSB0|reader, no card \(/dev/serial/by-id/usb-ttycard_Test_Reader_0001-if00-port0\)$
/dev/ttyUSB1|garbage \([0-9]+ bytes: 0D 0A 45 52 52 4F 52 .*stale lock file /run/lock/LCK..ttyUSB1
/dev/ttyUSB2|silence$
EOF
expect "default ports: seven rows, no ttyACM, the by-id link not a row of its own" \
  test "$(grep -c '^/dev/' "$work/run1")" -eq 7
expect "the configuration names ttyS0 (COM1) and the by-id link" diff \
  <(grep -E '^(DEVICENAME|CHANNELID|LIBPATH)' "$work/reader.conf" | tr -s ' ') - <<EOF
DEVICENAME /dev/ttyS0
LIBPATH $lib
CHANNELID 0x0103F8
DEVICENAME $byid
LIBPATH $lib
CHANNELID 0x010000
EOF
expect "all ports settled together: $ms ms, under 12 s (about 7.4 s expected)" test $ms -lt 12000
for name in ttyS1 ttyS2 ttyS3 ttyACM0; do
  expect "$name: the reader received nothing" test "$(grep -c 'emu <-' "$work/$name.trace")" -eq 0
done
expect "ttyS0: the reader received STATUS and nothing else" \
  test "$(grep 'emu <-' "$work/ttyS0.trace" | sort -u)" = "emu <- STATUS"
stty -g -F /dev/ttyS0 >"$work/stty.after" && stty -g -F /dev/ttyUSB2 >>"$work/stty.after"
expect "ttyS0 and ttyUSB2 have their settings back" cmp -s "$work/stty.before" "$work/stty.after"

# --write never replaces a file without --force, and refuses before probing.
cp "$work/reader.conf" "$work/reader.conf.1"
"$build/ttycard-probe" --write "$work/reader.conf" /dev/ttyACM0 >"$work/run2" 2>&1
rc=$?
expect "--write onto an existing file: status 2 ($rc), file untouched, nothing probed" \
  bash -c "[[ $rc -eq 2 ]] && cmp -s '$work/reader.conf' '$work/reader.conf.1' && ! grep -q 'emu <-' '$work/ttyACM0.trace'"
"$build/ttycard-probe" --write "$work/reader.conf" --force /dev/ttyACM0 /dev/null /dev/nothing \
  /dev/ttyUSB0 "$byid" >"$work/run3" 2>&1
rc=$?
sed 's/^/# /' "$work/run3"
expect "named ports with --force: status 0 ($rc), four rows" \
  test $rc -eq 0 -a "$(grep -c '^/dev/' "$work/run3")" -eq 4
while IFS='|' read -r port answer; do
  expect "named ports: $port: $answer" row "$port" "$answer" "$work/run3"
done <<'EOF'
/dev/ttyACM0|reader, card present \(/dev/serial/by-id/usb-ttycard_Board-if00\)$
/dev/null|not a terminal$
/dev/nothing|no such port$
/dev/ttyUSB0|reader, no card
EOF
expect "--force replaced the file" grep -q "^DEVICENAME   /dev/serial/by-id/usb-ttycard_Board-if00$" \
  "$work/reader.conf"
"$build/ttycard-probe" --write "$work/none.conf" /dev/null >/dev/null 2>&1
rc=$?
expect "no reader: status 1 ($rc), nothing written" test $rc -eq 1 -a ! -e "$work/none.conf"

# Real pcscd takes the first configuration: both readers come up for clients.
if [[ ! -e $lib ]] || ! command -v pcscd >/dev/null || ! command -v pcsc_scan >/dev/null; then
  echo "ok - pcscd reads the configuration # SKIP no libifd-ttycard.so, pcscd or pcsc_scan"
elif nm -D --undefined-only "$lib" | grep -q '__[at]san_'; then
  echo "ok - pcscd reads the configuration # SKIP a sanitized library, which pcscd cannot load"
else
  pcscd -f -a -d -c "$work/reader.conf.1" >"$work/pcscd.log" 2>&1 &
  pids+=($!)
  scan() { timeout 10 pcsc_scan -r >"$work/scan" 2>&1 && grep -q "$1" "$work/scan"; }
  expect "pcscd lists both readers of the written configuration" \
    retry 30 scan "ttycard ttyUSB0 01 00"
  expect "... and the first one too" grep -q "ttycard ttyS0 00 00" "$work/scan"
  expect "pcscd reports no error" not grep -qi "error\|syntax" "$work/pcscd.log"
fi
echo "$E2E_LABEL: $PASSED passed, $FAILED failed"
[[ $FAILED -eq 0 ]]
