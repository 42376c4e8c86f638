#!/bin/sh
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer and runs every test, runs
# every test again under ThreadSanitizer (the end-to-end ones beside two busy loops per processor),
# then gives each fuzz target a short run from its committed seed corpus.
set -eu
cd "$(dirname "$0")"

./scripts/deps.sh --test

# The layout: at most 40 source files a folder, and no circle between folders.
python3 scripts/layout.py >/dev/null || { python3 scripts/layout.py; exit 1; }
JOBS="$(nproc)"
# The tests outside the end-to-end label: at least four at once, however few processors there are
# (many wait on time, a 10 s bound or a hand-driven clock, rather than on a processor).
TESTS_AT_ONCE=$((JOBS > 4 ? JOBS : 4))

cmake -S . -B build-test -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMSD_SANITIZE=ON -DMSD_WERROR=ON >/dev/null
ninja -C build-test -j "$JOBS"
# The end-to-end tests each run whole devices whose bounds count real time (a stop's answer, records
# back within 2 s): four at once, after the others, so that on a large host eight devices writing
# through to one disk together do not decide what they see.
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1" UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
ctest --test-dir build-test --output-on-failure -j "$TESTS_AT_ONCE" --timeout 300 -LE e2e
ctest --test-dir build-test --output-on-failure -j 4 --timeout 300 -L e2e
unset ASAN_OPTIONS UBSAN_OPTIONS

# Every label again under ThreadSanitizer (scripts/tsan.supp: the lock-free read of measurement
# values); the end-to-end label one test a processor beside two busy loops per processor, so that a
# host busy with other work does not decide what the tests see. The loops run below the devices'
# priority (nice 10), as other work does beside a device whose tasks are real-time ones: at the same
# priority a sanitized device, which needs about half a processor idle, cannot keep its 1 ms raster
# on a share of one, and falls seconds behind the wall clock whatever the test asks of it.
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMSD_TSAN=ON -DMSD_WERROR=ON >/dev/null
ninja -C build-tsan -j "$JOBS"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$(pwd)/scripts/tsan.supp"
ctest --test-dir build-tsan --output-on-failure -j "$TESTS_AT_ONCE" --timeout 300 -LE e2e
BUSY=""
trap 'for p in $BUSY; do kill "$p" 2>/dev/null || true; done' EXIT
trap 'exit 130' INT TERM
for _ in $(seq $((2 * JOBS))); do
    nice -n 10 sh -c 'while :; do :; done' &
    BUSY="$BUSY $!"
done
ctest --test-dir build-tsan --output-on-failure -j "$JOBS" --timeout 300 -L e2e
for p in $BUSY; do kill "$p"; done
BUSY=""
trap - EXIT INT TERM
unset TSAN_OPTIONS

./scripts/fuzz-smoke.sh
