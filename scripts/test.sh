#!/usr/bin/env bash
# Installs what is missing, builds both programs and runs the whole test
# suite through CTest: the normal build, then everything again under
# AddressSanitizer and UndefinedBehaviorSanitizer, then a short fuzz run.
#
#   bash scripts/test.sh                      # all three
#   TELVAR_TEST_PHASES=normal bash scripts/test.sh
set -euo pipefail
cd "$(dirname "$0")/.."
phases=${TELVAR_TEST_PHASES:-normal sanitize fuzz}

TELVAR_WITH_CLANG=1 TELVAR_WITH_PEER=1 bash scripts/install-deps.sh

for phase in $phases; do
    echo "== test.sh: $phase"
    case "$phase" in
    normal)
        cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
        cmake --build build -j"$(nproc)"
        ctest --test-dir build --output-on-failure -j2
        ;;
    sanitize) bash scripts/sanitize.sh ;;
    fuzz) bash scripts/fuzz.sh ;;
    *) echo "test.sh: unknown phase $phase" >&2; exit 2 ;;
    esac
done
