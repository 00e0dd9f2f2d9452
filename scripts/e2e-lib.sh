# shellcheck shell=bash
# Shared by the end-to-end scripts (pcscd with real clients, the package, the
# virtual PC). Set E2E_LABEL, then source this file.
#
#   e2e_skip WHY                 SKIP line and exit 77: the run cannot happen here
#   e2e_need_build DIR FILE...   DIR made absolute in E2E_BUILD; fails if a file is missing
#   e2e_install PKG...           apt-get install of the missing ones, or skip
#   e2e_enter_namespace VAR ARG  re-runs the calling script with VAR=1 in a
#                                private mount namespace (or skips)
#   e2e_private_run              inside: a tmpfs on /run, so this pcscd
#                                neither meets nor disturbs a system one
#   e2e_workdir NAME             WORK=/tmp/ttycard-NAME.XXXXXX (the same one
#                                again after e2e_enter_namespace), and on exit
#                                the clean-up below
#   e2e_stop PID...              TERM to each, KILL to what is still there
#                                5 s later; waits for them
#   e2e_pcscd_interrupt PID      SIGINT to pcscd; true when it exits within
#                                10 s (it is killed otherwise)
#   e2e_finish                   "LABEL: N passed, N failed"; exits 0 or 1
#   retry SECONDS CMD...         runs CMD until it succeeds or SECONDS pass
#   ok / notok / expect          result lines, counted in PASSED and FAILED
#
# Clean-up on exit, however the script ends: every background job still
# running is stopped, the last started first (pcscd before the emulator it
# talks to), and waited for; WORK is removed unless a check failed or
# E2E_KEEP is set, in which case its path is printed.

PASSED=0
FAILED=0

# Exit status 77: the stage could not run here (scripts/test.sh counts it as
# skipped, neither passed nor failed).
e2e_skip() {
  echo "SKIP: $*"
  echo "$E2E_LABEL: 0 passed, 0 failed, 1 skipped"
  exit 77
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

e2e_workdir() { # e2e_workdir NAME
  if [ -n "${E2E_WORK:-}" ] && [ -d "$E2E_WORK" ]; then
    WORK=$E2E_WORK
  else
    WORK=$(mktemp -d "/tmp/ttycard-$1.XXXXXX") || { echo "cannot create a scratch folder"; exit 2; }
    export E2E_WORK=$WORK
  fi
  trap e2e_cleanup EXIT
}

# Running: neither gone nor a zombie waiting to be reaped.
e2e_running() {
  [ -n "$1" ] && [ -r "/proc/$1/status" ] && ! grep -q '^State:.*Z' "/proc/$1/status" 2>/dev/null
}

# Never an unbounded wait: a process that ignores TERM (pcscd, see below) is
# killed, so that a stuck peer cannot hang the stage.
e2e_stop() { # e2e_stop PID...
  local pid until=$((SECONDS + 5))
  for pid in "$@"; do [ -n "$pid" ] && kill -TERM "$pid" 2>/dev/null; done
  for pid in "$@"; do
    [ -n "$pid" ] || continue
    while e2e_running "$pid" && [ $SECONDS -lt $until ]; do sleep 0.1; done
    e2e_running "$pid" && kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
  return 0
}

# pcscd's signal thread only marks the daemon for exit: its main loop sees
# that when its select() returns, which a client connecting makes happen. So
# a connection to its socket follows the signal after 3 s.
e2e_pcscd_interrupt() { # e2e_pcscd_interrupt PID
  local pid=$1 until=$((SECONDS + 10)) nudged=""
  kill -INT "$pid" 2>/dev/null
  while e2e_running "$pid" && [ $SECONDS -lt $until ]; do
    if [ -z "$nudged" ] && [ $((until - SECONDS)) -le 7 ]; then
      nudged=1
      timeout 2 /usr/bin/python3 -c 'import socket
s = socket.socket(socket.AF_UNIX)
s.connect("/run/pcscd/pcscd.comm")' 2>/dev/null
    fi
    sleep 0.1
  done
  if e2e_running "$pid"; then
    e2e_stop "$pid"
    return 1
  fi
  wait "$pid" 2>/dev/null
  return 0
}

# A client's "ok"/"not ok" lines counted as this script's own, with PREFIX
# before each; any other line is shown as a comment.
e2e_tally() { # e2e_tally FILE [PREFIX]
  local line
  while IFS= read -r line; do
    case $line in
      "ok - "*) ok "${2:-}${line#ok - }" ;;
      "not ok - "*) notok "${2:-}${line#not ok - }" ;;
      *) echo "# $line" ;;
    esac
  done <"$1"
}

e2e_cleanup() {
  local jobs_left=() i
  mapfile -t jobs_left < <(jobs -p)
  for ((i = ${#jobs_left[@]} - 1; i >= 0; i--)); do e2e_stop "${jobs_left[i]}"; done
  [ -n "${WORK:-}" ] && [ -d "$WORK" ] || return 0
  if [ "$FAILED" -ne 0 ] || [ -n "${E2E_KEEP:-}" ]; then
    echo "# logs kept in $WORK"
  else
    rm -rf "$WORK"
  fi
}

e2e_finish() {
  echo "$E2E_LABEL: $PASSED passed, $FAILED failed"
  [ "$FAILED" -eq 0 ] && exit 0
  exit 1
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
