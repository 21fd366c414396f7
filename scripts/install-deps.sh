#!/usr/bin/env bash
# Installs the Debian packages that are missing, when run as root.
#   install-deps.sh build   what the release build and the example analysis need
#   install-deps.sh [all]   everything: the build, the tests, the fuzz targets, the coverage report,
#                           the browser check of the HTML report, the Python and R packages
set -euo pipefail
what="${1:-all}"
# Compilers and CMake; ReadStat (SAS data files).
build=(build-essential cmake libreadstat-dev)
# GoogleTest; clang with libFuzzer's runtime (the fuzz preset), clang-format (the repository's
# format) and clang-tidy (scripts/tidy.sh); gcovr (the coverage preset); Chromium (the browser
# check of the HTML report), which is large, so an example run never installs it; Python with
# pandas, pip, venv, setuptools, wheel and pytest, and R with testthat (the Python and R
# packages); for R CMD check --as-cran: checkbashisms (devscripts) for the configure script,
# pdflatex for the PDF manual and HTML Tidy for the HTML one; GNU parallel (the coverage
# program's shards, and their test).
development=(libgtest-dev clang libclang-rt-14-dev clang-format clang-tidy gcovr chromium
             python3-pandas python3-pip python3-venv python3-setuptools python3-wheel
             python3-pytest r-base-core r-cran-testthat devscripts texlive-latex-base
             texlive-latex-recommended texlive-fonts-recommended tidy parallel)
case "${what}" in
  build) packages=("${build[@]}") ;;
  all) packages=("${build[@]}" "${development[@]}") ;;
  *)
    echo "usage: $0 [build|all]" >&2
    exit 2
    ;;
esac
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
