#!/usr/bin/env bash
# Installs what tools/quorrick-report and its browser test need: Node.js with npm (Debian
# packages, unless a node is already on the machine), the page's charting library and the
# test's browser driver from tools/report/package-lock.json, and with `--browser` Debian's
# chromium, which the test drives (no browser is ever downloaded by npm).
set -euo pipefail
cd "$(dirname "$0")/.."
export DEBIAN_FRONTEND=noninteractive
need=()
command -v node >/dev/null || need+=(nodejs)
command -v npm >/dev/null || need+=(npm)
if [ "${1:-}" = --browser ]; then
  dpkg -s chromium >/dev/null 2>&1 || need+=(chromium)
fi
if [ ${#need[@]} -gt 0 ]; then
  apt-get update -qq
  apt-get install -y -qq "${need[@]}"
fi
if [ ! -f tools/report/node_modules/chart.js/dist/chart.umd.min.js ] ||
   [ ! -d tools/report/node_modules/playwright-core ]; then
  (cd tools/report && npm ci --no-audit --no-fund --loglevel=error)
fi
