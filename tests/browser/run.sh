#!/usr/bin/env bash
# Runs the browser test of the home screen's page; exit 77 (skipped) when Chromium, Node or the test's
# npm packages are not installed (scripts/test installs them).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
for need in /usr/bin/chromium "$here/node_modules/playwright-core/package.json"; do
    [ -e "$need" ] || { echo "browser test skipped: $need is missing (scripts/test installs it)"; exit 77; }
done
command -v node > /dev/null || { echo "browser test skipped: node is missing"; exit 77; }
exec node "$here/page.test.mjs"
