#!/bin/sh
# Builds the application in Release and starts application index 0 on the device root
# (DEVICE_ROOT, default ./run), made from the sample root when it does not exist yet.
# Ctrl-C starts the ordered shutdown.
set -eu
cd "$(dirname "$0")"

./scripts/deps.sh
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DMSD_TESTS=OFF >/dev/null
ninja -C build-release msdapp

ROOT="${DEVICE_ROOT:-./run}"
if [ ! -d "$ROOT" ]; then
    echo "preparing device root $ROOT from sample-root/"
    mkdir -p "$ROOT"
    cp -R sample-root/. "$ROOT"/
fi
export DEVICE_ROOT="$ROOT"
exec ./build-release/app/msdapp 0
