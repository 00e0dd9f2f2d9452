#!/usr/bin/env bash
# End-to-end test of libifd-ttycard.so under Debian's pcscd, with real PC/SC
# clients (pcsc_scan, scriptor, pyscard) and the reader emulator standing in
# for the serial reader on a pseudo-terminal.
#
#   pcsc/tests/run_e2e.sh [BUILD_DIR]      (or BUILD_DIR=... in the environment)
#
# BUILD_DIR holds ttycard-emu and libifd-ttycard.so (default: build/). Runs as
# root in a private mount namespace with a tmpfs on /run, so that this pcscd
# neither meets nor disturbs a system one. Prints "ok"/"not ok" lines and a
# closing "N passed, N failed" line; exits non-zero on any failure. Skips
# (exit 77, SKIP line) only when the packages or mount namespaces are missing.
set -u

HERE=$(cd "$(dirname "$0")" && pwd)
BUILD_DIR=${1:-${BUILD_DIR:-$HERE/../../build}}

E2E_LABEL=e2e
# shellcheck source=../../scripts/e2e-lib.sh
. "$HERE/../../scripts/e2e-lib.sh"

if [ -z "${TTYCARD_E2E_INNER:-}" ]; then
  e2e_need_build "$BUILD_DIR" ttycard-emu libifd-ttycard.so
  e2e_install pcscd pcsc-tools python3-pyscard
  e2e_enter_namespace TTYCARD_E2E_INNER "$E2E_BUILD"
fi

# ---- inside the private mount namespace ----
e2e_private_run
e2e_workdir e2e
LIB=$BUILD_DIR/libifd-ttycard.so
EMU_PID=
PCSCD_PID=

