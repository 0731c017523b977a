#!/usr/bin/env bash
# Installs what is missing, builds, and runs every check:
#   the test suite (offscreen, plus the real window under Xvfb), and for root
#   the suite again as nobody while another program holds UDP port 1000,
#   the same suite under AddressSanitizer and UndefinedBehaviorSanitizer,
#   each fuzz target for 60 s, and the format and clang-tidy checks.
# ./test.sh --quick runs the test suite alone.
set -euo pipefail
cd "$(dirname "$0")"

quick=false
if [[ "${1:-}" == "--quick" ]]; then
    quick=true
    shift
fi

scripts/setup.sh --test
cmake --preset default >/dev/null
cmake --build --preset default
ctest --preset default "$@"
scripts/unprivileged.sh build "$@"
$quick && exit 0

scripts/sanitize.sh
scripts/fuzz.sh 60
scripts/lint.sh build
echo "All checks passed."
