#!/usr/bin/env bash
# The driver on real serial ports: a virtual PC (QEMU) whose 16550A UARTs at
# 0x3F8, 0x2F8, 0x3E8 and 0x2E8 are driven by the guest kernel's 8250
# driver, with a reader emulator on the host behind each.
#
#   tests/vm/run_vm.sh [BUILD-DIR]      (default: build)
#
# COM1..COM3 go straight to an emulator's pseudo-terminal; COM4 goes through
# a relay that paces characters at 9600 baud 8N2. The guest console is a
# fifth UART on PCI, so no firmware or kernel text reaches a reader line;
# a sixth, with nothing behind it, is the silent line. Prints "ok" / "not ok"
# lines and ends with "vm: N passed, N failed", or "SKIP: why" (status 77)
# where QEMU cannot run. The kernel and busybox are cached in
# $TTYCARD_VM_CACHE (default /var/cache/ttycard-vm); TTYCARD_VM_ACCEL=kvm|tcg
# forces the accelerator.
set -uo pipefail
cd "$(dirname "$0")/../.."
E2E_LABEL=vm
source scripts/e2e-lib.sh
source tests/vm/vm-cache.sh
stage_start=$SECONDS

# Distinct cards, so that an answer from the wrong port shows: the emulator's
# T=1 card on COM1 (readertest's), T=1 cards whose historical bytes name
# their port on COM2 and COM4, a T=0 card on COM3.
ATR_COM1="3B 84 81 31 20 45 54 54 59 43 4B"
ATR_COM2="3B 84 81 31 20 45 43 4F 4D 32 22"
ATR_COM3="3B 02 14 50"
ATR_COM4="3B 84 81 31 20 45 43 4F 4D 34 24"

[[ $(id -u) -eq 0 ]] || e2e_skip "not root (packages, /var/cache)"
[[ $(uname -m) == x86_64 ]] || e2e_skip "not an x86-64 host"
command -v qemu-system-x86_64 >/dev/null || e2e_install qemu-system-x86
vm_cache_fetch "${TTYCARD_VM_CACHE:-/var/cache/ttycard-vm}" || e2e_skip "$VM_CACHE_ERROR"

build=${1:-build}
[[ -f "$build/CMakeCache.txt" ]] || cmake -S . -B "$build" -DTTYCARD_TESTS=OFF >/dev/null
cmake --build "$build" --target readertest ttycard-emu readertest-static ttycard-vmcheck \
  ttycard-vm-relay ttycard-probe-static -j2 >/dev/null || { notok "build the guest programs"; exit 1; }
e2e_need_build "$build" readertest ttycard-emu vm/readertest-static vm/ttycard-vmcheck \
  vm/ttycard-vm-relay vm/ttycard-probe-static

e2e_workdir vm
work=$WORK
pids=()

wait_file() { # wait_file FILE: up to 5 s for a non-empty file
  local i
  for ((i = 0; i < 50; i++)); do
    [[ -s "$1" ]] && return 0
    sleep 0.1
  done
  return 1
}

emulator() { # emulator NAME ARGS...: starts one, traced, path in $work/NAME.pty
  local name=$1
  shift
  "$E2E_BUILD/ttycard-emu" --trace --path-file "$work/$name.pty" "$@" \
    >/dev/null 2>"$work/$name.trace" &
  pids+=($!)
  wait_file "$work/$name.pty" || { notok "emulator $name starts"; exit 1; }
}

emulator com1
emulator com2 --atr "${ATR_COM2// /}"
emulator com3 --t0
emulator com4 --atr "${ATR_COM4// /}"
emulator reference
"$E2E_BUILD/vm/ttycard-vm-relay" "$(cat "$work/com4.pty")" >"$work/relay.pty" \
  2>"$work/relay.log" &
relay_pid=$!
pids+=($relay_pid)
wait_file "$work/relay.pty" || { notok "pacing relay starts"; exit 1; }

# The same readertest on a pseudo-terminal, for comparison (in the
# background while the virtual PC runs).
if unshare -m --propagation private true 2>/dev/null; then
  (bash scripts/with-serial-ports.sh "$(cat "$work/reference.pty")" -- \
    "$E2E_BUILD/readertest" >"$work/reference.out" 2>&1
    echo $? >"$work/reference.status") &
  reference_pid=$!
fi

