#!/usr/bin/env bash
# OpenSC's tools, run as a user would, on vsmartcard's vicc card (iso7816)
# reached two ways, one after the other:
#
#   ttycard: tool -> pcscd -> libifd-ttycard.so -> pseudo-terminal ->
#            ttycard-emu --vicc -> loopback -> vicc
#   vpcd:    tool -> pcscd -> vsmartcard's vpcd driver -> loopback -> vicc
#
#   tests/vicc/run_opensc.sh [BUILD_DIR]     (default: build/)
#
# Each path is a scripts/vstack.sh stack (its own mount namespace and
# pcscd). Every command's output, with the reader's name, vpcd's second
# (empty) slot and random bytes normalised, must be the same on both paths,
# and so must whether vicc crashed on it: a command vicc cannot take fails
# the same way on both. Prints ok/not ok lines, the table of results and
# "opensc: N passed, N failed"; exits non-zero on failure, and with SKIP
# (77) when packages cannot be installed or namespaces are missing.
# Everything it makes lives in one folder under /tmp, removed at the end
# unless E2E_KEEP=1.
set -u

HERE=$(cd "$(dirname "$0")" && pwd)
E2E_LABEL=opensc
# shellcheck source=../../scripts/e2e-lib.sh
. "$HERE/../../scripts/e2e-lib.sh"
TOOL_TIMEOUT=20

