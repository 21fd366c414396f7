#!/usr/bin/env bash
# Renders an HTML file in headless Chromium: a screenshot (OUTDIR/NAME.png) and a printout
# (OUTDIR/NAME.pdf). The browser runs without network services, with a profile of its own that is
# removed afterwards. Exit status 77 when Chromium is not installed (ctest counts it as skipped).
#   scripts/render-html.sh REPORT.html OUTDIR [WIDTH,HEIGHT]
set -euo pipefail
if [ $# -lt 2 ] || [ $# -gt 3 ]; then
  echo "usage: $0 REPORT.html OUTDIR [WIDTH,HEIGHT]" >&2
  exit 2
fi
html="$1"
out="$2"
size="${3:-1200,2600}"
browser="$(command -v chromium || command -v chromium-browser || true)"
if [ -z "${browser}" ]; then
  echo "chromium is not installed (Debian package chromium): no browser check" >&2
  exit 77
fi
if [ ! -f "${html}" ]; then
  echo "$0: ${html} does not exist" >&2
  exit 2
fi
mkdir -p "${out}"
profile="$(mktemp -d)"
trap 'rm -rf "${profile}"' EXIT
name="$(basename "${html}" .html)"
png="${out}/${name}.png"
pdf="${out}/${name}.pdf"
rm -f "${png}" "${pdf}"
url="file://$(realpath "${html}")"
flags=(--headless --no-sandbox --disable-gpu --disable-quic --no-first-run
       --disable-background-networking --disable-component-update --disable-sync
       --disable-dev-shm-usage --hide-scrollbars --user-data-dir="${profile}")
# Chromium prints its own chatter on standard error; keep it for when a render fails.
run() {
  if ! timeout 180 "${browser}" "${flags[@]}" "$@" "${url}" >"${profile}/chromium.log" 2>&1; then
    echo "$0: chromium failed on ${html}:" >&2
    tail -n 20 "${profile}/chromium.log" >&2
    exit 1
  fi
}
run --window-size="${size}" --screenshot="${png}"
run --no-pdf-header-footer --print-to-pdf="${pdf}"
echo "${png}"
echo "${pdf}"
