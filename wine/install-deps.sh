#!/usr/bin/env bash
# Installs what `make wine-check` needs beyond scripts/install-deps.sh: Wine with its 32-bit
# device host (the image is i386, so its services run in the 32-bit winedevice.exe), and Wine's
# DDK headers, which the test bus driver is built against. Only what is missing is installed.
#
# The 32-bit device host comes from the i386 architecture: this adds it to dpkg, and apt then
# upgrades every installed amd64 package that shares a library with an i386 one to the same
# version (on a fresh machine some sixty packages, systemd and openssl among them). That is said,
# with the count apt plans, before anything is installed.
set -euo pipefail

packages=(wine wine32:i386 libwine-dev)
missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "wine install-deps: missing Debian packages: ${missing[*]}"
as_root=()
if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null 2>&1 || {
        echo "wine install-deps: needs root (or sudo) to install: ${missing[*]}" >&2
        exit 1
    }
    as_root=(sudo)
fi
apt=("${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get)
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    echo "wine install-deps: adding the i386 architecture to dpkg (wine32:i386 is an i386 package)"
    "${as_root[@]}" dpkg --add-architecture i386
fi
if ! "${apt[@]}" update -q > /tmp/wine-install-deps-update.log 2>&1 ||
    grep -qE "^(Err|W: Failed to fetch)" /tmp/wine-install-deps-update.log; then
    echo "wine install-deps: the package registry cannot be reached (apt-get update failed);" \
        "still missing: ${missing[*]}" >&2
    exit 1
fi
# What apt plans, before it does it: the amd64 packages it upgrades to match the i386 libraries.
plan=$("${apt[@]}" install -s --no-install-recommends "${missing[@]}" 2>/dev/null || true)
upgrades=$(printf '%s\n' "$plan" | grep -E '^Inst \S+ \[' | grep -v ':i386 ' | awk '{print $2}' || true)
count=$(printf '%s' "$upgrades" | grep -c . || true)
echo "wine install-deps: installing ${missing[*]} with the i386 libraries they need; this upgrades" \
    "$count installed amd64 packages to the versions of those i386 libraries" \
    "($(printf '%s' "$upgrades" | head -n 8 | tr '\n' ' ')$([ "$count" -gt 8 ] && echo "..."))"
if ! "${apt[@]}" install -y --no-install-recommends "${missing[@]}"; then
    echo "wine install-deps: apt-get install failed; still missing: ${missing[*]}" >&2
    exit 1
fi
echo "wine install-deps: done"
