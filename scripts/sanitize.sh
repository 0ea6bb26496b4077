#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer in
# build-sanitize and runs the whole test suite there. Any sanitizer report
# fails the test that raised it.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
dir=${TELVAR_SANITIZE_DIR:-build-sanitize}
jobs=${TELVAR_JOBS:-2}

bash scripts/install-deps.sh
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Debug -DTELVAR_SANITIZE=ON >/dev/null
cmake --build "$dir" -j"$jobs"

# Leaks are reported at exit; the suppressions cover only what Qt's offscreen
# platform and fontconfig keep for the life of the process.
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=1:check_initialization_order=1"
export LSAN_OPTIONS="suppressions=$root/tests/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
ctest --test-dir "$dir" --output-on-failure -j"$jobs" "$@"
