#!/usr/bin/env bash
# Installs the Debian packages that building and testing vtFC4 needs, when they are missing.
# Uses sudo when not run as root. With --fuzz, also what the fuzz build needs.
set -euo pipefail

packages=(
  g++ cmake ninja-build python3 pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libxerces-c-dev
  libssl-dev
  libsqlite3-dev libpugixml-dev
  libcli11-dev
  pybind11-dev python3-dev python3-pytest
  libcurl4-openssl-dev libcpp-httplib-dev curl
)
# The fuzz build (fuzz/run.sh) also needs clang with its fuzzer and sanitizer runtimes.
if [ "${1:-}" = "--fuzz" ]; then
  packages+=(clang-14 libclang-rt-14-dev)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
