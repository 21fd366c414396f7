#!/usr/bin/env bash
# Builds and runs every test: the debug build, then the AddressSanitizer + UBSan build, then a
# short run of the fuzz targets.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
jobs="$(nproc)"
for preset in dev asan; do
  echo "=== ${preset}: configure and build"
  cmake --preset "${preset}" >/dev/null
  cmake --build --preset "${preset}" -j"${jobs}"
  echo "=== ${preset}: tests"
  ctest --preset "${preset}" -j"${jobs}"
done
# The fuzz targets, briefly: about 45 s each keeps the whole run well under half an hour.
echo "=== fuzz"
FUZZ_SECONDS="${FUZZ_SECONDS:-45}" bash scripts/fuzz.sh
