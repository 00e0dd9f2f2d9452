#!/usr/bin/env bash
# Installs what the tests need (only what is missing), builds each
# configuration once and runs what it built:
#
#   g++ Release (-O3)    the whole GoogleTest suite, the line-noise soak
#                        included; its build/ serves the end-to-end stages
#   clang++ sanitizers   the suite again but the soak under ASan+UBSan (this
#                        build is the clang++ warning check too), and the
#                        several-readers test under ThreadSanitizer
#   clang++ libFuzzer    the fuzz targets, $FUZZ_SECONDS (30) s each
#   end to end           real pcscd with real clients (one reader; several
#                        readers, attributes, recovery, full-size T=1;
#                        vsmartcard's vicc; OpenSC's tools through the driver
#                        and through vpcd), the Debian package with lintian,
#                        the virtual PC
#
# Warnings are errors in every build. A stage that cannot run here prints
# "SKIP: why" and exits 77: it counts as skipped. The last line is
# "N passed, N failed, N skipped".
#
# Two lanes run side by side: "build", the CPU-bound stages (the builds, the
# fuzzing, the package build) at a lower priority, and "test", the stages
# that mostly wait on serial timeouts, pcscd and QEMU. A test stage starts
# when the build it needs is done; within a lane one stage runs at a time.
# Each stage's output is printed whole when it ends, with its wall and CPU
# time; a summary table closes the run.
#
# Adding a stage: one `stage` line below (scripts/stages.sh says how).
set -uo pipefail
cd "$(dirname "$0")/.." || exit 2

FUZZ_SECONDS="${FUZZ_SECONDS:-30}"
export FUZZ_SECONDS

build_gcc() {
  local generator=()
  if command -v ninja >/dev/null && [[ ! -f build/CMakeCache.txt ]]; then generator=(-G Ninja); fi
  cmake -S . -B build "${generator[@]}" -DCMAKE_BUILD_TYPE=Release -DTTYCARD_TESTS=ON \
    -DTTYCARD_WERROR=ON >/dev/null &&
    cmake --build build -j"$(nproc)"
}

# Most tests wait on serial timeouts and emulated readers: more run at once
# than there are cores.
tests_gcc() {
  cd build && ctest -j"$(($(nproc) * 3))" --output-on-failure --timeout 180
}

export -f build_gcc tests_gcc
source scripts/stages.sh

#     lane  id    needs  name                                                command
stage build gcc   -      "g++ Release build (-O3)"                           build_gcc
stage test  -     gcc    "unit and integration tests (g++ Release)"          tests_gcc
stage build san   -      "clang++ sanitizer builds (ASan+UBSan, TSan)"       bash fuzz/sanitize.sh build
stage build -     -      "fuzz targets (${FUZZ_SECONDS} s each)"             bash fuzz/run.sh "$FUZZ_SECONDS"
stage build -     -      "Debian package: build, lintian, pcscd with it"     bash tests/pkg/run_pkg_test.sh
stage test  -     gcc    "pcscd end to end"                                  bash pcsc/tests/run_e2e.sh build
stage test  -     gcc    "pcscd: several readers, attributes, recovery, full-size T=1" \
  bash tests/e2e/run_pcscd_more.sh build
stage test  -     gcc    "vicc card through pcscd end to end"                bash tests/vicc/run_vicc_e2e.sh build
stage test  -     gcc    "virtual PC: 16550 UARTs at the four COM addresses" bash tests/vm/run_vm.sh build
stage test  -     gcc    "OpenSC through the driver and through vpcd"        bash tests/vicc/run_opensc.sh build
stage test  -     san    "tests under ASan+UBSan; several readers under TSan" bash fuzz/sanitize.sh test

bash scripts/deps.sh test || { echo "package installation failed"; exit 1; }
run_stages