# ---- inside a stack: run the commands, one result file each ----
normalise() { # normalise READER MASK_RANDOM < raw
  awk -v name="$1" -v prefix="${1% 00 00}" -v random="$2" '
    skip && /^ *\(empty\)$/ { skip = 0; next }
    { skip = 0 }
    index($0, prefix " 00 0") && !index($0, name) { skip = 1; next }  # vpcd has 2 slots
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
# vicc has taken the old one's place (vpcd still shows a dead card a while).
# scriptor sends the one APDU without OpenSC's round of card probes.
card_ready() {
  echo "00 A4 00 0C 02 3F 00" | scriptor -r "$TTYCARD_VSTACK_READER" 2>/dev/null | grep -q '^< 90 00'
}

run_tools() { # run_tools OUT
  local out=$1 n=0 p11
  p11=$(dpkg -L opensc-pkcs11 2>/dev/null | grep -m1 '/opensc-pkcs11\.so$')
  retry 15 card_ready || echo "the card did not show within 15 s" >"$out/setup-failed"
  row() { # row LABEL RANDOM COMMAND...
    local label=$1 random=$2 before rc
    shift 2
    n=$((n + 1))
    before=$(crashes)
    HOME=$out timeout "$TOOL_TIMEOUT" "$@" >"$out/$n.raw" 2>&1
    rc=$?
    {
      normalise "$TTYCARD_VSTACK_READER" "$random" <"$out/$n.raw"
      echo "exit $rc"
      if [ "$(crashes)" != "$before" ]; then
        echo "vicc crashed"
        # Its keeper starts a fresh card; the next command waits for it.
        retry 15 card_ready || echo "the card did not come back within 15 s"
      fi
    } >"$out/$n.txt"
    echo "$label" >"$out/$n.label"
  }
  cat >"$out/write-read.txt" <<'SCRIPT'
create 2101 300
apdu 00 A4 00 0C 02 21 01
apdu 00 D6 00 00 08 74 74 79 63 61 72 64 21 00
apdu 00 B0 00 00 08
apdu 00 B0 00 00 00
verify CHV1 31323334
SCRIPT
  echo "cd 3F00" >"$out/mf.txt"
  row "opensc-tool -l" 0 opensc-tool -l
  row "opensc-tool -a" 0 opensc-tool -a
  row "opensc-tool -n" 0 opensc-tool -n
  # SELECT MF (P2 0C); VERIFY with a wrong PIN, then 1234; GET CHALLENGE
  # with Le 8 and 16 (vicc gives 8); CREATE FILE of 16 bytes, SELECT it,
  # READ BINARY at 32 (6B 00); an unknown INS (6D 00).
  row "opensc-tool -s (9 APDUs)" 1 opensc-tool -s 00A4000C023F00 \
    -s 002000010439393939 -s 002000010431323334 -s 0084000008 -s 0084000010 \
    -s 00E000000D620B8002001082010183022102 -s 00A4000C022102 -s 00B0002002 -s 00FE0000
  row "opensc-explorer -m '' (CREATE FILE, UPDATE and READ BINARY of 256 bytes, VERIFY)" 0 \
    opensc-explorer -m "" "$out/write-read.txt"
  row "pkcs11-tool -L" 0 pkcs11-tool --module "$p11" -L
  row "pkcs11-tool -O" 0 pkcs11-tool --module "$p11" -O
  row "opensc-explorer (SELECT MF with its FCI at start)" 0 opensc-explorer "$out/mf.txt"
}

if [ "${1:-}" = --tools ]; then
  run_tools "$2"
  exit 0
fi

# ---- outside: packages, then the two paths ----
BUILD_DIR=${1:-${BUILD_DIR:-$HERE/../../build}}
e2e_need_build "$BUILD_DIR" ttycard-emu libifd-ttycard.so
e2e_install pcscd pcsc-tools opensc vsmartcard-vpcd vsmartcard-vpicc python3-virtualsmartcard \
  python3-pycryptodome
"$HERE/vicc.sh" --check || e2e_skip "vicc is installed but its modules are not where expected"
unshare -m --propagation private true 2>/dev/null || e2e_skip "no mount namespaces (unshare -m)"

WORK=$(mktemp -d /tmp/ttycard-opensc.XXXXXX)
cleanup() { [ -n "${E2E_KEEP:-}" ] || rm -rf "$WORK"; }
trap cleanup EXIT
# vicc.sh keeps its module shim under TMPDIR: inside WORK, removed with it.
export TMPDIR=$WORK

for path in ttycard vpcd; do
  mkdir -p "$WORK/$path"
  start=$SECONDS
  vpcd=
  [ "$path" = vpcd ] && vpcd=--vpcd
  # shellcheck disable=SC2086
  TTYCARD_VSTACK_STATE=$WORK/$path-stack timeout 180 "$HERE/../../scripts/vstack.sh" $vpcd \
    --vicc-type iso7816 --vicc-verbose --vicc-verbose --vicc-verbose --build "$E2E_BUILD" \
    -- "$0" --tools "$WORK/$path" >"$WORK/$path.log" 2>&1
  rc=$?
  expect "the $path stack came up, ran the tools and went down ($((SECONDS - start)) s)" \
    test $rc -eq 0 -a ! -e "$WORK/$path/setup-failed"
  [ $rc -eq 0 ] || tail -5 "$WORK/$path.log" | sed 's/^/#   /'
done

# ---- the comparison, command by command ----
summary() { # the status words received, the last line of output, the exit status, a crash
  local f=$1 sws last
  sws=$(sed -n 's/.*(SW1=0x\(..\), SW2=0x\(..\)).*/\1\2/p' "$f" | tr '\n' ' ')
  last=$(grep -v '^exit [0-9]*$\|^vicc crashed$\|^ *$' "$f" | tail -1 | cut -c1-60)
  case $last in "Sending:"* | "Received ("* | "<"* | [0-9A-F][0-9A-F]" "*) last= ;; esac
  echo "${sws:+SW ${sws% }; }${last:+$last; }$(grep -m1 '^exit ' "$f")$(grep -q '^vicc crashed$' "$f" &&
    echo ', vicc crashed')"
}
table=()
for n in $(seq "$(find "$WORK/ttycard" -name '*.label' | wc -l)"); do
  label=$(cat "$WORK/ttycard/$n.label")
  a=$WORK/ttycard/$n.txt
  b=$WORK/vpcd/$n.txt
  if [ -e "$b" ] && cmp -s "$a" "$b"; then
    ok "$label: same through ttycard and vpcd ($(summary "$a"))"
    same=yes
  else
    notok "$label: differs between ttycard and vpcd"
    [ -e "$b" ] && diff "$b" "$a" | sed 's/^/#   /' | head -20
    same=no
  fi
  table+=("| \`$label\` | $(summary "$a") | $( [ -e "$b" ] && summary "$b") | $same |")
done
expect "every command ran on both paths" test "${#table[@]}" -eq 8 -a \
  "$(find "$WORK/vpcd" -name '*.label' | wc -l)" -eq 8
# Sameness alone could hide a card that never answered on either path.
expect "the tools met the card in the ttycard reader" \
  grep -q 'Yes  *ttycard virtual 00 00$' "$WORK/ttycard/1.raw"
expect "through ttycard the card shows vicc's ATR" \
  grep -q '^3b:95:13:81:01:80:73:ff:01:00:0b$' "$WORK/ttycard/2.txt"
expect "through ttycard the data written reads back" \
  grep -q '^74 74 79 63 61 72 64 21 ttycard!$' "$WORK/ttycard/5.txt"
expect "through ttycard the 256-byte READ BINARY came back whole" \
  test "$(grep -c '^\(00 \)\{16\}' "$WORK/ttycard/5.txt")" -ge 15

echo "# | command | through ttycard | through vpcd | same? |"
echo "# | --- | --- | --- | --- |"
printf '# %s\n' "${table[@]}"
[ -n "${E2E_KEEP:-}" ] && echo "# outputs and logs kept in $WORK"
echo "opensc: $PASSED passed, $FAILED failed"
[ "$FAILED" -eq 0 ]
