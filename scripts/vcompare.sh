#!/usr/bin/env bash
# Runs the same PC/SC clients on vsmartcard's vicc card through ttycard and
# through vsmartcard's own pcscd driver (vpcd), and compares what they print,
# command by command:
#
#   ttycard: client -> pcscd -> libifd-ttycard.so -> pseudo-terminal ->
#            ttycard-emu --vicc -> loopback -> vicc
#   vpcd:    client -> pcscd -> vpcd -> loopback -> vicc
#
#   scripts/vcompare.sh [--build DIR] [--vicc-type T] [--vicc-verbose...] ROWS OUT
#
# ROWS is a bash script, run inside each stack (scripts/vstack.sh --vicc,
# then --vpcd) with one function:
#
#   row [--random] LABEL COMMAND [ARG...]
#
# which runs COMMAND (at most 20 s, HOME in OUT) and keeps what it prints,
# with the reader's name as READER, vpcd's second (empty) slot left out and,
# with --random, hex dump lines as "<N random bytes>"; then "exit N", and
# "vicc crashed" when vicc exited meanwhile (the stack starts a fresh card;
# the next row waits up to 15 s for it to answer). $ROW_DIR is a folder for
# the row's input files.
#
# Prints "ok - LABEL: same ..." or "not ok - LABEL: differs ..." (with the
# diff) for each row, then the table: command | through ttycard | through
# vpcd | same?. Exits 0 when both stacks ran every row alike. The results
# stay in OUT/ttycard and OUT/vpcd: N.label, N.raw (as printed), N.txt
# (normalised). Needs root; installs what is missing.
# shellcheck disable=SC2317  # row and its helpers are called from ROWS
set -u

HERE=$(cd "$(dirname "$0")" && pwd)
ROW_TIMEOUT=20

# ---- inside a stack ----
normalise() { # normalise READER MASK_RANDOM < raw
  awk -v name="$1" -v prefix="${1% 00 00}" -v random="$2" '
    skip && /^ *\(empty\)$/ { skip = 0; next }
    { skip = 0 }
    index($0, prefix " 00 0") && !index($0, name) { skip = 1; next }
    { while ((i = index($0, name)) > 0) $0 = substr($0, 1, i - 1) "READER" substr($0, i + length(name)) }
    random {
      n = 0
      for (i = ($1 ~ /^[0-9A-F]+:$/) ? 2 : 1; i <= NF && $i ~ /^[0-9A-F][0-9A-F]$/; i++) n++
      if (n > 0) { print "<" n " random bytes>"; next }
    }
    { print }'
}
crashes() { grep -c '^Traceback' "$TTYCARD_VSTACK_STATE/vicc.log" 2>/dev/null; }
# The card answers an APDU: the reader shows it and, after a crash, a new
# vicc has taken the old one's place (vpcd shows a dead card for a while).
card_ready() {
  echo "00 A4 00 0C 02 3F 00" | scriptor -r "$TTYCARD_VSTACK_READER" 2>/dev/null | grep -q '^< 90 00'
}
wait_card() { # wait_card SECONDS
  local until=$((SECONDS + $1))
  until card_ready; do
    [ $SECONDS -ge $until ] && return 1
    sleep 0.2
  done
}

if [ "${1:-}" = --inside ]; then
  OUT=$2
  export ROW_DIR=$OUT
  n=0
  row() {
    local random=0 before rc
    [ "$1" = --random ] && random=1 && shift
    n=$((n + 1))
    echo "$1" >"$OUT/$n.label"
    shift
    before=$(crashes)
    HOME=$OUT timeout "$ROW_TIMEOUT" "$@" >"$OUT/$n.raw" 2>&1
    rc=$?
    {
      normalise "$TTYCARD_VSTACK_READER" "$random" <"$OUT/$n.raw"
      echo "exit $rc"
      if [ "$(crashes)" != "$before" ]; then
        echo "vicc crashed"
        wait_card 15 || echo "the card did not come back within 15 s"
      fi
    } >"$OUT/$n.txt"
  }
  wait_card 15 || { echo "vcompare: the card did not show within 15 s" >&2; exit 1; }
  # shellcheck disable=SC1090
  . "$3"
  exit 0
