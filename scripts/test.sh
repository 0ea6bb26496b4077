#!/usr/bin/env bash
# Installs what is missing, builds both programs and runs the whole test
# suite through CTest: the normal build, then everything again under
# AddressSanitizer and UndefinedBehaviorSanitizer, then a short fuzz run;
# then builds and checks the Debian package, and compiles the Windows build
# with MinGW-w64.
#
#   bash scripts/test.sh                      # all five
#   TELVAR_TEST_PHASES="normal package" bash scripts/test.sh
set -euo pipefail
cd "$(dirname "$0")/.."
phases=${TELVAR_TEST_PHASES:-normal sanitize fuzz package windows}

TELVAR_WITH_CLANG=1 TELVAR_WITH_PEER=1 TELVAR_WITH_PACKAGING=1 bash scripts/install-deps.sh

log=$(mktemp)
trap 'rm -f "$log"' EXIT
status=0
for phase in $phases; do
    echo "== test.sh: $phase"
    case "$phase" in
    normal)
        cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
        cmake --build build -j"$(nproc)"
        ctest --test-dir build --output-on-failure -j2 2>&1 | tee -a "$log" || status=1
        ;;
    sanitize) bash scripts/sanitize.sh 2>&1 | tee -a "$log" || status=1 ;;
    fuzz) bash scripts/fuzz.sh 2>&1 | tee -a "$log" || status=1 ;;
    package) bash scripts/check-package.sh 2>&1 | tee -a "$log" || status=1 ;;
    windows) python3 scripts/windows-check.py --prove 2>&1 | tee -a "$log" || status=1 ;;
    *) echo "test.sh: unknown phase $phase" >&2; exit 2 ;;
    esac
done

# One line for all phases, from CTest's own summaries (the package and Windows
# checks end with a line of the same form).
read -r passed failed < <(awk '/tests passed, [0-9]+ tests failed out of/ {
    p += $NF - $(NF - 5); f += $(NF - 5) } END { print p + 0, f + 0 }' "$log")
[ "$failed" -eq 0 ] || status=1
echo "test.sh: $passed passed, $failed failed"
exit "$status"
