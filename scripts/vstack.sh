#!/usr/bin/env bash
# A virtual smart-card stack for PC/SC development without the reader:
# ttycard-emu (our card, or vsmartcard's vicc with --vicc) on a
# pseudo-terminal, and pcscd with libifd-ttycard.so on it.
#
#   scripts/vstack.sh [OPTIONS] [-- COMMAND [ARG...]]
#       Brings the stack up in the foreground, then runs COMMAND (or, on a
#       terminal, an interactive shell; otherwise it waits) with the stack
#       reachable, and tears everything down when that ends or on Ctrl-C.
#   scripts/vstack.sh exec COMMAND [ARG...]   run COMMAND against a running stack
#   scripts/vstack.sh remove | insert          take the card out / put it back
#   scripts/vstack.sh status | stop
# OPTIONS
#   --vicc             vsmartcard's vicc plays the card behind the emulator
#   --vicc-type TYPE   vicc's card type (-t; default iso7816); implies --vicc
#   --vicc-verbose     vicc logs more; once: errors, twice: warnings, three
#                      times: every APDU, four: debug; implies --vicc
#   --vpcd             the reference path: the same vicc card behind
#                      vsmartcard's own pcscd driver (vpcd), without ttycard
#                      and the emulator; reader "vpcd virtual 00 00"
#   --build DIR        where ttycard-emu and libifd-ttycard.so are (build/)
#   --trace            the emulator traces, pcscd logs in debug mode
#
# With vicc, a card that exits (vicc dies on some commands) is started
# afresh, with an empty card, and counted in $STATE/vicc-starts.
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
  sed -n '6,25p' "$0" | sed 's/^# \{0,1\}//'
  exit "${1:-0}"
}
running() { [ -s "$STATE/pid" ] && kill -0 "$(cat "$STATE/pid")" 2>/dev/null; }

# ---- commands against a running stack ----
case "${1:-}" in
  -h | --help) usage 0 ;;
  status)
    if running; then
      echo "vstack: up (pid $(cat "$STATE/pid")), $(cat "$STATE/card")"
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
    [ -s "$STATE/emu-pid" ] || die "$1 needs the emulator (not with --vpcd)"
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
VICC_TYPE=iso7816
VICC_VERBOSE=
VPCD=
TRACE=
BUILD=$ROOT/build
while [ $# -gt 0 ]; do
  case $1 in
    --vicc) VICC=1 ;;
    --vicc-type)
      [ $# -ge 2 ] || usage 2
      VICC=1
      VICC_TYPE=$2
      shift
      ;;
    --vicc-verbose) VICC=1 VICC_VERBOSE="$VICC_VERBOSE -v" ;;
    --vpcd) VICC=1 VPCD=1 ;;
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
  if [ -z "$VPCD" ]; then
    BUILD=$(cd "$BUILD" 2>/dev/null && pwd) || die "no build folder $BUILD"
    for f in ttycard-emu libifd-ttycard.so; do
      [ -e "$BUILD/$f" ] || die "$BUILD/$f is missing: build first (cmake --build build)"
    done
  fi
  running && die "already running (pid $(cat "$STATE/pid")); scripts/vstack.sh stop"
  for p in pcscd ${VPCD:+vsmartcard-vpcd}; do
    dpkg -s "$p" >/dev/null 2>&1 && continue
    echo "vstack: installing $p" >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "$p" \
      >/dev/null 2>&1 || die "cannot install $p"
  done
  if [ -n "$VICC" ]; then
    "$HERE/vicc.sh" --install && "$HERE/vicc.sh" --check ||
      die "cannot install vicc (vsmartcard-vpicc, python3-pycryptodome)"
  fi
  mkdir -p /run/pcscd "$STATE"
  export TTYCARD_VSTACK_INNER=1 VSTACK_BUILD=$BUILD VSTACK_VICC=$VICC VSTACK_TRACE=$TRACE \
    VSTACK_VICC_TYPE=$VICC_TYPE VSTACK_VICC_VERBOSE=$VICC_VERBOSE VSTACK_VPCD=$VPCD
  exec unshare -m --propagation private "$0" "$@"
fi

# ---- inside the namespace ----
BUILD=$VSTACK_BUILD
VICC=$VSTACK_VICC
VICC_TYPE=$VSTACK_VICC_TYPE
VICC_VERBOSE=$VSTACK_VICC_VERBOSE
VPCD=$VSTACK_VPCD
TRACE=$VSTACK_TRACE
EMU_PID=
VICC_PID=
PCSCD_PID=
[ -n "$VPCD" ] && READER="vpcd virtual"

