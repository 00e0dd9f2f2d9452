#!/usr/bin/env bash
# More of libifd-ttycard.so under Debian's pcscd, with pyscard clients and
# reader emulators on pseudo-terminals:
#
#   1. one pcscd, four reader entries with the same LIBPATH: a T=1 reader, a
#      T=0 reader, the T=1 reader's device named a second time (refused,
#      "already in use" in pcscd's log) and a reader on a --link path.
#      TTYCARD_LOG=frames: the frame trace is in pcscd's log. Attributes,
#      control codes, two clients on two readers at once, T=1 APDUs of every
#      short length and extended ones, and the linked reader's emulator
#      killed and started again: empty (not "unavailable") within 5 s, back
#      with a card within 10 s.
#   2. pcscd without TTYCARD_LOG: no frame lines in its log.
#   3. pcscd with standard output and error on a pipe nobody reads, every
#      trace level on: 10 000 T=0 APDUs without a stall.
#   4. pcscd without --debug, its reader away for 30 s: at most 4 log lines.
#   5. a card offering T=0 first and T=1 too: clients asking for T0|T1 or
#      T=1 get T=0, and no T=1 block reaches the card.
#
#   tests/e2e/run_pcscd_more.sh [BUILD_DIR]     (default: build/)
#
# Runs as root in a private mount namespace with a tmpfs on /run. Prints
# ok / not ok lines and "N passed, N failed"; exits non-zero on a failure.
set -u

HERE=$(cd "$(dirname "$0")" && pwd)
BUILD_DIR=${1:-${BUILD_DIR:-$HERE/../../build}}

E2E_LABEL=pcscd-more
# shellcheck source=../../scripts/e2e-lib.sh
. "$HERE/../../scripts/e2e-lib.sh"

if [ -z "${TTYCARD_MORE_INNER:-}" ]; then
  e2e_need_build "$BUILD_DIR" ttycard-emu libifd-ttycard.so
  e2e_install pcscd python3-pyscard
  e2e_enter_namespace TTYCARD_MORE_INNER "$E2E_BUILD"
fi

# ---- inside the private mount namespace ----
e2e_private_run
e2e_workdir more
LIB=$BUILD_DIR/libifd-ttycard.so
EMU=$BUILD_DIR/ttycard-emu
CLIENT=(/usr/bin/python3 "$HERE/pcscd_client.py")
PIDS=()
PCSCD_PID=
START=$SECONDS

# Runs a client; its ok / not ok lines count here, prefixed with LABEL.
client() { # client LABEL ARGS...
  local label=$1 out rc
  shift
  out=$(timeout 120 "${CLIENT[@]}" "$@" 2>&1)
  rc=$?
  e2e_tally <(printf '%s\n' "$out") "$label"
  [ $rc -eq 0 ] || [ -n "$out" ] || notok "$label client exited $rc without a word"
}

emulator() { # emulator NAME ARGS... : starts one; its pty in $WORK/NAME.pty
  local name=$1
  shift
  rm -f "$WORK/$name.pty"
  "$EMU" --path-file "$WORK/$name.pty" "$@" >/dev/null 2>"$WORK/$name.log" &
  PIDS+=("$!")
  eval "${name}_PID=$!"
  retry 5 test -s "$WORK/$name.pty" || { notok "emulator $name starts"; return 1; }
}
pty() { head -n1 "$WORK/$1.pty"; }

entry() { # entry NAME DEVICE
  printf 'FRIENDLYNAME "%s"\nDEVICENAME %s\nLIBPATH %s\n\n' "$1" "$2" "$LIB"
}

start_pcscd() { # start_pcscd CONF LOG [ENV...]: pcscd -f -d (PCSCD_DEBUG), its output in LOG
  local conf=$1 log=$2
  shift 2
  rm -f /run/pcscd/pcscd.comm
  env "$@" pcscd -f ${PCSCD_DEBUG--d} -c "$conf" >"$log" 2>&1 &
  PCSCD_PID=$!
  retry 15 test -S /run/pcscd/pcscd.comm || { notok "pcscd comes up ($log)"; return 1; }
}

stop_pcscd() {
  [ -n "$PCSCD_PID" ] || return 0
  kill -TERM "$PCSCD_PID" 2>/dev/null
  retry 10 bash -c "! kill -0 $PCSCD_PID 2>/dev/null" || kill -KILL "$PCSCD_PID" 2>/dev/null
  wait "$PCSCD_PID" 2>/dev/null
  PCSCD_PID=
}

