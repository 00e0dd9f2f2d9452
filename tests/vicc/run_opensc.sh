#!/usr/bin/env bash
# OpenSC's tools, run as a user would, on vsmartcard's vicc card (iso7816)
# through ttycard and through vsmartcard's own vpcd driver, one after the
# other (scripts/vcompare.sh): every command's output, exit status and
# whether vicc crashed on it must be the same on both paths, and a few
# checks make sure that the card really answered through ttycard.
#
#   tests/vicc/run_opensc.sh [BUILD_DIR]     (default: build/)
#
# Prints ok/not ok lines, the table of results and "opensc: N passed, N
# failed"; exits non-zero on failure, and with SKIP (77) when packages cannot
# be installed or namespaces are missing. Everything it makes lives in one
# folder under /tmp, removed at the end unless E2E_KEEP=1.
set -u

HERE=$(cd "$(dirname "$0")" && pwd)
E2E_LABEL=opensc
# shellcheck source=../../scripts/e2e-lib.sh
. "$HERE/../../scripts/e2e-lib.sh"

BUILD_DIR=${1:-${BUILD_DIR:-$HERE/../../build}}
e2e_need_build "$BUILD_DIR" ttycard-emu libifd-ttycard.so
e2e_install pcscd pcsc-tools opensc vsmartcard-vpcd vsmartcard-vpicc python3-virtualsmartcard \
  python3-pycryptodome
"$HERE/../../scripts/vicc.sh" --check || e2e_skip "vicc is installed but its modules are not where expected"
unshare -m --propagation private true 2>/dev/null || e2e_skip "no mount namespaces (unshare -m)"

WORK=$(mktemp -d /tmp/ttycard-opensc.XXXXXX)
cleanup() { [ -n "${E2E_KEEP:-}" ] || rm -rf "$WORK"; }
trap cleanup EXIT

# The same state on both paths: each row runs on the card the rows before
# it left. vicc crashes on the last one (SELECT with P2 00).
cat >"$WORK/rows.sh" <<'ROWS'
p11=$(dpkg -L opensc-pkcs11 | grep -m1 '/opensc-pkcs11\.so$')
printf '%s\n' "create 2101 300" "apdu 00 A4 00 0C 02 21 01" \
  "apdu 00 D6 00 00 08 74 74 79 63 61 72 64 21 00" "apdu 00 B0 00 00 08" \
  "apdu 00 B0 00 00 00" "verify CHV1 31323334" >"$ROW_DIR/write-read.txt"
echo "cd 3F00" >"$ROW_DIR/mf.txt"
row "opensc-tool -l" opensc-tool -l
row "opensc-tool -a" opensc-tool -a
row "opensc-tool -n" opensc-tool -n
# SELECT MF (P2 0C); VERIFY with a wrong PIN, then 1234; GET CHALLENGE with
# Le 8 and 16 (vicc gives 8); CREATE FILE of 16 bytes, SELECT it, READ
# BINARY at 32 (6B 00); an unknown INS (6D 00).
row --random "opensc-tool -s (9 APDUs)" opensc-tool -s 00A4000C023F00 \
  -s 002000010439393939 -s 002000010431323334 -s 0084000008 -s 0084000010 \
  -s 00E000000D620B8002001082010183022102 -s 00A4000C022102 -s 00B0002002 -s 00FE0000
row "opensc-explorer -m '' (CREATE FILE, UPDATE and READ BINARY of 256 bytes, VERIFY)" \
  opensc-explorer -m "" "$ROW_DIR/write-read.txt"
row "pkcs11-tool -L" pkcs11-tool --module "$p11" -L
row "pkcs11-tool -O" pkcs11-tool --module "$p11" -O
row "opensc-explorer (SELECT MF with its FCI at start)" opensc-explorer "$ROW_DIR/mf.txt"
ROWS

"$HERE/../../scripts/vcompare.sh" --build "$E2E_BUILD" --vicc-verbose --vicc-verbose \
  --vicc-verbose "$WORK/rows.sh" "$WORK" >"$WORK/compare.txt" 2>&1
rc=$?
e2e_tally "$WORK/compare.txt"
expect "vcompare found both paths alike" test $rc -eq 0
expect "both paths ran all 8 commands" test "$(grep -c '^ok - .*: same through' "$WORK/compare.txt")" -eq 8
# Sameness alone could hide a card that never answered on either path.
expect "the tools met the card in the ttycard reader" \
  grep -q 'Yes  *ttycard virtual 00 00$' "$WORK/ttycard/1.raw"
expect "through ttycard the card shows vicc's ATR" \
  grep -q '^3b:95:13:81:01:80:73:ff:01:00:0b$' "$WORK/ttycard/2.txt"
expect "through ttycard the data written reads back" \
  grep -q '^74 74 79 63 61 72 64 21 ttycard!$' "$WORK/ttycard/5.txt"
expect "through ttycard the 256-byte READ BINARY came back whole" \
  test "$(grep -c '^\(00 \)\{16\}' "$WORK/ttycard/5.txt")" -ge 15

[ -n "${E2E_KEEP:-}" ] && echo "# outputs and logs kept in $WORK"
echo "opensc: $PASSED passed, $FAILED failed"
[ "$FAILED" -eq 0 ]
