#!/usr/bin/env bash
# Installs what `make wine-check` needs beyond scripts/install-deps.sh: Wine with its 32-bit
# device host (the image is i386, so its services run in the 32-bit winedevice.exe), and Wine's
# DDK headers, which the test bus driver is built against. Only what is missing is installed.
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
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${as_root[@]}" dpkg --add-architecture i386
fi
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
    "${missing[@]}"
echo "wine install-deps: done"
