#!/bin/sh
# Builds the application in Release and starts application index 0 on the device root
# (DEVICE_ROOT, default ./run), made from the sample root when it does not exist yet
# (scripts/prepare-root.sh: the sample's files and its calibration dataset).
# Ctrl-C starts the ordered shutdown. CMAKE_BUILD_PARALLEL_LEVEL=<n> limits the build to n jobs at
# once (default: ninja's, the processors plus two).
set -eu
cd "$(dirname "$0")"

./scripts/deps.sh
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DMSD_TESTS=OFF >/dev/null
cmake --build build-release --target msdapp vcconfig

ROOT="${DEVICE_ROOT:-./run}"
if [ ! -d "$ROOT" ]; then
    echo "preparing device root $ROOT from sample-root/"
    rm -rf "$ROOT.new"
    ./scripts/prepare-root.sh "$ROOT.new" build-release/tools/caldata/vcconfig
    mv "$ROOT.new" "$ROOT"
fi
export DEVICE_ROOT="$ROOT"
exec ./build-release/app/msdapp 0
