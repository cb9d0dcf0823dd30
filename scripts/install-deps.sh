#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only those missing, and says so.
# Runs apt-get update first when anything has to be installed; apt's own progress is shown.
# `install-deps.sh html`: only what `make html-check` needs besides the build: a headless browser
# that opens hotpsim's HTML pages, one font so that text renders alike everywhere, and Pillow to
# read the browser's screenshots.
set -euo pipefail

if [ "${1:-}" = "html" ]; then
    packages=(chromium fonts-dejavu-core python3-pil)
else
packages=(
    cmake make g++ g++-multilib            # host builds, x86-64 and i386
    googletest libgtest-dev libbenchmark-dev  # unit tests (built from source per ABI), benchmarks
    libcli11-dev libtomlplusplus-dev nlohmann-json3-dev  # hotpsim: options, machine files, JSON
    g++-mingw-w64-i686 mingw-w64-i686-dev binutils-mingw-w64-i686  # the i386 kernel image
    python3 python3-pefile                 # reading the built image in its tests
    python3-jsonschema                     # hotpsim's JSON events against their schema
    pciutils                               # lspci decodes hotpsim's configuration dumps
    valgrind                               # instruction counts for benchmarks
    parallel                               # GNU parallel: the shards of an exploration, in a test
    clang libclang-rt-14-dev               # fuzz/: libFuzzer harnesses (the fuzzer runtime)
)
fi

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

echo "install-deps: missing Debian packages: ${missing[*]}"
as_root=()
if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null 2>&1; then
        echo "install-deps: this needs root, and sudo is not installed. As root, run:" >&2
        echo "    apt-get update && apt-get install --no-install-recommends ${missing[*]}" >&2
        echo "then run make again." >&2
        exit 1
    fi
    echo "install-deps: installing them with sudo (it may ask for your password)"
    as_root=(sudo)
fi
# env passes the setting through sudo, which would otherwise drop it from the environment.
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
    "${missing[@]}"
echo "install-deps: done"
