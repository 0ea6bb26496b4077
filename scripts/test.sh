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
for phase in $phases; do
    case "$phase" in
    normal | sanitize | fuzz | package | windows) ;;
    *) echo "test.sh: unknown phase $phase (phases: normal sanitize fuzz package windows)" >&2; exit 2 ;;
    esac
done

if ! TELVAR_WITH_CLANG=1 TELVAR_WITH_PEER=1 TELVAR_WITH_PACKAGING=1 bash scripts/install-deps.sh; then
    echo "test.sh: scripts/install-deps.sh failed, so no phase ran" >&2
    echo "test.sh: 0 passed, 1 failed"
    exit 1
fi

run_phase() {
    case "$1" in
    normal)
        cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null &&
            cmake --build build -j"$(nproc)" &&
            ctest --test-dir build --output-on-failure -j2
        ;;
    sanitize) bash scripts/sanitize.sh ;;
    fuzz) bash scripts/fuzz.sh ;;
    package) bash scripts/check-package.sh ;;
    windows) python3 scripts/windows-check.py --prove ;;
    esac
}

log=$(mktemp)
trap 'rm -f "$log"' EXIT
passed=0
failed=0
broken=()
for phase in $phases; do
    echo "== test.sh: $phase"
    code=0
    run_phase "$phase" 2>&1 | tee "$log" || code=$?
    # Each phase ends with a line of CTest's form (the package and Windows
    # checks print one of the same form); the counts come from it.
    read -r p f n < <(awk '/tests passed, [0-9]+ tests failed out of/ {
        p += $NF - $(NF - 5); f += $(NF - 5); n++ } END { print p + 0, f + 0, n + 0 }' "$log")
    passed=$((passed + p))
    failed=$((failed + f))
    # A phase that died (a failed build, a crash, a killed checker) may have
    # printed no summary, or one that counts no failure: it counts as one.
    if [ "$n" -eq 0 ] || { [ "$code" -ne 0 ] && [ "$f" -eq 0 ]; }; then
        failed=$((failed + 1))
        broken+=("$phase (status $code, $([ "$n" -eq 0 ] && echo "no summary line" || echo "no failure counted"))")
    fi
done

for b in "${broken[@]}"; do
    echo "test.sh: phase $b: counted as 1 failed" >&2
done
echo "test.sh: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
