#!/usr/bin/env bash
# A virtual smart-card stack for PC/SC development without the reader:
# ttycard-emu (our card, or vsmartcard's vicc with --vicc) on a
# pseudo-terminal, and pcscd with libifd-ttycard.so on it.
#
#   scripts/vstack.sh [--vicc] [--build DIR] [--trace] [-- COMMAND [ARG...]]
#       Brings the stack up in the foreground, then runs COMMAND (or, on a
#       terminal, an interactive shell; otherwise it waits) with the stack
#       reachable, and tears everything down when that ends or on Ctrl-C.
#   scripts/vstack.sh exec COMMAND [ARG...]   run COMMAND against a running stack
#   scripts/vstack.sh remove | insert          take the card out / put it back
#   scripts/vstack.sh status | stop
#
# pcscd's socket path is fixed (/run/pcscd/pcscd.comm) and a system pcscd
# may own it, so the stack lives in a private mount namespace with its own
# tmpfs on /run/pcscd: only COMMAND, the shell and `vstack.sh exec` see this
# pcscd. Needs root (unshare, mount). One stack at a time.
set -u

HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(cd "$HERE/.." && pwd)
STATE=${TTYCARD_VSTACK_STATE:-/tmp/ttycard-vstack}
READER="ttycard virtual"

die() {
  echo "vstack: $*" >&2
  exit 1
}
usage() {
  sed -n '6,15p' "$0" | sed 's/^# \{0,1\}//'
  exit "${1:-0}"
}
running() { [ -s "$STATE/pid" ] && kill -0 "$(cat "$STATE/pid")" 2>/dev/null; }

# ---- commands against a running stack ----
case "${1:-}" in
  -h | --help) usage 0 ;;
  status)
    if running; then
      echo "vstack: up (pid $(cat "$STATE/pid")), card: $(cat "$STATE/card"), reader \"$READER 00 00\""
      echo "vstack: logs in $STATE"
      exit 0
    fi
    echo "vstack: not running"
    exit 1
    ;;
  stop)
    running || die "not running"
    pid=$(cat "$STATE/pid")
    # The command first (a shell leaves on HUP), then the stack itself.
    if [ -s "$STATE/command-pid" ]; then
      kill -HUP "$(cat "$STATE/command-pid")" 2>/dev/null
      kill -TERM "$(cat "$STATE/command-pid")" 2>/dev/null
    fi
    kill -TERM "$pid"
    for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || exit 0; sleep 0.1; done
    die "still running after 10 s (pid $pid)"
    ;;
  remove | insert)
    running || die "not running"
    [ "$1" = remove ] && sig=USR1 || sig=USR2
    kill -"$sig" "$(cat "$STATE/emu-pid")"
    exit
    ;;
  exec)
    shift
    [ $# -gt 0 ] || die "exec needs a command"
    running || die "not running"
    exec nsenter --mount --target "$(cat "$STATE/pid")" -- "$@"
    ;;
esac

VICC=
TRACE=
BUILD=$ROOT/build
while [ $# -gt 0 ]; do
  case $1 in
    --vicc) VICC=1 ;;
    --trace) TRACE=--trace ;;
    --build)
      [ $# -ge 2 ] || usage 2
      BUILD=$2
      shift
      ;;
    --) shift; break ;;
    -*) usage 2 ;;
    *) break ;;
  esac
  shift
done

# ---- outside: checks, packages, then into a private mount namespace ----
if [ -z "${TTYCARD_VSTACK_INNER:-}" ]; then
  [ "$(id -u)" -eq 0 ] || die "needs root (private mount namespace for pcscd)"
  BUILD=$(cd "$BUILD" 2>/dev/null && pwd) || die "no build folder $BUILD"
  for f in ttycard-emu libifd-ttycard.so; do
    [ -e "$BUILD/$f" ] || die "$BUILD/$f is missing: build first (cmake --build build)"
  done
  running && die "already running (pid $(cat "$STATE/pid")); scripts/vstack.sh stop"
  if ! dpkg -s pcscd >/dev/null 2>&1; then
    echo "vstack: installing pcscd" >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends pcscd \
      >/dev/null 2>&1 || die "cannot install pcscd"
  fi
  if [ -n "$VICC" ]; then
    "$ROOT/tests/vicc/vicc.sh" --install && "$ROOT/tests/vicc/vicc.sh" --check ||
      die "cannot install vicc (vsmartcard-vpicc, python3-pycryptodome)"
  fi
  mkdir -p /run/pcscd "$STATE"
  export TTYCARD_VSTACK_INNER=1 VSTACK_BUILD=$BUILD VSTACK_VICC=$VICC VSTACK_TRACE=$TRACE
  exec unshare -m --propagation private "$0" "$@"
