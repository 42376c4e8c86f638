#!/bin/sh
# Installs the Debian packages the build and the tests need, only those that are missing; waits
# for the package lists' and the package lock while another apt-get holds them.
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
echo "installing:$missing (waits up to 10 minutes for the package lists' and the package lock while another apt-get holds them)"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
# DPkg::Lock::Timeout covers the dpkg lock, not the package lists' lock that the update takes: while
# another apt-get holds that one, the update is tried again, within the same 10 minutes, so that the
# install never runs on lists that were not brought up to date for want of the lock. Any other
# failure of the update (no network, say) leaves the install the lists there are.
LISTS_LOCK=/var/lib/apt/lists/lock
deadline=$(($(date +%s) + 600))
said=""
while ! out="$($SUDO apt-get -o DPkg::Lock::Timeout=600 update -qq 2>&1)"; do
    case "$out" in
    *"$LISTS_LOCK"* | *"lock directory /var/lib/apt/lists"*) ;;
    *)
        printf '%s\n' "$out" >&2
        break
        ;;
    esac
    if [ "$(date +%s)" -ge "$deadline" ]; then
        printf '%s\n' "$out" >&2
        echo "deps.sh: the package lists are still locked by another apt-get after 10 minutes ($LISTS_LOCK); not installing on lists that are not up to date" >&2
        exit 1
    fi
    if [ -z "$said" ]; then
        echo "deps.sh: waiting for the package lists' lock ($LISTS_LOCK), held by another apt-get, up to 10 minutes ..." >&2
        said=1
    fi
    sleep 2
done
# shellcheck disable=SC2086
DEBIAN_FRONTEND=noninteractive $SUDO apt-get -o DPkg::Lock::Timeout=600 install -y -qq $missing
