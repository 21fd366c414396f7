#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when run as root and any is missing.
set -euo pipefail
# Compilers and CMake; GoogleTest; clang with libFuzzer's runtime (the fuzz preset) and
# clang-format (the repository's format); ReadStat (SAS data files); gcovr (the coverage preset);
# Chromium (the browser check of the HTML report).
packages=(build-essential cmake libgtest-dev clang libclang-rt-14-dev clang-format libreadstat-dev
          gcovr chromium)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "missing Debian packages: ${missing[*]} (run as root to install them)" >&2
  exit 1
fi
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
