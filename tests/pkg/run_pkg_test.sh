#!/usr/bin/env bash
# The Debian package, built and used as an administrator would: builds the
# .debs from the working tree (dpkg-buildpackage, in a scratch copy), checks
# what they hold, unpacks them into a scratch root and, in a private mount
# namespace with that root's driver folder and reader.conf.d bound over the
# system's, runs Debian's pcscd with the packaged driver against the
# packaged ttycard-emu. Also checks that a second cmake --install keeps an
# edited reader configuration, and that lintian finds no error.
#
#   tests/pkg/run_pkg_test.sh
#
# Root only. Prints "ok"/"not ok" lines and "N passed, N failed"; exits
# non-zero on any failure. E2E_KEEP=1 (or PKG_KEEP=1) keeps the scratch
# folder.
set -u

HERE=$(cd "$(dirname "$0")" && pwd)
ROOT=$(cd "$HERE/../.." && pwd)

E2E_LABEL=pkg
# shellcheck source=../../scripts/e2e-lib.sh
. "$ROOT/scripts/e2e-lib.sh"
E2E_KEEP=${E2E_KEEP:-${PKG_KEEP:-}}

DRIVER_DIR=/usr/lib/pcsc/drivers/serial
CONF_DIR=/etc/reader.conf.d
LIBPATH=$DRIVER_DIR/libifd-ttycard.so

if [ -z "${TTYCARD_PKG_INNER:-}" ]; then
  [ "$(id -u)" -eq 0 ] || e2e_skip "needs root"
  e2e_install dpkg-dev debhelper cmake pkg-config libpcsclite-dev g++ pcscd pcsc-tools lintian
  e2e_workdir pkg

  # ---- build: a copy of the working tree (tracked files and new ones, not
  # the build folders), so that nothing is written into the tree itself.
  mkdir -p "$WORK/src"
  (cd "$ROOT" && git ls-files -co --exclude-standard -z | tar --null -T - -cf -) |
    tar -C "$WORK/src" -xf -
  start=$SECONDS
  (cd "$WORK/src" &&
    DEB_BUILD_OPTIONS="parallel=2 nocheck" dpkg-buildpackage -us -uc -b >"$WORK/build.log" 2>&1)
  rc=$?
  expect "dpkg-buildpackage -b builds the packages ($((SECONDS - start)) s)" test $rc -eq 0
  if [ $rc -ne 0 ]; then
    tail -n 30 "$WORK/build.log"
    e2e_finish
  fi
  expect "no compiler warning with Debian's flags (dpkg-buildflags)" \
    bash -c "! grep -E 'warning:' '$WORK/build.log'"
  LIB_DEB=$(ls "$WORK"/libifd-ttycard_*.deb)
  TOOLS_DEB=$(ls "$WORK"/ttycard-tools_*.deb)

  # ---- what the packages hold
  contents() { dpkg-deb -c "$1" | awk '{print $6}' | sed 's|^\./|/|'; }
  holds() { # holds DEB PATH...
    local deb=$1 p list
    shift
    list=$(contents "$deb")
    for p in "$@"; do grep -qx "$p" <<<"$list" || { echo "# $deb lacks $p"; return 1; }; done
  }
  expect "libifd-ttycard holds the driver in pcscd's serial folder and the configuration" \
    holds "$LIB_DEB" "$LIBPATH" "$CONF_DIR/ttycard"
  expect "ttycard-tools holds both programs and their manual pages" \
    holds "$TOOLS_DEB" /usr/bin/ttycard-emu /usr/bin/readertest \
    /usr/share/man/man1/ttycard-emu.1.gz /usr/share/man/man1/readertest.1.gz
  expect "the reader configuration is a conffile" \
    bash -c "dpkg-deb -I '$LIB_DEB' conffiles | grep -qx '$CONF_DIR/ttycard'"
  expect "libifd-ttycard depends on pcscd and suggests ttycard-tools" \
    bash -c "dpkg-deb -f '$LIB_DEB' Depends | grep -Eq '(^|, )pcscd(,|$)' &&
             dpkg-deb -f '$LIB_DEB' Suggests | grep -q ttycard-tools"
  expect "the packaged driver exports the IFD handler 3.0 entry point" \
    bash -c "dpkg-deb --fsys-tarfile '$LIB_DEB' | tar -xOf - .$LIBPATH >'$WORK/lib.so' &&
             nm -D --defined-only '$WORK/lib.so' | grep -q ' T IFDHCreateChannelByName$'"

  mkdir -p "$WORK/root"
  dpkg -x "$LIB_DEB" "$WORK/root" && dpkg -x "$TOOLS_DEB" "$WORK/root"
  expect "the configuration ships all commented out" \
    bash -c "! grep -q '^[A-Z]' '$WORK/root$CONF_DIR/ttycard'"

  # The package's own build folder, built as Debian builds (its flags,
  # build type None); the packaged programs are its, stripped.
  OBJ=$(ls -d "$WORK"/src/obj-* 2>/dev/null | head -n1)
  expect "readertest, as the package builds it, links every module (nm)" \
    cmake -DNM=nm -DPROGRAM="$OBJ/readertest" -DHEADERS="$ROOT/include" \
    -P "$ROOT/readertest/check_symbols.cmake"

  # ---- a second install keeps the administrator's configuration.
  reinstall_keeps_config() {
    local dest=$WORK/dest conf
    conf=$dest$CONF_DIR/ttycard
    DESTDIR=$dest cmake --install "$OBJ" >"$WORK/install1.log" 2>&1 || return 1
    [ -f "$conf" ] && [ -f "$conf.example" ] && [ -f "$dest$LIBPATH" ] || return 1
    sed -i 's/^#\(FRIENDLYNAME\|DEVICENAME\|LIBPATH\|CHANNELID\) /\1 /' "$conf"
    cp "$conf" "$WORK/edited"
    echo "# edited" >>"$conf.example"
    DESTDIR=$dest cmake --install "$OBJ" >"$WORK/install2.log" 2>&1 || return 1
    cmp -s "$conf" "$WORK/edited" && grep -q "^DEVICENAME " "$conf" &&
      ! grep -q "^# edited" "$conf.example"
  }
  expect "a second cmake --install keeps an edited reader configuration (example refreshed)" \
    reinstall_keeps_config

  # ---- lintian: every tag printed; any error fails but bogus-mail-host, in
  # the control fields or the changelog (the project has no public mail
  # address).
  lintian_clean() {
    # Its scratch files (it leaves some behind) go to WORK, removed with it.
    mkdir -p "$WORK/lintian-tmp"
    TMPDIR=$WORK/lintian-tmp lintian -I --pedantic --tag-display-limit 0 "$WORK"/ttycard_*.changes \
      >"$WORK/lintian.txt" 2>&1
    sed 's/^/# lintian: /' "$WORK/lintian.txt"
    ! sed -n 's/^E: [^:]*: \([^ ]*\).*/\1/p' "$WORK/lintian.txt" |
      grep -vxE 'bogus-mail-host|bogus-mail-host-in-debian-changelog' | grep -q .
  }
  expect "lintian finds no error (bogus-mail-host aside)" lintian_clean

  export PKG_PASSED=$PASSED PKG_FAILED=$FAILED
  e2e_enter_namespace TTYCARD_PKG_INNER run
