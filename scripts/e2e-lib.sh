# Shared by the end-to-end scripts (pcscd with real clients). Set E2E_LABEL,
# then source this file.
#
#   e2e_skip WHY                 SKIP line and exit 0: the run cannot happen here
#   e2e_need_build DIR FILE...   DIR made absolute in E2E_BUILD; fails if a file is missing
#   e2e_install PKG...           apt-get install of the missing ones, or skip
#   e2e_enter_namespace VAR ARG  re-runs the calling script with VAR=1 in a
#                                private mount namespace (or skips)
#   e2e_private_run              inside: a tmpfs on /run, so this pcscd
#                                neither meets nor disturbs a system one
#   retry SECONDS CMD...         runs CMD until it succeeds or SECONDS pass
#   ok / notok / expect          result lines, counted in PASSED and FAILED

PASSED=0
FAILED=0

e2e_skip() {
  echo "SKIP: $*"
  echo "$E2E_LABEL: 0 passed, 0 failed, 1 skipped"
  exit 0
}

e2e_need_build() {
  local dir=$1
  shift
  E2E_BUILD=$(cd "$dir" 2>/dev/null && pwd) || { echo "no build dir $dir"; exit 2; }
  local f
  for f in "$@"; do
    if [ ! -e "$E2E_BUILD/$f" ]; then
      echo "not ok - $E2E_BUILD/$f is missing"
      echo "$E2E_LABEL: 0 passed, 1 failed"
      exit 1
    fi
  done
}

e2e_install() {
  local missing=() p
  for p in "$@"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "# installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get install -y --no-install-recommends "${missing[@]}" >/dev/null 2>&1 ||
    { apt-get update >/dev/null 2>&1 &&
      apt-get install -y --no-install-recommends "${missing[@]}" >/dev/null 2>&1; } ||
    e2e_skip "cannot install ${missing[*]}"
}

e2e_enter_namespace() {
  local var=$1 arg=$2
  unshare -m --propagation private true 2>/dev/null || e2e_skip "no mount namespaces (unshare -m)"
  exec env "$var=1" unshare -m --propagation private "$0" "$arg"
}

e2e_private_run() {
  mount -t tmpfs tmpfs /run || e2e_skip "cannot mount a tmpfs on /run"
  mkdir -p /run/pcscd
}

ok() { PASSED=$((PASSED + 1)); echo "ok - $*"; }
notok() { FAILED=$((FAILED + 1)); echo "not ok - $*"; }
expect() { # expect DESCRIPTION COMMAND...
  local what=$1
  shift
  if "$@"; then ok "$what"; else notok "$what"; fi
}

# Retries a command until it succeeds: right after its socket appears, pcscd
# may still answer SCARD_E_NO_SERVICE.
retry() { # retry SECONDS COMMAND...
  local until=$((SECONDS + $1))
  shift
  until "$@"; do
    [ $SECONDS -ge $until ] && return 1
    sleep 0.2
  done
}
