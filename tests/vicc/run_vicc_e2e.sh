#!/usr/bin/env bash
# End to end through everything real, with a card that nobody here wrote:
#
#   pyscard client -> pcscd -> libifd-ttycard.so -> pseudo-terminal ->
#   ttycard-emu --vicc (the reader, T=1 card side) -> loopback -> vicc (iso7816)
#
#   tests/vicc/run_vicc_e2e.sh BUILD_DIR     (default: build/)
#
# BUILD_DIR holds ttycard-emu and libifd-ttycard.so. Runs as root in a
# private mount namespace with a tmpfs on /run, so that this pcscd neither
# meets nor disturbs a system one. Installs pcscd, pyscard and vicc when
# missing. Prints "ok"/"not ok" lines and a closing "N passed, N failed" line;
# exits non-zero on any failure. Skips (SKIP line, exit 77) only when a package
# cannot be installed or mount namespaces are missing. E2E_KEEP=1 keeps logs.
set -u

HERE=$(cd "$(dirname "$0")" && pwd)
BUILD_DIR=${1:-${BUILD_DIR:-$HERE/../../build}}
VICC_SH=$HERE/../../scripts/vicc.sh

E2E_LABEL=vicc-e2e
# shellcheck source=../../scripts/e2e-lib.sh
. "$HERE/../../scripts/e2e-lib.sh"

if [ -z "${TTYCARD_VICC_INNER:-}" ]; then
  e2e_need_build "$BUILD_DIR" ttycard-emu libifd-ttycard.so
  e2e_install pcscd python3-pyscard
  "$VICC_SH" --install || e2e_skip "cannot install vsmartcard-vpicc python3-pycryptodome"
  "$VICC_SH" --check || e2e_skip "vicc is installed but its modules are not where expected"
  e2e_enter_namespace TTYCARD_VICC_INNER "$E2E_BUILD"
fi

# ---- inside the private mount namespace ----
e2e_private_run
e2e_workdir vicc-e2e
export TMPDIR=$WORK  # vicc.sh's module shim too: nothing stays behind in /tmp
READER="ttycard vicc"
EMU_PID=
VICC_PID=
PCSCD_PID=

gone() { ! kill -0 "$1" 2>/dev/null; }
emu_log() { grep -q -- "$1" "$WORK/emu.log"; }

# 1. The emulator listens first: vicc does not retry a failed connect.
"$BUILD_DIR/ttycard-emu" --vicc --trace --path-file "$WORK/pty" --port-file "$WORK/port" \
  >/dev/null 2>"$WORK/emu.log" &
EMU_PID=$!
expect "emulator starts and listens for vicc" retry 5 test -s "$WORK/pty"
[ "$FAILED" -eq 0 ] || e2e_finish
PORT=$(cat "$WORK/port")
PTY=$(cat "$WORK/pty")
echo "# emulator on $PTY, vicc relay on 127.0.0.1:$PORT"

# 2. vicc connects to it.
"$VICC_SH" "$PORT" -v >"$WORK/vicc.log" 2>&1 &
VICC_PID=$!
sleep 1
expect "vicc is running and connected" kill -0 "$VICC_PID"

# 3. pcscd with the driver on the emulator's terminal.
cat >"$WORK/reader.conf" <<CONF
FRIENDLYNAME "$READER"
DEVICENAME $PTY
LIBPATH $BUILD_DIR/libifd-ttycard.so
CHANNELID 0x0103F8
CONF
pcscd -f -a -d -c "$WORK/reader.conf" >"$WORK/pcscd.log" 2>&1 &
PCSCD_PID=$!
expect "pcscd comes up" retry 15 test -S /run/pcscd/pcscd.comm

# 4. The client.
timeout 120 /usr/bin/python3 "$HERE/vicc_client.py" --reader "$READER" >"$WORK/client.txt" 2>&1
rc=$?
e2e_tally "$WORK/client.txt"
expect "pyscard client exits 0" test $rc -eq 0
[ $rc -eq 0 ] || sed 's/^/# client: /' "$WORK/client.txt" | grep -v '^# client: ok' | tail -5

# 5. What crossed the relay.
expect "the reader powered vicc's card on" emu_log "vicc <- POWER ON, GET ATR"
expect "vicc's ATR became the reader's reset answer" \
  emu_log "emu -> ATR 3B 95 13 81 01 80 73 FF 01 00 0B"
expect "the card reset went to vicc as a warm reset" emu_log "vicc <- RESET, GET ATR"
expect "long commands reached the card in chained T=1 blocks" emu_log "emu <- T=1 I(.,1)"
# The driver announces an IFSD of 254 after each reset: the 258 bytes of a
# 256-byte answer and SW1 SW2 leave in two blocks, the first chained.
expect "the driver announced its IFSD of 254" emu_log "emu <- T=1 S(IFS request) FE"
expect "the 256-byte answer left in chained T=1 blocks" \
  test "$(grep -c 'emu -> T=1 I(.,1)' "$WORK/emu.log")" -ge 1
expect "vicc answered every relayed message" bash -c "! grep -q '^vicc !!' '$WORK/emu.log'"
expect "the emulator saw no protocol violation" bash -c "! grep -q '^emu !!' '$WORK/emu.log'"
expect "vicc did not crash" bash -c "! grep -q Traceback '$WORK/vicc.log'"

# 6. Shutdown: pcscd, then the emulator, whose closed relay ends vicc.
expect "pcscd exits within 10 s of SIGINT" e2e_pcscd_interrupt "$PCSCD_PID"
PCSCD_PID=
expect "the card was powered off at vicc" emu_log "vicc <- POWER OFF"
kill -TERM "$EMU_PID"
expect "the emulator exits on SIGTERM" retry 5 gone "$EMU_PID"
e2e_stop "$EMU_PID"
EMU_PID=
expect "vicc exits when the relay closes" retry 5 gone "$VICC_PID"
e2e_stop "$VICC_PID"
VICC_PID=

e2e_finish
