#!/usr/bin/env bash
# Installs the Python and R packages with the commands README.md shows, run exactly as written
# (taken from README's blocks marked "<!-- install: NAME -->"), checks the R source tarball with
# R CMD check --as-cran and installs the Python wheel, both in a folder outside the repository,
# then runs the packages' tests and the agreement of the talven command, Python and R, bit for bit.
# TALVEN_BIN names the talven command to compare with (default: the release build).
set -euo pipefail
cd "$(dirname "$0")/.."
repository=$PWD
out=${repository}/build/packages
talven_bin="${TALVEN_BIN:-${repository}/build/release/bin/talven}"
elsewhere=$(mktemp -d "${TMPDIR:-/tmp}/talven-packages.XXXXXX")
trap 'rm -rf "${elsewhere}"' EXIT

# The commands of README's block NAME, one per line.
readme_block() {
  awk -v marker="<!-- install: $1 -->" '
    $0 == marker { armed = 1; next }
    armed && /^```sh$/ { inside = 1; next }
    inside && /^```$/ { found = 1; exit }
    inside { print }
    END { if (!found) exit 1 }' "${repository}/README.md" ||
    { echo "README.md has no block marked install: $1" >&2; exit 1; }
}

# Runs README's block NAME in folder DIR, echoing each command.
run_block() {
  local commands
  commands=$(readme_block "$1")
  echo "--- README install: $1 (in ${2/#${repository}/the repository})"
  printf '%s\n' "${commands}" | sed 's/^/    $ /'
  (cd "$2" && bash -euo pipefail -c "${commands}")
}

# R installs into libraries of the build tree, not the machine's: R_LIBS chooses the library
# that R CMD INSTALL writes to. CI has no network: R's look-ups of package repositories go to an
# empty local one. The check's PDF manual uses Times and LaTeX's own typewriter font, since the
# inconsolata font is in Debian's 1.4 GB texlive-fonts-extra alone.
rm -rf "${out}/R" "${repository}/.venv"
mkdir -p "${out}/R" "${elsewhere}/R" "${elsewhere}/repo/src/contrib"
: >"${elsewhere}/repo/src/contrib/PACKAGES"
echo "options(repos = c(CRAN = \"file://${elsewhere}/repo\"))" >"${elsewhere}/Rprofile"
export R_PROFILE_USER="${elsewhere}/Rprofile" R_RD4PDF="times,hyper"

run_block python "${repository}"
run_block python-wheel "${repository}"
mv "${repository}"/talven-*.whl "${elsewhere}/"
run_block python-wheel-elsewhere "${elsewhere}"

R_LIBS="${out}/R" run_block r "${repository}"
(cd r/talven && ./cleanup)
run_block r-build "${repository}"
mv "${repository}"/talven_*.tar.gz "${elsewhere}/"
R_LIBS="${elsewhere}/R" run_block r-check-elsewhere "${elsewhere}" >"${elsewhere}/check.out" 2>&1 ||
  { cat "${elsewhere}/check.out"; exit 1; }
log="${out}/r-check.log"
cp "${elsewhere}/talven.Rcheck/00check.log" "${log}"
grep -E "NOTE|WARNING|ERROR|^Status" "${log}" || true
# Only the notes that need the network are allowed (README names them).
if grep -E "^\* checking .*\.\.\. (NOTE|WARNING|ERROR)" "${log}" |
  grep -vE "^\* checking for future file timestamps \.\.\. NOTE$"; then
  cat "${log}"
  exit 1
fi

# The compiled code that R and Python load never ends the process nor writes to the standard
# streams: R CMD check looks at the package's own objects only, so the archives linked into
# talven.so and the Python package's libraries are checked here.
echo "--- no process exits or standard-stream writes in the loaded libraries"
forbidden='^(abort|exit|_exit|quick_exit|printf|vprintf|puts|putchar|fprintf|vfprintf|perror|stdout|stderr|_ZSt4cout|_ZSt4cerr|_ZSt4clog)$'
for library in "${out}/R/talven/libs/talven.so" .venv/lib/python3*/site-packages/talven/_lib/*.so; do
  if nm -D --undefined-only "${library}" | awk '{print $2}' | sed 's/@.*//' | grep -E "${forbidden}"; then
    echo "${library} refers to the symbols above" >&2
    exit 1
  fi
done

echo "--- pytest in the wheel's environment, outside the repository"
(cd "${elsewhere}" && talven-env/bin/python -c "import talven, sys; sys.exit(not talven.__file__.startswith('${elsewhere}'))" &&
  talven-env/bin/python -m pytest -q -p no:cacheprovider "${repository}/python/tests")

echo "--- pytest: the Python package and the agreement of the three front ends"
R_LIBS="${out}/R" TALVEN_BIN="${talven_bin}" TALVEN_AGREEMENT=required \
  .venv/bin/python -m pytest -q -p no:cacheprovider python/tests tests/frontends
