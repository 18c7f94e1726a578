#!/usr/bin/env bash
# Makes docs/images/enrichment-report.png, the picture on the front page: the
# HTML report of `vok-scan enrich` on the bundled lambda genome and peaks,
# as headless Chromium shows it (1200 x 1400 pixels).
#
# Needs vok-scan with the report extra on PATH (e.g. after
# tools/run_tests.sh: PATH=build/venv/bin:$PATH) and chromium.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
vok-scan enrich --quiet --genome examples/data/lambda_virus.fa \
  examples/data/jaspar_core_vertebrates.transfac examples/data/lambda_peaks.bed \
  -o "$work/enrichment.tsv" --report "$work/enrichment.html"
chromium --headless --no-sandbox --disable-gpu --hide-scrollbars --window-size=1200,1400 \
  --screenshot="$work/report.png" "file://$work/enrichment.html" 2>/dev/null
cp "$work/report.png" docs/images/enrichment-report.png
echo "wrote docs/images/enrichment-report.png"