fi

# ---- inside the namespace ----
BUILD=$VSTACK_BUILD
VICC=$VSTACK_VICC
TRACE=$VSTACK_TRACE
EMU_PID=
VICC_PID=
PCSCD_PID=

teardown() {
  trap - EXIT INT TERM
  local pid
  for pid in $PCSCD_PID $VICC_PID $EMU_PID; do
    kill -TERM "$pid" 2>/dev/null
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null
  done
  wait 2>/dev/null
  rm -f "$STATE/pid" "$STATE/emu-pid" "$STATE/command-pid" "$STATE/card"
  echo "vstack: down" >&2
}
trap teardown EXIT
trap 'exit 130' INT TERM
wait_for() { # wait_for SECONDS TEST-ARGS...
  local n=$(($1 * 10))
  shift
  for _ in $(seq "$n"); do test "$@" && return 0; sleep 0.1; done
  return 1
}

mount -t tmpfs -o mode=0755 tmpfs /run/pcscd || die "cannot mount a tmpfs on /run/pcscd"
rm -f "$STATE"/*.log "$STATE/pty" "$STATE/port"
echo $$ >"$STATE/pid"

# The emulator listens before vicc starts: vicc does not retry its connect.
"$BUILD/ttycard-emu" ${VICC:+--vicc} $TRACE --path-file "$STATE/pty" --port-file "$STATE/port" \
  >/dev/null 2>"$STATE/emu.log" &
EMU_PID=$!
echo "$EMU_PID" >"$STATE/emu-pid"
wait_for 5 -s "$STATE/pty" || die "the emulator did not start (see $STATE/emu.log)"
if [ -n "$VICC" ]; then
  "$ROOT/tests/vicc/vicc.sh" "$(cat "$STATE/port")" >"$STATE/vicc.log" 2>&1 &
  VICC_PID=$!
  echo "vicc (iso7816, PIN 1234)" >"$STATE/card"
else
  echo "ttycard emulator card" >"$STATE/card"
fi

cat >"$STATE/reader.conf" <<CONF
FRIENDLYNAME "$READER"
DEVICENAME $(cat "$STATE/pty")
LIBPATH $BUILD/libifd-ttycard.so
CHANNELID 0x0103F8
CONF
pcscd -f -a ${TRACE:+-d} -c "$STATE/reader.conf" >"$STATE/pcscd.log" 2>&1 &
PCSCD_PID=$!
wait_for 15 -S /run/pcscd/pcscd.comm || die "pcscd did not come up (see $STATE/pcscd.log)"

echo "vstack: up: reader \"$READER 00 00\" with the $(cat "$STATE/card"); logs in $STATE" >&2
export TTYCARD_VSTACK_READER="$READER 00 00" TTYCARD_VSTACK_STATE=$STATE
if [ $# -gt 0 ]; then
  sh -c 'echo $$ >"$0/command-pid"; exec "$@"' "$STATE" "$@"
  exit $?
elif [ -t 0 ]; then
  echo "vstack: PC/SC clients in this shell use the stack; exit the shell to stop it" >&2
  sh -c 'echo $$ >"$0/command-pid"; exec "${SHELL:-/bin/bash}" -i' "$STATE"
  exit 0
fi
echo "vstack: waiting; use 'scripts/vstack.sh exec COMMAND', stop with Ctrl-C or 'scripts/vstack.sh stop'" >&2
while kill -0 "$PCSCD_PID" 2>/dev/null && kill -0 "$EMU_PID" 2>/dev/null; do
  sleep 1 &
  wait $! 2>/dev/null
done
die "pcscd or the emulator stopped (see $STATE)"