fi
PASSED=${PKG_PASSED:-0}
FAILED=${PKG_FAILED:-0}

# ---- inside the private mount namespace: the unpacked root's driver folder
# and reader.conf.d stand where pcscd looks, as if the packages were
# installed; the system's own stay untouched outside.
e2e_private_run
e2e_workdir pkg
EMU_PID=
PCSCD_PID=

R=$WORK/root
mount --bind "$R$DRIVER_DIR" "$DRIVER_DIR" && mount --bind "$R$CONF_DIR" "$CONF_DIR" ||
  e2e_skip "cannot bind the unpacked package over $DRIVER_DIR and $CONF_DIR"

"$R/usr/bin/ttycard-emu" --trace --path-file "$WORK/pty" >/dev/null 2>"$WORK/emu.log" &
EMU_PID=$!
expect "the packaged ttycard-emu starts" retry 5 test -s "$WORK/pty"
PTY=$(head -n1 "$WORK/pty")

# The administrator's edit: uncomment the entry and name the port. The
# all-commented example beside it must not disturb pcscd.
sed -i -e 's/^#\(FRIENDLYNAME\|LIBPATH\|CHANNELID\) /\1 /' \
  -e "s|^#DEVICENAME .*|DEVICENAME        $PTY|" "$CONF_DIR/ttycard"
cp "$ROOT/pcsc/reader.conf.in" "$CONF_DIR/ttycard.example"
expect "the configuration names the packaged driver" grep -q "^LIBPATH *$LIBPATH$" "$CONF_DIR/ttycard"

pcscd -f -d >"$WORK/pcscd.log" 2>&1 &
PCSCD_PID=$!
expect "pcscd comes up with the packaged configuration" retry 15 test -S /run/pcscd/pcscd.comm
expect "pcscd loads the packaged driver as IFD handler 3.0" \
  retry 10 grep -q "Loading IFD Handler 3.0" "$WORK/pcscd.log"
scan_lists() { timeout 10 pcsc_scan -r >"$WORK/scan-r.txt" 2>&1 && grep -q "ttycard serial reader" "$WORK/scan-r.txt"; }
expect "pcsc_scan lists the reader" retry 20 scan_lists
# pcscd serves clients before the reader has settled: the card shows up
# about 3.4 s after pcscd's start.
scan_atr() { timeout 4 pcsc_scan -n -t 2 >"$WORK/scan.txt" 2>&1; grep -q "ATR: 3B 84 81 31 20 45 54 54 59 43 4B" "$WORK/scan.txt"; }
expect "pcsc_scan shows the card's ATR" retry 10 scan_atr
expect "pcscd reads the all-commented example beside it and adds no reader from it" \
  bash -c "grep -q 'Parsing conf file: $CONF_DIR/ttycard.example' '$WORK/pcscd.log' &&
           test \$(grep -c 'Add reader:' '$WORK/pcscd.log') -eq 1"
e2e_stop "$PCSCD_PID" "$EMU_PID"
e2e_finish
