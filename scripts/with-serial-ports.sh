#!/usr/bin/env bash
# Runs a command with pseudo-terminals in place of the serial ports:
#
#   scripts/with-serial-ports.sh PTY0 [PTY1 [PTY2 [PTY3]]] -- COMMAND [ARGS...]
#
# binds PTYi over /dev/ttySi in a private mount namespace (root only), so the
# unchanged driver opens the emulator where it would open the real port. A
# node that does not exist on this machine is created on a scratch overlay of
# /dev inside the namespace; the machine's /dev is never changed.
set -euo pipefail

if [[ -z "${TTYCARD_IN_NAMESPACE:-}" ]]; then
  export TTYCARD_IN_NAMESPACE=1
  exec unshare --mount --propagation private -- "$BASH" "$0" "$@"
fi

ptys=()
while [[ $# -gt 0 && "$1" != "--" ]]; do
  ptys+=("$1")
  shift
done
[[ $# -gt 1 ]] || { echo "usage: $0 PTY... -- COMMAND" >&2; exit 2; }
shift

overlaid=""
overlay_dev() {
  [[ -n "$overlaid" ]] && return
  local t
  t=$(mktemp -d /tmp/ttycard-dev.XXXXXX)
  mount -t tmpfs tmpfs "$t"
  mkdir "$t/pts" "$t/upper" "$t/work"
  mount --rbind /dev/pts "$t/pts"
  mount -t overlay overlay -o "lowerdir=/dev,upperdir=$t/upper,workdir=$t/work" /dev
  mount --move "$t/pts" /dev/pts
  # The overlay holds the scratch tmpfs now: detach it and remove the empty
  # folder, which is the machine's /tmp too.
  umount -l "$t"
  rmdir "$t"
  overlaid=1
}

# Overlay before any bind: an overlay mounted later would hide the binds and
# uncover the real ports.
for i in "${!ptys[@]}"; do
  [[ -e "/dev/ttyS$i" ]] || overlay_dev
done
for i in "${!ptys[@]}"; do
  node="/dev/ttyS$i"
  [[ -e "$node" ]] || : >"$node"
  mount --bind "${ptys[$i]}" "$node"
done

unset TTYCARD_IN_NAMESPACE
exec "$@"
