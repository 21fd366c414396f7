#!/usr/bin/env bash
# Builds the release tree and runs the shipped example analysis of examples/smart_study.sas.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j"$(nproc)"
exec build/release/bin/talven -L examples examples/smart_study.sas
