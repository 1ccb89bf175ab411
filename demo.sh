#!/usr/bin/env bash
# Installs what is missing, builds vtFC4 and the sandbox application, and runs the quickstart
# client against a fresh sandbox company file: a customer is added, read back and modified.
set -euo pipefail
cd "$(dirname "$0")"
tools/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)" --target quickstart vtfc4-sandbox vtxmlrp2 vtfc4-sandboxd

# Everything the demonstration writes stays under build/demo: its registry file, its company
# file and its error-recovery folder.
demo="$PWD/build/demo"
rm -rf "$demo"
mkdir -p "$demo"
export VTFC4_REGISTRY="$demo/registry"
export VTFC4_COMMON_APPDATA="$demo/appdata"
sandbox=build/processor/component/vtfc4-sandbox
"$sandbox" create "$demo/company.vtc"
"$sandbox" register
echo
./build/examples/quickstart "$demo/company.vtc"
echo
echo "The company file now holds:"
"$sandbox" list "$demo/company.vtc"
