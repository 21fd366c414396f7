#!/usr/bin/env bash
# One browser check: write a sample report, render it, check the screenshot and the printout.
#   browser_check.sh SAMPLE_PROGRAM RENDER_CHECK RENDER_SCRIPT OUTDIR example|stress
set -euo pipefail
sample="$1"
checker="$2"
render="$3"
out="$4/$5"
rm -rf "${out}"
mkdir -p "${out}"
if [ "$5" = example ]; then "${sample}" "${out}/report.html"; else "${sample}" "${out}/report.html" stress; fi
bash "${render}" "${out}/report.html" "${out}" 1100,2400 >/dev/null
"${checker}" "${out}/report.png" "${out}/report.pdf"
