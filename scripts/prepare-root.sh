#!/bin/sh
# Makes a device root from the sample root: copies sample-root/ into <root>, makes a folder for each
# drive of application 0 (cfg/ comes with the sample; nv/ the application makes itself) and writes
# the calibration dataset (caldata/dataset.bin) from its text, caldata/dataset.txt, with vcconfig,
# so that the dataset has this build's layout.
#
#   scripts/prepare-root.sh <root> <vcconfig executable>
set -eu
[ $# -eq 2 ] || { echo "usage: $0 <root> <vcconfig executable>" >&2; exit 2; }
ROOT="$1"
VCCONFIG="$2"
SAMPLE="$(cd "$(dirname "$0")/.." && pwd)/sample-root"

mkdir -p "$ROOT"
cp -R "$SAMPLE"/. "$ROOT"/
mkdir -p "$ROOT/meas" "$ROOT/meas2" "$ROOT/usb_meas" "$ROOT/c"
"$VCCONFIG" "$ROOT" "$ROOT/caldata/dataset.txt" >/dev/null
