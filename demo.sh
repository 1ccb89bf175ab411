#!/usr/bin/env bash
# Installs what is missing, builds vtFC4 and the sandbox application, and runs the quickstart
# client against fresh sandbox company files: a customer is added, read back and modified.
#
#   ./demo.sh            both roads: the desktop's request processor, then the online gateway
#   ./demo.sh desktop    the desktop road only
#   ./demo.sh online     the online road only: VTOESessionManager over HTTPS to
#                        `vtfc4-sandbox serve` on loopback
set -euo pipefail
cd "$(dirname "$0")"
road="${1:-both}"
case "$road" in
  desktop | online | both) ;;
  *) echo "usage: ./demo.sh [desktop|online]" >&2; exit 2 ;;
esac
tools/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)" --target quickstart vtfc4-sandbox vtxmlrp2 vtfc4-sandboxd

# Everything the demonstration writes stays under build/demo: its registry file, its company
# files, the gateway's certificate and its error-recovery folder.
demo="$PWD/build/demo"
rm -rf "$demo"
mkdir -p "$demo"
export VTFC4_REGISTRY="$demo/registry"
export VTFC4_COMMON_APPDATA="$demo/appdata"
sandbox=build/processor/component/vtfc4-sandbox

if [ "$road" != online ]; then
  echo "== The desktop road"
  "$sandbox" create "$demo/company.vtc"
  "$sandbox" register
  echo
  ./build/examples/quickstart "$demo/company.vtc"
  echo
  echo "The company file now holds:"
  "$sandbox" list "$demo/company.vtc"
  echo
  echo "The same customers, asked from the shell (vtfc4 query Customer --json):"
  ./build/cli/vtfc4 query Customer --company "$demo/company.vtc" --json
fi

if [ "$road" != desktop ]; then
  [ "$road" = online ] || echo
  echo "== The online road"
  "$sandbox" create "$demo/online.vtc"
  ticket=$("$sandbox" ticket "$demo/online.vtc" --login demo)
  echo "Connection ticket for the login \"demo\": $ticket"
  # The gateway on any free loopback port, with a certificate made for it on first start.
  "$sandbox" serve "$demo/online.vtc" --listen 127.0.0.1:0 > "$demo/serve.log" &
  gateway=$!
  trap 'kill "$gateway" 2> /dev/null || true' EXIT
  for _ in $(seq 100); do
    grep -q '^certificate: ' "$demo/serve.log" && break
    kill -0 "$gateway" 2> /dev/null || { cat "$demo/serve.log" >&2; exit 1; }
    sleep 0.1
  done
  cat "$demo/serve.log"
  export VTFC4_GATEWAY_URL
  VTFC4_GATEWAY_URL=$(sed -n 's|^serving \(https://[^/]*\)/j/AppGateway$|\1|p' "$demo/serve.log")
  export VTFC4_CA_FILE
  VTFC4_CA_FILE=$(sed -n 's|^certificate: ||p' "$demo/serve.log")
  echo
  ./build/examples/quickstart --online demo "$ticket"
  kill "$gateway"
  wait "$gateway" || true
  echo
  echo "The online company file now holds:"
  "$sandbox" list "$demo/online.vtc"
fi
