#!/bin/sh
# Runs the page tests when their peers are installed; exit code 77 tells CTest it was skipped.
here="$(cd "$(dirname "$0")" && pwd)"
skip() { echo "SKIPPED: $*"; exit 77; }

command -v node >/dev/null 2>&1 || skip "node is not installed (package nodejs)"
[ -x /usr/bin/chromium ] || skip "/usr/bin/chromium is not installed (package chromium)"
[ -f "$here/node_modules/playwright-core/package.json" ] ||
  skip "playwright-core is not installed (scripts/install-deps runs npm ci in tests/web)"
command -v curl >/dev/null 2>&1 || skip "curl is not installed"
command -v xmllint >/dev/null 2>&1 || skip "xmllint is not installed (package libxml2-utils)"

exec node "$here/page-tests.mjs" "$@"