fi

# ---- outside: both stacks, then the comparison ----
OPTS=()
while [ $# -gt 2 ]; do
  OPTS+=("$1")
  shift
done
if [ $# -ne 2 ] || [ ! -f "$1" ]; then
  sed -n '10p' "$0" | sed 's/^# *//' >&2
  exit 2
fi
ROWS=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
OUT=$2
mkdir -p "$OUT" || exit 2
OUT=$(cd "$OUT" && pwd)
dpkg -s pcsc-tools >/dev/null 2>&1 ||
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends pcsc-tools >/dev/null 2>&1 ||
  { echo "vcompare: cannot install pcsc-tools" >&2; exit 1; }

failed=0
for path in ttycard vpcd; do
  mkdir -p "$OUT/$path"
  start=$SECONDS
  vpcd=()
  [ "$path" = vpcd ] && vpcd=(--vpcd)
  # vicc.sh keeps its module shim under TMPDIR.
  TMPDIR=$OUT TTYCARD_VSTACK_STATE=$OUT/$path-stack timeout 300 "$HERE/vstack.sh" --vicc \
    "${vpcd[@]}" "${OPTS[@]}" -- "$0" --inside "$OUT/$path" "$ROWS" >"$OUT/$path.log" 2>&1
  rc=$?
  if [ $rc -eq 0 ]; then
    echo "ok - the $path stack came up, ran the rows and went down ($((SECONDS - start)) s)"
  else
    echo "not ok - the $path stack failed (exit $rc); the end of $OUT/$path.log:"
    tail -5 "$OUT/$path.log" | sed 's/^/#   /'
    failed=1
  fi
done

summary() { # the status words received, the last line of output, the exit status, a crash
  local f=$1 sws last
  sws=$(sed -n 's/.*(SW1=0x\(..\), SW2=0x\(..\)).*/\1\2/p' "$f" | tr '\n' ' ')
  last=$(grep -v '^exit [0-9]*$\|^vicc crashed$\|^ *$' "$f" | tail -1 | cut -c1-60)
  case $last in "Sending:"* | "Received ("* | "<"* | [0-9A-F][0-9A-F]" "*) last= ;; esac
  echo "${sws:+SW ${sws% }; }${last:+$last; }$(grep -m1 '^exit ' "$f")$(grep -q '^vicc crashed$' "$f" &&
    echo ', vicc crashed')"
}
table=()
rows=$(find "$OUT/ttycard" "$OUT/vpcd" -name '*.label' | sed 's|.*/||' | sort -u | wc -l)
for n in $(seq "$rows"); do
  a=$OUT/ttycard/$n.txt
  b=$OUT/vpcd/$n.txt
  label=$(cat "$OUT/ttycard/$n.label" "$OUT/vpcd/$n.label" 2>/dev/null | head -1)
  same=no
  if [ -e "$a" ] && [ -e "$b" ] && cmp -s "$a" "$b"; then
    same=yes
    echo "ok - $label: same through ttycard and vpcd ($(summary "$a"))"
  else
    failed=1
    echo "not ok - $label: differs between ttycard (>) and vpcd (<)"
    diff "$b" "$a" 2>&1 | sed 's/^/#   /' | head -20
  fi
  table+=("| \`$label\` | $([ -e "$a" ] && summary "$a") | $([ -e "$b" ] && summary "$b") | $same |")
done
echo "# | command | through ttycard | through vpcd | same? |"
echo "# | --- | --- | --- | --- |"
[ ${#table[@]} -eq 0 ] || printf '# %s\n' "${table[@]}"
exit "$failed"
