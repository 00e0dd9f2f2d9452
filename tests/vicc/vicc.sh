#!/usr/bin/env bash
# Runs Debian's vicc (vsmartcard-vpicc) as an ISO/IEC 7816-4 card that
# connects to the emulator's relay on 127.0.0.1:PORT.
#
#   tests/vicc/vicc.sh PORT [extra vicc options...]
#   tests/vicc/vicc.sh --install      install the packages when missing
#   tests/vicc/vicc.sh --check        exit 0 when vicc can run here
#
# Debian's package needs two things that it does not set up itself: its
# modules live in /usr/lib/python3/site-packages/virtualsmartcard, and it
# imports the "Crypto" name that pycryptodome ships as "Cryptodome". A
# private folder with a Crypto symlink bridges the latter.
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
    sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//'
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
exec /usr/bin/python3 /usr/bin/vicc -t iso7816 -H 127.0.0.1 -P "$PORT" "$@"