T1_ATR="3B 84 81 31 20 45 54 54 59 43 4B"
T0_ATR="3B 02 14 50"
NEW_ATR="3B 02 14 51"

# ---- 1. four entries in one pcscd, frames traced ----
emulator T1 || exit 1
emulator T0 --t0 || exit 1
emulator LINKED --link "$WORK/ttyLinked" || exit 1
T1_DEV=$(pty T1)
T0_DEV=$(pty T0)
{
  entry "ttycard T1" "$T1_DEV"
  entry "ttycard T0" "$T0_DEV"
  entry "ttycard again" "$T1_DEV"
  entry "ttycard linked" "$WORK/ttyLinked"
} >"$WORK/four.conf"
LOG1=$WORK/pcscd-four.log
start_pcscd "$WORK/four.conf" "$LOG1" TTYCARD_LOG=frames || exit 1
client "" wait "ttycard T1" present 20 "$T1_ATR"
client "" wait "ttycard T0" present 10 "$T0_ATR"
client "" wait "ttycard linked" present 10 "$T1_ATR"

expect "the same device named twice: the second entry is refused as already in use" \
  grep -q "ttycard: .*$T1_DEV.*already in use" "$LOG1"
no_card_again() { ! timeout 10 "${CLIENT[@]}" wait "ttycard again" present 1 2>/dev/null | grep -q "^ok"; }
expect "the refused entry offers no card" no_card_again

client "" attrs "ttycard T1" T1 "$T1_ATR" "$T1_DEV"
client "" attrs "ttycard T0" T0 "$T0_ATR" "$T0_DEV"
client "" control "ttycard T1" T1
client "" control "ttycard T0" T0

expect "frame trace: commands sent (->) in pcscd's log" \
  grep -Eq "ttycard: $T1_DEV -> <01" "$LOG1"
expect "frame trace: replies (<-) with their turnaround in ms" \
  grep -Eq "ttycard: $T0_DEV <- <.*[0-9]+\.[0-9]{3} ms" "$LOG1"

# Two clients on two readers at once.
start=$SECONDS
timeout 120 "${CLIENT[@]}" loop "ttycard T1" T1 3000 read >"$WORK/par-t1.txt" 2>&1 &
P1=$!
timeout 120 "${CLIENT[@]}" loop "ttycard T0" T0 3000 read >"$WORK/par-t0.txt" 2>&1 &
P2=$!
wait $P1
wait $P2
for f in par-t1 par-t0; do
  while IFS= read -r line; do
    case $line in
      "ok - "*) ok "in parallel: ${line#ok - }" ;;
      "not ok - "*) notok "in parallel: ${line#not ok - }" ;;
    esac
  done <"$WORK/$f.txt"
done
echo "# both loops together: $((SECONDS - start)) s"

client "T=1 full size: " t1full "ttycard T1"

# The linked reader's device goes away and comes back under the same name.
kill -TERM "$LINKED_PID"
wait "$LINKED_PID" 2>/dev/null
client "emulator killed: " wait "ttycard linked" gone 5
emulator LINKED --link "$WORK/ttyLinked" --atr "$NEW_ATR" || exit 1
client "new emulator on the same path: " wait "ttycard linked" present 10 "$NEW_ATR"
client "after recovery: " loop "ttycard linked" T0 20 challenge
expect "pcscd kept running through the recovery" kill -0 "$PCSCD_PID"
expect "the reader's loss and return are in pcscd's log" \
  bash -c "grep -q 'went away' '$LOG1' && grep -q 'is back' '$LOG1'"

stop_pcscd
for name in T1 T0 LINKED; do
  expect "emulator $name saw no protocol violation" bash -c "! grep -q '^emu !!' '$WORK/$name.log'"
done

# ---- 2. without TTYCARD_LOG: no frames in the log ----
entry "ttycard T0" "$T0_DEV" >"$WORK/one.conf"
LOG2=$WORK/pcscd-quiet.log
start_pcscd "$WORK/one.conf" "$LOG2" -u TTYCARD_LOG || exit 1
client "quiet: " loop "ttycard T0" T0 20 challenge
expect "without TTYCARD_LOG pcscd's debug log has no frame lines" \
  bash -c "! grep -Eq 'ttycard: .* (->|<-) <' '$LOG2'"
stop_pcscd

