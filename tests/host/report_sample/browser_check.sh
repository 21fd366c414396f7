#!/usr/bin/env bash
# One browser check: write a report, render it, check the screenshot and the printout.
#   browser_check.sh RENDER_CHECK RENDER_SCRIPT OUTDIR example TALVEN SOURCE_DIR
#     the report of `talven --html report.html -L examples examples/smart_study.sas`
#   browser_check.sh RENDER_CHECK RENDER_SCRIPT OUTDIR stress SAMPLE_PROGRAM
#     plots at their limits
set -euo pipefail
checker="$1"
render="$2"
out="$3"
rm -rf "${out}"
mkdir -p "${out}"
case "$4" in
  example)
    # The example reads its data from the source tree and writes nothing there.
    if ! (cd "$6" && "$5" --html "${out}/report.html" --log "${out}/log.txt" \
            --print "${out}/listing.lst" -L examples examples/smart_study.sas); then
      echo "FAIL: talven did not run the example cleanly; its log:" >&2
      cat "${out}/log.txt" >&2
      exit 1
    fi
    ;;
  stress) "$5" "${out}/report.html" ;;
  *)
    echo "$0: unknown check $4" >&2
    exit 2
    ;;
esac
bash "${render}" "${out}/report.html" "${out}" 1100,2400 >/dev/null
"${checker}" "${out}/report.png" "${out}/report.pdf"
