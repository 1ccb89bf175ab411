#!/usr/bin/env bash
# Installs what is missing, builds vtFC4 and runs the example client.
set -euo pipefail
cd "$(dirname "$0")"
tools/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)" --target write_customer
./build/examples/write_customer
