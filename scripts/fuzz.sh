#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz and runs each for a
# bounded time. TELVAR_FUZZ_SECONDS sets the time per target (default 12);
# run them longer with, for example: TELVAR_FUZZ_SECONDS=3600 scripts/fuzz.sh
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${TELVAR_FUZZ_DIR:-build-fuzz}
jobs=${TELVAR_JOBS:-2}
seconds=${TELVAR_FUZZ_SECONDS:-12}
clang=${TELVAR_CLANG:-clang++-14}

TELVAR_WITH_CLANG=1 bash scripts/install-deps.sh
command -v "$clang" >/dev/null || clang=clang++
CXX=$clang cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTELVAR_FUZZ=ON \
    -DBUILD_TESTING=OFF -DTELVAR_FUZZ_SECONDS="$seconds" >/dev/null
cmake --build "$dir" -j"$jobs" --target telvar_fuzzers
status=0
ctest --test-dir "$dir/fuzz" --output-on-failure -j"$jobs" "$@" || status=$?
# How much each target ran, for the record.
log="$dir/fuzz/Testing/Temporary/LastTest.log"
if [ -f "$log" ]; then
    grep -E '^[0-9]+/[0-9]+ Testing: |stat::number_of_executed_units|stat::average_exec_per_sec' "$log" || true
fi
exit "$status"