teardown() {
  trap - EXIT INT TERM
  local pid
  for pid in $PCSCD_PID $VICC_PID $EMU_PID; do
    kill -TERM "$pid" 2>/dev/null
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null
  done
  wait 2>/dev/null
  rm -f "$STATE/pid" "$STATE/emu-pid" "$STATE/command-pid" "$STATE/card" "$STATE/vicc-starts"
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

# vicc, started again whenever it exits while the stack is up, unless it
# exits within 5 s three times in a row (a card type that cannot start). It
# does not retry a failed connect: whoever it connects to listens first.
vicc_keeper() { # vicc_keeper PORT
  local child='' n=0 quick=0 started
  trap '[ -n "$child" ] && kill -TERM "$child" 2>/dev/null; exit 0' TERM
  while [ "$quick" -lt 3 ]; do
    n=$((n + 1))
    echo "$n" >"$STATE/vicc-starts"
    echo "vstack: vicc start $n (-t $VICC_TYPE)" >>"$STATE/vicc.log"
    started=$SECONDS
    # shellcheck disable=SC2086
    "$HERE/vicc.sh" "$1" -t "$VICC_TYPE" $VICC_VERBOSE >>"$STATE/vicc.log" 2>&1 &
    child=$!
    wait "$child"
    if [ $((SECONDS - started)) -lt 5 ]; then quick=$((quick + 1)); else quick=0; fi
    sleep 0.3
  done
  echo "vstack: vicc exited within 5 s of each of 3 starts; not started again" |
    tee -a "$STATE/vicc.log" >&2
}
# Whether a socket listens on TCP PORT (state 0A), IPv4 or IPv6.
listening() {
  cat /proc/net/tcp /proc/net/tcp6 2>/dev/null | grep -qi "^ *[0-9]*: [0-9A-F]*:$(printf %04X "$1") [0-9A-F:]* 0A"
}
free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

mount -t tmpfs -o mode=0755 tmpfs /run/pcscd || die "cannot mount a tmpfs on /run/pcscd"
rm -f "$STATE"/*.log "$STATE/pty" "$STATE/port"
echo $$ >"$STATE/pid"
CARD="ttycard emulator card"
[ -n "$VICC" ] && CARD="vicc ($VICC_TYPE$([ "$VICC_TYPE" = iso7816 ] && echo ", PIN 1234"))"

if [ -n "$VPCD" ]; then
  # vsmartcard's own driver listens on the port named in DEVICENAME (and the
  # next one for its second, empty slot).
  PORT=$(free_port) || die "no free TCP port"
  cat >"$STATE/reader.conf" <<CONF
FRIENDLYNAME "$READER"
DEVICENAME /dev/null:$PORT
LIBPATH /usr/lib/pcsc/drivers/serial/libifdvpcd.so
CHANNELID $PORT
CONF
else
  # The emulator listens before vicc starts.
  "$BUILD/ttycard-emu" ${VICC:+--vicc} $TRACE --path-file "$STATE/pty" --port-file "$STATE/port" \
    >/dev/null 2>"$STATE/emu.log" &
  EMU_PID=$!
  echo "$EMU_PID" >"$STATE/emu-pid"
  wait_for 5 -s "$STATE/pty" || die "the emulator did not start (see $STATE/emu.log)"
  PORT=$(cat "$STATE/port" 2>/dev/null)
  cat >"$STATE/reader.conf" <<CONF
FRIENDLYNAME "$READER"
DEVICENAME $(cat "$STATE/pty")
LIBPATH $BUILD/libifd-ttycard.so
CHANNELID 0x0103F8
CONF
fi
echo "card: $CARD, reader \"$READER 00 00\"" >"$STATE/card"

pcscd -f -a ${TRACE:+-d} -c "$STATE/reader.conf" >"$STATE/pcscd.log" 2>&1 &
PCSCD_PID=$!
wait_for 15 -S /run/pcscd/pcscd.comm || die "pcscd did not come up (see $STATE/pcscd.log)"
if [ -n "$VICC" ]; then
  for _ in $(seq 50); do listening "$PORT" && break; sleep 0.1; done
  listening "$PORT" || die "nothing listens for vicc on port $PORT (see $STATE/pcscd.log)"
  vicc_keeper "$PORT" &
  VICC_PID=$!
fi

echo "vstack: up: $(cat "$STATE/card"); logs in $STATE" >&2
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
while kill -0 "$PCSCD_PID" 2>/dev/null && kill -0 "${EMU_PID:-$PCSCD_PID}" 2>/dev/null; do
  sleep 1 &
  wait $! 2>/dev/null
done
die "pcscd or the emulator stopped (see $STATE)"
