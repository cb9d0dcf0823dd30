#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, quietly, and only those missing.
# Runs apt-get update first when anything has to be installed.
set -euo pipefail

packages=(
    cmake make g++ g++-multilib            # host builds, x86-64 and i386
    googletest libgtest-dev libbenchmark-dev  # unit tests (built from source per ABI), benchmarks
    libcli11-dev libtomlplusplus-dev nlohmann-json3-dev  # hotpsim: options, machine files, JSON
    g++-mingw-w64-i686 mingw-w64-i686-dev binutils-mingw-w64-i686  # the i386 kernel image
    python3 python3-pefile                 # reading the built image in its tests
    pciutils                               # lspci decodes hotpsim's configuration dumps
    valgrind                               # instruction counts for benchmarks
    clang libclang-rt-14-dev               # fuzz/: libFuzzer harnesses (the fuzzer runtime)
)

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi
echo "installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
