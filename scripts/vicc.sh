#!/usr/bin/env bash
# Runs Debian's vicc (vsmartcard-vpicc) as an ISO/IEC 7816-4 card that
# connects to 127.0.0.1:PORT: the emulator's relay, or vsmartcard's vpcd.
#
#   scripts/vicc.sh PORT [extra vicc options, e.g. -t TYPE -v...]
#   scripts/vicc.sh --install      install the packages when missing
#   scripts/vicc.sh --check        exit 0 when vicc can run here
#
# Debian's package needs two things that it does not set up itself: its
# modules live in /usr/lib/python3/site-packages/virtualsmartcard, and it
# imports the "Crypto" name that pycryptodome ships as "Cryptodome". A
# private folder (under TMPDIR) with a Crypto symlink bridges the latter.
#
# vsmartcard's vpcd driver writes each message's length and body in two
# writes: with Nagle's algorithm on its side and delayed ACKs on vicc's,
# every APDU waited about 40 ms (2.5 s for one OpenSC tool's card probes).
# vicc runs here with its socket acknowledging every receive at once
# (TCP_QUICKACK); what it answers is unchanged.
set -u

VICC_PACKAGES=(vsmartcard-vpicc python3-pycryptodome)
VICC_MODULES=/usr/lib/python3/site-packages/virtualsmartcard
CRYPTODOME=/usr/lib/python3/dist-packages/Cryptodome

vicc_missing() {
  local p missing=()
  for p in "${VICC_PACKAGES[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
  done
  echo "${missing[*]}"
}

vicc_install() {
  local missing
  missing=$(vicc_missing)
  [ -z "$missing" ] && return 0
  echo "# installing $missing" >&2
  export DEBIAN_FRONTEND=noninteractive
  # shellcheck disable=SC2086
  apt-get install -y --no-install-recommends $missing >/dev/null 2>&1 ||
    { apt-get update >/dev/null 2>&1 &&
      apt-get install -y --no-install-recommends $missing >/dev/null 2>&1; }
}

case "${1:-}" in
  --install)
    vicc_install
    exit
    ;;
  --check)
    [ -z "$(vicc_missing)" ] && [ -x /usr/bin/vicc ] && [ -d "$VICC_MODULES" ] && [ -d "$CRYPTODOME" ]
    exit
    ;;
  "" | -h | --help)
    sed -n '2,7p' "$0" | sed 's/^# \{0,1\}//'
    [ -n "${1:-}" ]
    exit
    ;;
esac

PORT=$1
shift
SHIM=${TMPDIR:-/tmp}/ttycard-vicc-crypto
mkdir -p "$SHIM"
[ -e "$SHIM/Crypto" ] || ln -sfn "$CRYPTODOME" "$SHIM/Crypto"
export PYTHONPATH="$VICC_MODULES:$SHIM${PYTHONPATH:+:$PYTHONPATH}"
QUICKACK='
import runpy, socket, sys
class QuickAckSocket(socket.socket):
    def recv(self, *args):
        data = super().recv(*args)
        try:
            self.setsockopt(socket.IPPROTO_TCP, socket.TCP_QUICKACK, 1)
        except OSError:
            pass
        return data
socket.socket = QuickAckSocket
sys.argv[0] = "/usr/bin/vicc"
runpy.run_path("/usr/bin/vicc", run_name="__main__")
'
exec /usr/bin/python3 -c "$QUICKACK" -t iso7816 -H 127.0.0.1 -P "$PORT" "$@"
