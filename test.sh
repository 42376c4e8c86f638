#!/bin/sh
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer and runs every test, runs
# the concurrent areas' tests again under ThreadSanitizer, then gives each fuzz target a short run
# from its committed seed corpus.
set -eu
cd "$(dirname "$0")"

./scripts/deps.sh --test
JOBS="$(nproc)"

cmake -S . -B build-test -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMSD_SANITIZE=ON -DMSD_WERROR=ON >/dev/null
ninja -C build-test -j "$JOBS"
ASAN_OPTIONS="detect_leaks=1:abort_on_error=1" UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
    ctest --test-dir build-test --output-on-failure -j "$JOBS" --timeout 300

# The areas whose tests exercise tasks, queues and shared state again under ThreadSanitizer.
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMSD_TSAN=ON -DMSD_WERROR=ON >/dev/null
ninja -C build-tsan -j "$JOBS" test_platform test_framework test_msdcom test_calc test_laptiming test_logging test_gui \
    display_test display_xml_test
TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1" \
    ctest --test-dir build-tsan --output-on-failure -j "$JOBS" --timeout 300 \
    -L '^(platform|framework|msdcom|calc|laptiming|logging|gui|display)$'

./scripts/fuzz-smoke.sh
