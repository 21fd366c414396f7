#!/usr/bin/env bash
# Runs clang-tidy with the repository's .clang-tidy on the product's C++ files and fails on any
# finding. It uses the compile_commands.json of the dev preset, with the bench and fuzz presets'
# entries for the programs only they compile (configuring a preset when needed).
#   tidy.sh BASE    the files changed between BASE and the working tree (untracked ones too)
#   tidy.sh         the same against origin/main where that exists, otherwise every product file
#   tidy.sh --all   every product file (what CI runs: a fresh clone has an origin/main equal to
#                   its own main, so a diff would check nothing)
# A changed header checks every product file, since any of them may include it.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"

checked_dirs=(numerics engine procedure frontend host include bench fuzz examples)
# tests/ is not checked: test bodies are tables of cases, not product logic.

mode="${1:-}"
if [ -z "${mode}" ] && git rev-parse -q --verify origin/main >/dev/null; then
  mode=origin/main
fi

for preset in dev bench fuzz; do
  if [ ! -f "build/${preset}/compile_commands.json" ]; then
    cmake --preset "${preset}" >/dev/null
  fi
done
db=build/tidy
mkdir -p "${db}"
python3 - build/dev/compile_commands.json build/bench/compile_commands.json \
  build/fuzz/compile_commands.json >"${db}/compile_commands.json" <<'PY'
import json, sys
seen, merged = set(), []
for path in sys.argv[1:]:
    for entry in json.load(open(path)):
        if entry["file"] not in seen:
            seen.add(entry["file"])
            merged.append(entry)
json.dump(merged, sys.stdout, indent=1)
PY

dirs_regex="$(IFS='|'; echo "${checked_dirs[*]}")"
root_regex="$(printf '%s' "${root}" | sed 's/[].[^$*+?(){}|\\]/\\&/g')"
product_regex="^${root_regex}/(${dirs_regex})/"

# Every translation unit of the product.
mapfile -t all_units < <(
  python3 -c 'import json, sys
for e in json.load(open(sys.argv[1])):
    print(e["file"])' "${db}/compile_commands.json" | grep -E "${product_regex}" | sort -u)

units=()
if [ -z "${mode}" ] || [ "${mode}" = --all ]; then
  units=("${all_units[@]}")
else
  mapfile -t changed < <({
    git diff --name-only "${mode}" --
    git ls-files --others --exclude-standard
  } | grep -E "^(${dirs_regex})/.*\.(cc|h)$" | sort -u)
  header_changed=0
  for f in "${changed[@]}"; do
    case "${f}" in *.h) header_changed=1 ;; esac
  done
  if [ "${header_changed}" -eq 1 ]; then
    units=("${all_units[@]}")
  else
    for f in "${changed[@]}"; do
      for u in "${all_units[@]}"; do
        if [ "${u}" = "${root}/${f}" ]; then units+=("${u}"); fi
      done
    done
  fi
fi

if [ ${#units[@]} -eq 0 ]; then
  echo "tidy: no product C++ file changed against ${mode}"
  exit 0
fi
echo "tidy: checking ${#units[@]} files"
# clang-tidy's counts of what it suppressed (system headers) say nothing about the code.
noise='^[0-9]+ warnings? (and [0-9]+ errors? )?generated\.$|^Suppressed [0-9]+ warnings|^Use -header-filter|^$'
status=0
printf '%s\0' "${units[@]}" |
  xargs -0 -P"$(nproc)" -n4 clang-tidy -p "${db}" --quiet --header-filter="${product_regex}" \
    2> >(grep -v -E "${noise}" >&2) ||
  status=$?
if [ "${status}" -ne 0 ]; then
  echo "tidy: findings above (exit ${status})" >&2
  exit 1
fi
echo "tidy: clean"
