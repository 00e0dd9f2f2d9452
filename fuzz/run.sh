#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and UBSan on) and
# runs each for a while on a scratch copy of its seed corpus, as many at
# once as there are cores.
#
#   fuzz/run.sh [seconds per target, default 30]
#
# Build folder: $FUZZ_BUILD_DIR, or build-fuzz/ at the top of the repository.
# Inputs that break something are kept in <build>/fuzz-findings/<target>/.
# Exit status: 0 when no target found anything, 1 otherwise (2: build failed).
set -euo pipefail

seconds=${1:-30}
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${FUZZ_BUILD_DIR:-$root/build-fuzz}
targets=(fuzz_transport fuzz_t1 fuzz_ifd fuzz_codec)

generator=()
if command -v ninja >/dev/null; then generator=(-G Ninja); fi
if [[ -f $build/CMakeCache.txt ]]; then generator=(); fi
cmake -S "$root" -B "$build" "${generator[@]}" \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DTTYCARD_FUZZ=ON -DTTYCARD_SANITIZE=address,undefined -DTTYCARD_TESTS=OFF -DTTYCARD_WERROR=ON \
  -DTTYCARD_BENCH=OFF -DTTYCARD_VM=OFF >/dev/null ||
  exit 2
cmake --build "$build" --parallel --target "${targets[@]}" || exit 2

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

fuzz_one() { # fuzz_one TARGET: runs it; its exit status in $scratch/TARGET/rc
  local t=$1 work=$scratch/$1 rc=0
  mkdir -p "$work/corpus" "$work/artifacts"
  cp -r "$root/fuzz/corpus/$t/." "$work/corpus/" 2>/dev/null || true
  (cd "$work" && "$build/fuzz/$t" -max_total_time="$seconds" -print_final_stats=1 \
    -timeout=25 -rss_limit_mb=4096 -artifact_prefix="$work/artifacts/" corpus \
    >"$work/log" 2>&1) || rc=$?
  echo "$rc" >"$work/rc"
}

# Each target is one process on one core: as many at once as there are
# cores, each for its full time.
running=0
for t in "${targets[@]}"; do
  if [[ $running -ge $(nproc) ]]; then
    wait -n || true
    running=$((running - 1))
  fi
  fuzz_one "$t" &
  running=$((running + 1))
done
wait

status=0
for t in "${targets[@]}"; do
  work=$scratch/$t
  rc=$(cat "$work/rc" 2>/dev/null || echo "?")
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log" | tail -1)
  findings=$(find "$work/artifacts" -type f | wc -l)
  echo "$t: ${runs:-?} executions in ${seconds}s, exit $rc, $findings finding(s)"
  if [[ $rc != 0 || $findings -ne 0 ]]; then
    status=1
    mkdir -p "$build/fuzz-findings/$t"
    cp "$work/log" "$build/fuzz-findings/$t/log"
    cp -r "$work/artifacts/." "$build/fuzz-findings/$t/"
    grep -E 'INVARIANT FAILED|ERROR:|runtime error|SUMMARY' "$work/log" | head -5 | sed 's/^/  /'
    echo "  inputs and log kept in $build/fuzz-findings/$t/"
  fi
done
exit $status
