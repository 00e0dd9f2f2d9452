#!/usr/bin/env bash
# Builds and runs the driver benchmark.
#
#   bash bench/run.sh [build-dir] [--json] [--quick]
#
# build-dir defaults to build/. With TTYCARD_BENCH_CPU=N every thread of the
# bench (driver, pacing relay, emulator) runs on CPU N only.
# Unless --json is given and when strace is installed, a second pass counts
# the driver thread's system calls from outside with strace and sets them
# beside the bench's own count.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build
if [[ $# -gt 0 && $1 != --* ]]; then
  build=$1
  shift
fi
json=0
for arg in "$@"; do [[ $arg == --json ]] && json=1; done

cmake -S . -B "$build" >/dev/null
cmake --build "$build" --target ttycard-bench -j"$(nproc)" >/dev/null
bench=$build/ttycard-bench

pin=()
if [[ -n ${TTYCARD_BENCH_CPU:-} ]]; then pin=(taskset -c "$TTYCARD_BENCH_CPU"); fi

status=0
echo "\$ ${pin[*]:+${pin[*]} }$bench $*" >&2
"${pin[@]}" "$bench" "$@" || status=$?

if [[ $json -eq 0 && $status -ne 1 ]] && command -v strace >/dev/null; then
  tmp=$(mktemp -d)
  trap 'rm -rf "$tmp"' EXIT
  apdus=20
  if strace -f -qq -o "$tmp/trace" "${pin[@]}" "$bench" --syscall-probe "$apdus" >"$tmp/probe"; then
    echo
    echo "System calls per APDU of the driver thread, unpaced, $apdus APDUs per shape:"
    printf '  %-12s %9s %9s   %s\n' shape counted strace "strace by call"
    while read -r _ shape _ tid _ n _ counted _; do
      awk -v tid="$tid" -v n="$n" -v shape="$shape" -v counted="$counted" '
        $1 == tid && $2 !~ /^<\.\.\./ {
          name = $2; sub(/\(.*/, "", name)
          # Thread start and exit, and the probe asking for its id, are not
          # the driver.
          if (name ~ /^(rseq|set_robust_list|madvise|munmap|mmap|mprotect|exit|rt_sigprocmask|gettid)$/) next
          calls[name]++; total++
        }
        END {
          by = ""
          for (k in calls) by = by sprintf("%s %.2f  ", k, calls[k] / n)
          printf "  %-12s %9.2f %9.2f   %s\n", shape, counted / n, total / n, by
        }' "$tmp/trace"
    done <"$tmp/probe"
  else
    echo "strace pass failed" >&2
  fi
fi
exit "$status"
