#!/usr/bin/env bash
# Checks the product's code with clang-tidy, then builds and runs every test: the debug build with
# gcov line counts (then the line coverage of the product's code, which must be at least 85 %),
# the AddressSanitizer + UBSan build, the engine's threaded tests under ThreadSanitizer, the Python
# and R packages with the agreement of the three front ends, then a short run of the fuzz targets.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh all
jobs="$(nproc)"
# Every product file, not a diff: a fresh clone's origin/main is its own main. It needs the
# presets' compile_commands.json only, no build, so it runs first and fails fast (about a minute).
echo "=== clang-tidy"
cmake --preset dev >/dev/null
bash scripts/tidy.sh --all
for preset in coverage asan; do
  echo "=== ${preset}: configure and build"
  cmake --preset "${preset}" >/dev/null
  cmake --build --preset "${preset}" -j"${jobs}"
  echo "=== ${preset}: tests"
  ctest --preset "${preset}" -j"${jobs}"
  if [ "${preset}" = coverage ]; then
    echo "=== line coverage"
    cmake --build --preset coverage-report
  fi
done
# The interval engine's threads: its tests of every phase on several threads, under
# ThreadSanitizer (the engine tests alone are built).
echo "=== tsan: configure, build and test the engine"
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j"${jobs}"
ctest --preset tsan -j"${jobs}"
# The Python and R packages, and the agreement of the three front ends.
echo "=== Python and R packages"
TALVEN_BIN="$PWD/build/coverage/bin/talven" bash scripts/test-packages.sh
# The fuzz targets, briefly: about 25 s each keeps the whole run under half an hour on two cores
# (long campaigns: FUZZ_SECONDS=600 bash scripts/fuzz.sh).
echo "=== fuzz"
FUZZ_SECONDS="${FUZZ_SECONDS:-25}" bash scripts/fuzz.sh
