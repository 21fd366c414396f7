#!/usr/bin/env bash
# Builds the release tree and runs the shipped example analysis of examples/smart_study.sas.
# Arguments go to talven before the program: run-example.sh --html report.html also writes the
# HTML report.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh build
cmake --preset release >/dev/null
cmake --build --preset release -j"$(nproc)"
exec build/release/bin/talven "$@" -L examples examples/smart_study.sas
