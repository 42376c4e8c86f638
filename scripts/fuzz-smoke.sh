#!/bin/sh
# A short run of every fuzz target from its committed seed corpus (fuzz/corpus/<target>/).
set -eu
cd "$(dirname "$0")/.."

ls fuzz/*.cmake >/dev/null 2>&1 || { echo "no fuzz targets"; exit 0; }
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMSD_FUZZ=ON \
    -DMSD_TESTS=OFF >/dev/null
ninja -C build-fuzz -j "$(nproc)" fuzz_all

# One target per processor at a time. The whole smoke run keeps to a fixed wall-clock budget
# (FUZZ_BUDGET seconds, default 120), shared out evenly, at least 5 s and at most 20 s a target;
# FUZZ_SECONDS fixes the time per target instead.
JOBS="$(nproc)"
TARGETS="$(find build-fuzz/fuzz -maxdepth 1 -type f -executable | sort)"
COUNT="$(echo "$TARGETS" | grep -c . || true)"
[ "$COUNT" -gt 0 ] || { echo "no fuzz targets built"; exit 1; }
ROUNDS=$(((COUNT + JOBS - 1) / JOBS))
SECONDS_PER_TARGET=$((${FUZZ_BUDGET:-120} / ROUNDS))
[ "$SECONDS_PER_TARGET" -ge 5 ] || SECONDS_PER_TARGET=5
[ "$SECONDS_PER_TARGET" -le 20 ] || SECONDS_PER_TARGET=20
SECONDS_PER_TARGET="${FUZZ_SECONDS:-$SECONDS_PER_TARGET}"
fuzz_one() {
    target="$1"
    name="$(basename "$target")"
    work="build-fuzz/corpus-$name"
    rm -rf "$work" && mkdir -p "$work"
    echo "fuzzing $name for ${SECONDS_PER_TARGET}s"
    "$target" -max_total_time="$SECONDS_PER_TARGET" -timeout=10 -rss_limit_mb=2048 -print_final_stats=0 \
        "$work" "fuzz/corpus/$name" >"build-fuzz/$name.log" 2>&1 || {
        tail -50 "build-fuzz/$name.log"
        echo "fuzz target $name failed"
        return 1
    }
}
failed=0
running=0
pids=""
for target in $TARGETS; do
    fuzz_one "$target" &
    pids="$pids $!"
    running=$((running + 1))
    if [ "$running" -ge "$JOBS" ]; then
        for pid in $pids; do wait "$pid" || failed=1; done
        pids=""
        running=0
    fi
done
for pid in $pids; do wait "$pid" || failed=1; done
exit "$failed"
