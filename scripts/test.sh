#!/usr/bin/env bash
# Installs what the tests need (only what is missing), builds everything and
# runs every test: the GoogleTest suite (g++), warning checks with clang++ and
# a g++ Release build (warnings are errors in all of them), the suite again
# under AddressSanitizer and UndefinedBehaviorSanitizer, the fuzz targets for
# a bounded time, the end-to-end runs with real pcscd, and the Debian package
# built, unpacked and served to pcscd.
# Ends with one line "N passed, N failed" over the stages.
set -uo pipefail
cd "$(dirname "$0")/.."

FUZZ_SECONDS="${FUZZ_SECONDS:-30}"
passed=0
failed=0
failures=()

stage() {
  local name="$1"
  shift
  echo
  echo "==== $name"
  local start=$SECONDS
  if "$@"; then
    passed=$((passed + 1))
    echo "==== $name: ok ($((SECONDS - start)) s)"
  else
    failed=$((failed + 1))
    failures+=("$name")
    echo "==== $name: FAILED ($((SECONDS - start)) s)"
  fi
}

build_and_test() {
  cmake -S . -B build -DTTYCARD_TESTS=ON -DTTYCARD_WERROR=ON >/dev/null &&
    cmake --build build -j"$(nproc)" &&
    (cd build && ctest -j"$(nproc)" --output-on-failure --timeout 180)
}

clang_build() {
  cmake -S . -B build-clang -DTTYCARD_TESTS=ON -DTTYCARD_WERROR=ON -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_C_COMPILER=clang >/dev/null &&
    cmake --build build-clang -j"$(nproc)"
}

# Release (-O3) is where g++ finds the most to warn about; the driver's
# symbol check runs there too.
release_build() {
  cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DTTYCARD_TESTS=ON \
    -DTTYCARD_WERROR=ON >/dev/null &&
    cmake --build build-release -j"$(nproc)" &&
    (cd build-release && ctest -R 'readertest_links_every_module|^Library\.' --output-on-failure)
}

bash scripts/deps.sh test || { echo "package installation failed"; exit 1; }

stage "build and unit/integration tests (g++)" build_and_test
stage "warning-free build (clang++)" clang_build
stage "warning-free Release build (g++ -O3)" release_build
[[ -f fuzz/sanitize.sh ]] && stage "tests under ASan+UBSan" bash fuzz/sanitize.sh
[[ -f fuzz/run.sh ]] && stage "fuzz targets (${FUZZ_SECONDS} s each)" bash fuzz/run.sh "$FUZZ_SECONDS"
[[ -f pcsc/tests/run_e2e.sh ]] && stage "pcscd end to end" bash pcsc/tests/run_e2e.sh build
[[ -f tests/e2e/run_pcscd_more.sh ]] && stage "pcscd: several readers, attributes, recovery, full-size T=1" bash tests/e2e/run_pcscd_more.sh build
[[ -f tests/pkg/run_pkg_test.sh ]] && stage "Debian package: build, contents, pcscd with it" bash tests/pkg/run_pkg_test.sh
[[ -f tests/vicc/run_vicc_e2e.sh ]] && stage "vicc card through pcscd end to end" bash tests/vicc/run_vicc_e2e.sh build
[[ -f tests/vicc/run_opensc.sh ]] && stage "OpenSC tools on vicc's card: through ttycard as through vpcd" bash tests/vicc/run_opensc.sh build
[[ -f tests/vm/run_vm.sh ]] && stage "virtual PC: 16550 UARTs at the four COM addresses" bash tests/vm/run_vm.sh build

echo
[[ ${#failures[@]} -gt 0 ]] && printf 'failed stage: %s\n' "${failures[@]}"
echo "$passed passed, $failed failed"
[[ $failed -eq 0 ]]
