#!/bin/sh
# Installs the Debian packages the build and the tests need, only those that are missing; waits
# for the package lock while another apt-get holds it.
set -eu

# socat is the README's client for the debug shell's socket.
PACKAGES="cmake ninja-build g++ pkg-config zlib1g-dev libexpat1-dev libgtest-dev libgmock-dev libbenchmark-dev socat"
if [ "${1:-}" = "--test" ]; then
    # The fuzz targets build with clang and libFuzzer; the image tests read dumps with PIL and decode
    # PNG images with netpbm.
    PACKAGES="$PACKAGES clang libclang-rt-14-dev python3 python3-pil netpbm iproute2 util-linux"
fi

missing=""
for p in $PACKAGES; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0

# Another apt-get (an unattended upgrade, a second build) may hold the package lock: wait for it,
# up to 10 minutes, instead of failing at once (apt-get itself is quiet meanwhile).
echo "installing:$missing (waits up to 10 minutes for the package lock while another apt-get holds it)"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
$SUDO apt-get -o DPkg::Lock::Timeout=600 update -qq || true
# shellcheck disable=SC2086
DEBIAN_FRONTEND=noninteractive $SUDO apt-get -o DPkg::Lock::Timeout=600 install -y -qq $missing