# One card: emulator, pcscd, clients, shutdown.
run_card() { # run_card LABEL PROTO(T0|T1) ATR EMU-ARGS...
  local label=$1 proto=$2 atr=$3
  shift 3
  local dir=$WORK/$label reader="ttycard emulator"
  mkdir -p "$dir"
  echo "# $label: ttycard-emu $*"

  "$BUILD_DIR/ttycard-emu" --trace --path-file "$dir/pty" "$@" >/dev/null 2>"$dir/emu.log" &
  EMU_PID=$!
  retry 5 test -s "$dir/pty" || { notok "$label: emulator starts"; return; }
  local pty
  pty=$(head -n1 "$dir/pty")
  cat >"$dir/reader.conf" <<CONF
FRIENDLYNAME "$reader"
DEVICENAME $pty
LIBPATH $LIB
CHANNELID 0x0103F8
CONF

  pcscd -f -a -d -c "$dir/reader.conf" >"$dir/pcscd.log" 2>&1 &
  PCSCD_PID=$!
  expect "$label: pcscd comes up (socket)" retry 15 test -S /run/pcscd/pcscd.comm
  expect "$label: pcscd loads the driver as IFD handler 3.0" \
    grep -q "Loading IFD Handler 3.0" "$dir/pcscd.log"
  expect "$label: pcscd uses the driver's polling wait" \
    grep -q "Using the reader polling thread" "$dir/pcscd.log"

  # pcsc_scan: the reader list, then the ATR (-n: no ATR analysis, which
  # would also try to fetch a list of known cards).
  scan_lists() { timeout 10 pcsc_scan -r >"$dir/scan-r.txt" 2>&1 && grep -q "$reader" "$dir/scan-r.txt"; }
  expect "$label: pcsc_scan lists the reader" retry 20 scan_lists
  # The card shows up once the reader has settled (3.4 s after pcscd opened it).
  scan_atr() { timeout 4 pcsc_scan -n -t 2 >"$dir/scan.txt" 2>&1; grep -q "ATR: $atr" "$dir/scan.txt"; }
  expect "$label: pcsc_scan shows the ATR $atr" retry 10 scan_atr

  # scriptor (pcsc-tools): select and read a file with the card's protocol.
  printf '00 A4 00 00 02 2F 01\n00 B0 00 00 10\n' >"$dir/script.txt"
  timeout 30 scriptor -r "$reader 00 00" -p "T=${proto#T}" "$dir/script.txt" >"$dir/scriptor.txt" 2>&1
  expect "$label: scriptor uses T=${proto#T}" grep -q "Using T=${proto#T} protocol" "$dir/scriptor.txt"
  expect "$label: scriptor SELECT answers 90 00" grep -q "^< 90 00 : Normal processing" "$dir/scriptor.txt"
  expect "$label: scriptor READ BINARY returns the file" \
    bash -c "tr '\\n' ' ' <'$dir/scriptor.txt' | grep -Eq '< 54 54 59 43 41 52 44 20 45 4D 55 4C 41 54 4F 52 +90 00 : Normal processing'"

  # pyscard: protocols, APDUs, removal and insertion.
  timeout 120 /usr/bin/python3 "$HERE/e2e_client.py" --reader "$reader" --protocol "$proto" \
    --atr "$atr" --emu-pid "$EMU_PID" >"$dir/client.txt" 2>&1
  local rc=$?
  while IFS= read -r line; do
    case $line in
      "ok - "*) ok "$label: ${line#ok - }" ;;
      "not ok - "*) notok "$label: ${line#not ok - }" ;;
    esac
  done <"$dir/client.txt"
  expect "$label: pyscard client exits 0" test $rc -eq 0

  # Idle: the event thread asks for presence once per polling interval (1 s),
  # not at pcscd's own 400 ms rate, and never back to back.
  local before after
  before=$(grep -c "emu <- STATUS" "$dir/emu.log")
  sleep 4
  after=$(grep -c "emu <- STATUS" "$dir/emu.log")
  expect "$label: idle presence polling is 2 to 6 status queries in 4 s ($((after - before)))" \
    test $((after - before)) -ge 2 -a $((after - before)) -le 6

  # SIGINT: pcscd stops its event thread and closes the channel, which powers
  # the card down on the wire. Nothing else talks to the reader by then.
  local mark
  mark=$(wc -l <"$dir/emu.log")
  kill -INT "$PCSCD_PID"
  # pcscd's main loop notices the signal only when its select() returns; if
  # the signal landed on another thread, a client connecting wakes it.
  local until=$((SECONDS + 10)) nudged=
  while kill -0 "$PCSCD_PID" 2>/dev/null && [ $SECONDS -lt $until ]; do
    if [ -z "$nudged" ] && [ $((until - SECONDS)) -le 7 ]; then
      nudged=1
      timeout 2 pcsc_scan -r >/dev/null 2>&1
    fi
    sleep 0.1
  done
  expect "$label: pcscd exits within 10 s of SIGINT" bash -c "! kill -0 $PCSCD_PID 2>/dev/null"
  kill -KILL "$PCSCD_PID" 2>/dev/null
  wait "$PCSCD_PID" 2>/dev/null
  PCSCD_PID=
  expect "$label: pcscd stops the polling wait and unloads the driver" \
    grep -q "Unloading reader driver" "$dir/pcscd.log"
  expect "$label: closing the channel powers the card down" \
    bash -c "tail -n +$((mark + 1)) '$dir/emu.log' | grep -q 'emu <- POWER DOWN'"
  expect "$label: the emulator saw no protocol violation" \
    bash -c "! grep -q '^emu !!' '$dir/emu.log'"

  kill -TERM "$EMU_PID"
  wait "$EMU_PID" 2>/dev/null
  EMU_PID=
  rm -f /run/pcscd/pcscd.comm
}

# Install into a scratch DESTDIR: the driver lands in a pcsc/drivers/serial
# folder (pcsc-lite's own for the prefix /usr) and the example configuration
# names that very file.
install_check() {
  local dest=$WORK/dest lib conf
  DESTDIR=$dest cmake --install "$BUILD_DIR" >"$WORK/install.log" 2>&1 || return 1
  lib=$(find "$dest" -path '*/pcsc/drivers/serial/libifd-ttycard.so' | head -n1)
  conf=$(find "$dest" -path '*/reader.conf.d/ttycard' | head -n1)
  [ -n "$lib" ] && [ -n "$conf" ] && [ -f "$conf.example" ] || return 1
  grep -q "^#LIBPATH *${lib#"$dest"}$" "$conf" || return 1
  for key in FRIENDLYNAME DEVICENAME CHANNELID; do
    grep -q "^#$key " "$conf" || return 1
  done
  # Commented out: installing it alone makes pcscd open no port.
  ! grep -q "^[A-Z]" "$conf"
}
if [ -f "$BUILD_DIR/cmake_install.cmake" ]; then
  expect "cmake --install puts the driver and a commented reader.conf.d example in place" install_check
fi

run_card t1-card T1 "3B 84 81 31 20 45 54 54 59 43 4B"
run_card t0-card T0 "3B 02 14 50" --t0

e2e_finish
