#!/bin/sh
# A short run of every fuzz target from its committed seed corpus (fuzz/corpus/<target>/).
set -eu
cd "$(dirname "$0")/.."

ls fuzz/*.cmake >/dev/null 2>&1 || { echo "no fuzz targets"; exit 0; }
SECONDS_PER_TARGET="${FUZZ_SECONDS:-20}"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMSD_FUZZ=ON \
    -DMSD_TESTS=OFF >/dev/null
ninja -C build-fuzz -j "$(nproc)" fuzz_all

# One target per processor at a time; each runs for its fixed time.
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
JOBS="$(nproc)"
failed=0
running=0
pids=""
for target in $(find build-fuzz/fuzz -maxdepth 1 -type f -executable | sort); do
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
