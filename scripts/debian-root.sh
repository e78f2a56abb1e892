#!/usr/bin/env bash
# Runs the pytest suites on the CPythons that this machine's Debian release does not have
# (3.14 and 3.15, from Debian unstable), against the same wheel: they need a newer C library,
# so they live in a Debian root of their own under build/, made with debootstrap the first
# time. The machine's own apt sources are left as they are.
#
#   bash scripts/debian-root.sh WHEEL [MINOR...]     (as root; default: 3.14 3.15)
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
WHEEL=$(realpath "$1")
shift
MINORS=("$@")
[ "${#MINORS[@]}" -gt 0 ] || MINORS=(3.14 3.15)
DEBIAN_ROOT=$ROOT/build/debian-sid

if [ "$(id -u)" -ne 0 ]; then
    echo "a Debian root needs root (debootstrap, chroot, mounts)"
    exit 1
fi

# The mirror the machine's own sources name.
mirror=$(grep -h -E '^URIs:|^deb ' /etc/apt/sources.list.d/* /etc/apt/sources.list 2>/dev/null |
    grep -o -E 'https?://[^ ]+/debian/?( |$)' | head -n 1 | tr -d ' ')
mirror=${mirror:-http://deb.debian.org/debian}

packages=(ca-certificates)
for minor in "${MINORS[@]}"; do
    packages+=("python$minor" "python$minor-venv")
done

if [ ! -f "$DEBIAN_ROOT/.ready" ]; then
    command -v debootstrap >/dev/null || DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null ||
        exit 1
    echo "--- debootstrap sid from $mirror into $DEBIAN_ROOT"
    rm -rf "$DEBIAN_ROOT"
    mkdir -p "$ROOT/build"
    debootstrap --variant=minbase sid "$DEBIAN_ROOT" "$mirror" >"$ROOT/build/debootstrap.log" 2>&1 ||
        { tail -n 20 "$ROOT/build/debootstrap.log"; exit 1; }
fi

mounted=()
unmount_all() {  # innermost first; a root left mounted would expose the machine's /dev to rm -rf
    local i
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
        umount "${mounted[i]}" 2>/dev/null || umount -l "${mounted[i]}"
    done
}
trap unmount_all EXIT
for place in proc sys dev dev/pts; do
    mountpoint -q "$DEBIAN_ROOT/$place" && continue
    mount --bind "/$place" "$DEBIAN_ROOT/$place" || exit 1
    mounted+=("$DEBIAN_ROOT/$place")
done

inside() { chroot "$DEBIAN_ROOT" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
    PIP_CERT=/etc/kulvo-host-ca.crt PIP_DISABLE_PIP_VERSION_CHECK=1 DEBIAN_FRONTEND=noninteractive "$@"; }

# The machine's certificate authorities, for pip inside (a proxy may sign PyPI's traffic).
cp /etc/ssl/certs/ca-certificates.crt "$DEBIAN_ROOT/etc/kulvo-host-ca.crt"
missing=()
for package in "${packages[@]}"; do
    inside dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if [ "${#missing[@]}" -gt 0 ]; then
    echo "--- installing in the Debian root: ${missing[*]}"
    # Unstable's Release file may have passed its Valid-Until on an older snapshot mirror.
    inside apt-get -o Acquire::Check-Valid-Until=false update -qq &&
        inside apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null || exit 1
fi
touch "$DEBIAN_ROOT/.ready"

# The suites and the wheel, copied in; run from outside the copy so that `import kulvo`
# finds the installed wheel.
work=$DEBIAN_ROOT/kulvo-tests
rm -rf "$work"
mkdir -p "$work/dist"
cp -r "$ROOT/tests" "$ROOT/bench" "$ROOT/pyproject.toml" "$work/"
cp "$WHEEL" "$work/dist/"
status=0
for minor in "${MINORS[@]}"; do
    echo "--- pytest on Python $minor ($(inside "python$minor" -c 'import platform; print(platform.python_version())'))"
    venv=/kulvo-tests/venv-$minor
    inside "python$minor" -m venv --clear "$venv" &&
        inside "$venv/bin/pip" install --quiet "/kulvo-tests/dist/$(basename "$WHEEL")" -r /kulvo-tests/tests/requirements.txt &&
        inside /bin/sh -c "cd /kulvo-tests/dist && $venv/bin/python -m pytest -q -p no:cacheprovider \
            --rootdir /kulvo-tests -c /kulvo-tests/pyproject.toml /kulvo-tests/tests" || status=1
done
exit "$status"
