#!/usr/bin/env bash
# Start-up of Debian's pcscd with N ttycard readers (emulators on
# pseudo-terminals), as its first client sees it: seconds from pcscd's start
# to SCardEstablishContext succeeding, to every card present
# (SCardGetStatusChange) and to the first APDU answered.
#
#   bash bench/pcscd_startup.sh [BUILD_DIR] [COUNTS]   (default: build/, "1 4 16")
#
# Target, with 4 readers: a context within 1 s, every card present within 5 s
# (Debian starts pcscd on demand, so every first client after a pause waits
# for this). Exit status 0: met (or no 4-reader run); 2: missed; 1: a run
# failed. Needs root (a private mount namespace with a tmpfs on /run), pcscd
# and python3-pyscard.
set -u
HERE=$(cd "$(dirname "$0")" && pwd)
BUILD_DIR=${1:-$HERE/../build}
export COUNTS=${2:-${COUNTS:-1 4 16}}
E2E_LABEL=pcscd-startup
# shellcheck source=../scripts/e2e-lib.sh
. "$HERE/../scripts/e2e-lib.sh"
if [ -z "${TTYCARD_STARTUP_INNER:-}" ]; then
  e2e_need_build "$BUILD_DIR" ttycard-emu libifd-ttycard.so
  e2e_install pcscd python3-pyscard
  e2e_enter_namespace TTYCARD_STARTUP_INNER "$E2E_BUILD"
fi

e2e_private_run
e2e_workdir startup
status=0
echo "readers  context  all present  first APDU   (s from pcscd's start)"
for n in $COUNTS; do
  for i in $(seq "$n"); do
    rm -f "$WORK/$i.pty"
    "$BUILD_DIR/ttycard-emu" --path-file "$WORK/$i.pty" >/dev/null 2>&1 &
  done
  for i in $(seq "$n"); do
    retry 5 test -s "$WORK/$i.pty" || exit 1
    printf 'FRIENDLYNAME "ttycard %d"\nDEVICENAME %s\nLIBPATH %s\n\n' "$i" \
      "$(head -n1 "$WORK/$i.pty")" "$BUILD_DIR/libifd-ttycard.so"
  done >"$WORK/reader.conf"
  rm -f /run/pcscd/pcscd.comm
  epoch=$(date +%s.%N)
  pcscd -f -c "$WORK/reader.conf" >"$WORK/pcscd.log" 2>&1 &
  read -r _ count ctx all apdu < <(timeout 150 /usr/bin/python3 "$HERE/pcscd_startup.py" "$n" "$epoch")
  printf '%7s %8s %12s %11s\n' "$n" "${ctx:--}" "${all:--}" "${apdu:--}"
  case "$ctx $all $apdu" in *-*|"  ") status=1 ;; esac
  if [ "$n" = 4 ] && [ "$status" = 0 ] && ! awk "BEGIN { exit !($ctx <= 1 && $all <= 5) }"; then
    echo "target missed: with 4 readers a context within 1 s, every card within 5 s"
    status=2
  fi
  kill $(jobs -p) 2>/dev/null
  wait
done
exit "$status"
