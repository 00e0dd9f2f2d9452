#!/usr/bin/env bash
# The test suite under sanitizers, built with clang++ (warnings are errors,
# so this build is also the project's clang++ warning check):
#
#   build-asan/  everything, tests included, with AddressSanitizer and UBSan;
#                every test runs there but the line-noise soak
#   build-tsan/  ThreadSanitizer cannot share that build: only the
#                several-readers test (two readers, two clients, polling and
#                presence at once: pcsc_readers_emu_test) and what it links
#
# Any sanitizer report aborts the test that caused it.
#
#   fuzz/sanitize.sh [build|test]     (default: both; CXX=g++ CC=gcc for g++)
#
# Exit status: 0 when everything built and every test passed.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
asan=$root/build-asan
tsan=$root/build-tsan
tsan_test=pcsc_readers_emu_test
export CC=${CC:-clang} CXX=${CXX:-clang++}

configure() { # configure DIR SANITIZERS [CMAKE OPTIONS...]
  local dir=$1 sanitizers=$2 generator=()
  shift 2
  if command -v ninja >/dev/null && [[ ! -f $dir/CMakeCache.txt ]]; then generator=(-G Ninja); fi
  cmake -S "$root" -B "$dir" "${generator[@]}" -DTTYCARD_SANITIZE="$sanitizers" -DTTYCARD_TESTS=ON \
    -DTTYCARD_WERROR=ON "$@" >/dev/null
}

build() {
  configure "$asan" address,undefined
  cmake --build "$asan" --parallel
  configure "$tsan" thread -DTTYCARD_BENCH=OFF -DTTYCARD_VM=OFF
  cmake --build "$tsan" --parallel --target "$tsan_test"
}

run_tests() {
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
  export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
  # The line-noise soak is left out here: it is a statistic over thousands of
  # exchanges the sweep and the fuzzers already drive through the same code,
  # and under the sanitizers it would cost minutes. Most tests wait on serial
  # timeouts, so more run at once than there are cores.
  (cd "$asan" && ctest --output-on-failure -j"$(($(nproc) * 3))" --timeout 300 -E '^Soak/')
  # ThreadSanitizer maps its shadow memory at fixed addresses: without
  # address-space randomisation where the machine allows that.
  local norandom=()
  if setarch "$(uname -m)" -R true 2>/dev/null; then norandom=(setarch "$(uname -m)" -R); fi
  (cd "$tsan" && "${norandom[@]}" ctest --output-on-failure --timeout 300 -R "^$tsan_test\$")
}

case "${1:-all}" in
  build) build ;;
  test) run_tests ;;
  all) build && run_tests ;;
  *) echo "usage: $0 [build|test]" >&2; exit 2 ;;
esac
