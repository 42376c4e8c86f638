#!/bin/sh
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer and runs every test, runs
# every test again under ThreadSanitizer, then gives each fuzz target a short run from its
# committed seed corpus.
set -eu
cd "$(dirname "$0")"

./scripts/deps.sh --test

# The layout: at most 40 source files a folder, and no circle between folders.
python3 scripts/layout.py >/dev/null || { python3 scripts/layout.py; exit 1; }
JOBS="$(nproc)"

cmake -S . -B build-test -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMSD_SANITIZE=ON -DMSD_WERROR=ON >/dev/null
ninja -C build-test -j "$JOBS"
ASAN_OPTIONS="detect_leaks=1:abort_on_error=1" UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
    ctest --test-dir build-test --output-on-failure -j "$JOBS" --timeout 300

# Every label again under ThreadSanitizer (scripts/tsan.supp: the lock-free read of measurement
# values).
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMSD_TSAN=ON -DMSD_WERROR=ON >/dev/null
ninja -C build-tsan -j "$JOBS"
TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$(pwd)/scripts/tsan.supp" \
    ctest --test-dir build-tsan --output-on-failure -j "$JOBS" --timeout 300

./scripts/fuzz-smoke.sh