# ---- 3. standard output and error on a pipe nobody reads ----
# Every trace level on, but pcscd without --debug: the library's trace lines
# go to pcscd's log_msg, which drops them, so nothing may reach the pipe. A
# library writing to stdout or stderr itself would fill the pipe's 64 KiB and
# block there. (With --debug pcscd fills it on its own, five lines per
# APDU, and stalls whatever its drivers do.)
mkfifo "$WORK/unread"
# shellcheck disable=SC2217  # holds the reading end open and never reads
sleep 100000 <"$WORK/unread" &
SLEEPER=$!
PIDS+=("$SLEEPER")
rm -f /run/pcscd/pcscd.comm
TTYCARD_LOG=all pcscd -f -c "$WORK/one.conf" >"$WORK/unread" 2>&1 &
PCSCD_PID=$!
if retry 15 test -S /run/pcscd/pcscd.comm; then
  start=$SECONDS
  client "output never read: " loop "ttycard T0" T0 10000 challenge
  elapsed=$((SECONDS - start))
  expect "10 000 APDUs within 90 s (${elapsed} s)" test "$elapsed" -le 90
  expect "pcscd still serves" kill -0 "$PCSCD_PID"
else
  notok "pcscd comes up with its output on an unread pipe"
fi
stop_pcscd

# ---- 4. a reader away for 30 s, pcscd without --debug ----
emulator QUIET --link "$WORK/ttyQuiet" || exit 1
entry "ttycard quiet" "$WORK/ttyQuiet" >"$WORK/quiet.conf"
PCSCD_DEBUG= start_pcscd "$WORK/quiet.conf" "$WORK/away.log" -u TTYCARD_LOG || exit 1
client "" wait "ttycard quiet" present 10
kill -TERM "$QUIET_PID" && before=$(wc -l <"$WORK/away.log")
client "away: " wait "ttycard quiet" gone 5
sleep 30 && n=$(($(wc -l <"$WORK/away.log") - before))
expect "30 s away: $n lines in pcscd's log (at most 4)" test "$n" -le 4
emulator QUIET --link "$WORK/ttyQuiet" || exit 1
client "returned: " wait "ttycard quiet" present 10
expect "one 'went away' and one 'is back' line" test "$(grep -c 'went away\|is back' "$WORK/away.log")" = 2
stop_pcscd

# ---- 5. a card offering T=0 first and T=1 too runs T=0 (no PPS) ----
# pcscd tries T=1 first for T=1 alone and for T0|T1; the driver refuses it
# (607) and pcscd uses the card's T=0 (and from then on refuses T=1 alone
# until the card is reset). Not one T=1 block may reach the card.
connects_t0() { # connects_t0 READER: T1, then T0|T1 connects get T=0 and answer
  /usr/bin/python3 - "$1" <<'PY'
import sys
from smartcard.scard import *
_, ctx = SCardEstablishContext(SCARD_SCOPE_USER)
reader = next(r for r in SCardListReaders(ctx, [])[1] if r.startswith(sys.argv[1]))
for want in (SCARD_PROTOCOL_T1, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1):
    rv, card, got = SCardConnect(ctx, reader, SCARD_SHARE_SHARED, want)
    assert rv == 0 and got == SCARD_PROTOCOL_T0, (want, hex(rv), got)
    rv, r = SCardTransmit(card, SCARD_PCI_T0, [0x00, 0xA4, 0x00, 0x00, 0x02, 0x2F, 0x01])
    assert rv == 0 and list(r) == [0x90, 0x00], (want, hex(rv), r)
    SCardDisconnect(card, SCARD_LEAVE_CARD)
PY
}
emulator T0FIRST --t0 --trace --atr "3B 80 80 01 01" || exit 1
entry "ttycard T0 first" "$(pty T0FIRST)" >"$WORK/t0first.conf"
start_pcscd "$WORK/t0first.conf" "$WORK/pcscd-t0first.log" || exit 1
client "T=0 first: " wait "ttycard T0 first" present 10 "3B 80 80 01 01"
expect "T=0 first, T=1 too: connects for T=1 and for T0|T1 run T=0 and answer" \
  connects_t0 "ttycard T0 first"
stop_pcscd
expect "T=0 first, T=1 too: no T=1 block reached the card" \
  bash -c "grep -q 'emu <- T=0' '$WORK/T0FIRST.log' && ! grep -Eq 'emu <- T=1|^emu !!' '$WORK/T0FIRST.log'"

echo "# run time $((SECONDS - START)) s"
e2e_finish