# The initramfs: busybox, the two programs and the init script.
rd="$work/rd"
mkdir -p "$rd"/{bin,dev,proc,sys,tmp,etc}
cp "$VM_BUSYBOX" "$rd/bin/busybox"
cp "$E2E_BUILD/vm/readertest-static" "$rd/bin/readertest"
cp "$E2E_BUILD/vm/ttycard-vmcheck" "$rd/bin/"
cp "$E2E_BUILD/vm/ttycard-probe-static" "$rd/bin/ttycard-probe"
install -m 755 tests/vm/guest-init.sh "$rd/init"
printf 'ATR_COM%d="%s"\n' 1 "$ATR_COM1" 2 "$ATR_COM2" 3 "$ATR_COM3" 4 "$ATR_COM4" >"$rd/etc/vm.env"
(cd "$rd" && find . | "$VM_BUSYBOX" cpio -o -H newc 2>/dev/null | gzip -1 >"$work/initrd.gz")

accel=${TTYCARD_VM_ACCEL:-}
if [[ -z "$accel" ]]; then
  accel=tcg
  [[ -r /dev/kvm && -w /dev/kvm ]] && grep -qwE 'vmx|svm' /proc/cpuinfo && accel=kvm
fi

# Boots the virtual PC once with accelerator $1; the console goes to
# $work/console.log. A guest that is not up within $2 seconds (a KVM that
# hangs, say) or not finished within 150 s is stopped.
run_qemu() {
  local cpu=() start=$SECONDS pid
  [[ $1 == kvm ]] && cpu=(-cpu host)
  : >"$work/console.log"
  qemu-system-x86_64 -accel "$1" "${cpu[@]}" -m 256 -smp 1 -nodefaults \
    -display none -vga none -nic none -no-reboot \
    -kernel "$VM_KERNEL" -initrd "$work/initrd.gz" \
    -append "console=ttyS4 8250.nr_uarts=6 quiet loglevel=3 panic=-1 no_timer_check" \
    -serial "$(cat "$work/com1.pty")" -serial "$(cat "$work/com2.pty")" \
    -serial "$(cat "$work/com3.pty")" -serial "$(cat "$work/relay.pty")" \
    -chardev "file,id=console,path=$work/console.log" -device pci-serial,chardev=console \
    -chardev null,id=silent -device pci-serial,chardev=silent \
    >"$work/qemu.log" 2>&1 &
  pid=$!
  while kill -0 "$pid" 2>/dev/null; do
    if ((SECONDS - start > 150)) ||
      { ((SECONDS - start > $2)) && ! grep -q '^vm-guest: up' "$work/console.log"; }; then
      echo "# stopping QEMU after $((SECONDS - start)) s"
      kill "$pid"
    fi
    sleep 0.2
  done
  wait "$pid"
  qemu_status=$?
  qemu_seconds=$((SECONDS - start))
}

echo "# accelerator: $accel"
run_qemu "$accel" "$([[ $accel == kvm ]] && echo 20 || echo 60)"
if [[ $accel == kvm ]] && ! grep -q '^vm-guest: up' "$work/console.log"; then
  echo "# KVM did not boot the guest ($(head -c 200 "$work/qemu.log" | tr "\n" " ")); software emulation"
  accel=tcg
  run_qemu tcg 60
fi
if [[ $qemu_status -eq 0 ]] && ! grep -q '^vm-guest: up' "$work/console.log"; then
  # The guest died before /init (a kernel panic powers the PC off here).
  echo "# the guest did not come up, booting once more; its console said:"
  sed 's/^/#   /' "$work/console.log" | tail -10
  run_qemu "$accel" 60
fi
if ! grep -q '^vm-guest: up' "$work/console.log"; then
  # QEMU that cannot start at all is a machine without virtualisation; a
  # guest that starts and does not come up is a failure.
  [[ $qemu_status -ne 0 && ! -s "$work/console.log" ]] &&
    e2e_skip "QEMU cannot run here: $(head -c 300 "$work/qemu.log" | tr '\n' ' ')"
  notok "the virtual PC boots (QEMU status $qemu_status after $qemu_seconds s)"
  sed 's/^/# console: /' "$work/console.log" | tail -20
  sed 's/^/# qemu: /' "$work/qemu.log" | tail -20
  exit 1
fi

source tests/vm/vm-results.sh
