#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz preset: clang, ASan + UBSan) and runs each for a bounded
# time on a copy of its committed seed corpus. FUZZ_SECONDS (default 60) is the time per target;
# FUZZ_TARGETS (default: all) a blank-separated subset of: program csv sas7bdat xport.
# A crash leaves its input in build/fuzz/artifacts/ and fails the script; keep that input as a
# regression case in fuzz/regressions/<target>/ once the fault is fixed.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${FUZZ_SECONDS:-60}"
targets="${FUZZ_TARGETS:-program csv sas7bdat xport}"
build=build/fuzz

cmake --preset fuzz >/dev/null
# shellcheck disable=SC2086
cmake --build "${build}" -j"$(nproc)" --target $(printf 'fuzz_%s ' ${targets})

mkdir -p "${build}/artifacts"
status=0
summary=()
for target in ${targets}; do
  work="${build}/corpus/${target}"
  mkdir -p "${work}"
  dict=()
  [ -f "fuzz/${target}.dict" ] && dict=(-dict="fuzz/${target}.dict")
  log="${build}/${target}.log"
  echo "=== fuzz ${target}: ${seconds} s"
  # New inputs go to the working copy; the committed seeds and past crashes are read only.
  seeds=("fuzz/corpus/${target}")
  [ -d "fuzz/regressions/${target}" ] && seeds+=("fuzz/regressions/${target}")
  if ! "${build}/bin/fuzz_${target}" -max_total_time="${seconds}" -timeout=10 -print_final_stats=1 \
      -artifact_prefix="${build}/artifacts/${target}-" "${dict[@]}" "${work}" "${seeds[@]}" \
      >"${log}" 2>&1; then
    status=1
    echo "fuzz ${target}: FAILED; see ${log} and ${build}/artifacts/" >&2
    tail -n 40 "${log}" >&2
  fi
  runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "${log}" | tail -n 1)"
  summary+=("${target}: ${runs:-?} executions")
done
printf 'fuzz summary: %s\n' "${summary[@]}"
exit "${status}"
