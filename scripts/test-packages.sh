#!/usr/bin/env bash
# Builds, installs and tests the Python and R packages the way a user does (pip, R CMD INSTALL,
# R CMD check), then checks that the talven command, Python and R give the same doubles.
# TALVEN_BIN names the talven command to compare with (default: the release build).
set -euo pipefail
cd "$(dirname "$0")/.."
out=build/packages
python=/usr/bin/python3
talven_bin="${TALVEN_BIN:-$PWD/build/release/bin/talven}"
rm -rf "${out}/python" "${out}/R" "${out}/home" "${out}/check"

echo "--- pip install ./python (builds the study layer into ${out})"
"${python}" -m pip install --quiet --root-user-action=ignore --no-build-isolation --no-deps --no-index \
  --target "${out}/python" ./python
echo "--- R CMD INSTALL r/talven"
mkdir -p "${out}/R"
R CMD INSTALL --no-test-load -l "${out}/R" r/talven >"${out}/r-install.log" 2>&1 ||
  { cat "${out}/r-install.log"; exit 1; }
# The package's copy of the libraries and its objects stay out of the source tree.
(cd r/talven && ./cleanup)

echo "--- R CMD check --no-manual"
# The check works on a copy of the package, outside the repository: it finds the libraries in
# an installed tree named by TALVEN_HOME.
# Its look-ups of package repositories go to an empty local one: CI has no network.
mkdir -p "${out}/home/include" "${out}/home/lib" "${out}/check" "${out}/repo/src/contrib"
cp include/talven_frontend.h "${out}/home/include/"
cp "${out}/lib/libTalvenFrontend.so" "${out}/lib/libKestrion.so" "${out}/home/lib/"
: >"${out}/repo/src/contrib/PACKAGES"
echo "options(repos = c(CRAN = \"file://${PWD}/${out}/repo\"))" >"${out}/Rprofile"
(
  cd "${out}/check"
  export R_PROFILE_USER="${PWD}/../Rprofile"
  R CMD build --no-build-vignettes ../../../r/talven >build.log 2>&1 || { cat build.log; exit 1; }
  TALVEN_HOME="$PWD/../home" R CMD check --no-manual talven_1.0.0.tar.gz >check.log 2>&1 ||
    { cat check.log; exit 1; }
  grep -E "^\* checking|NOTE|WARNING|ERROR|^Status" check.log | grep -vE "\.\.\. OK$" || true
  # Notes are explained in the package's README; warnings and errors fail the check.
  if grep -qE "^Status:.*(WARNING|ERROR)" check.log; then cat check.log; exit 1; fi
)

echo "--- pytest: the Python package and the agreement of the three front ends"
PYTHONPATH="${PWD}/${out}/python" R_LIBS="${PWD}/${out}/R" TALVEN_BIN="${talven_bin}" \
  TALVEN_AGREEMENT=required "${python}" -m pytest -q -p no:cacheprovider python/tests \
  tests/frontends
