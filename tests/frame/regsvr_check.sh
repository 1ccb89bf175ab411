#!/usr/bin/env bash
# vtfc4-regsvr as a Unix tool: help and version on standard output, usage errors with exit 2,
# a module that cannot be loaded or has no entry point with exit 1; registering the library
# and the sandbox's processor writes their keys, unregistering (twice) takes them away.
set -euo pipefail
regsvr="$1"
library="$2"
processor="$3"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export VTFC4_REGISTRY="$work/registry"
fail() { echo "FAIL: $*" >&2; exit 1; }
status() { local s=0; "$@" > "$work/out" 2> "$work/err" || s=$?; echo "$s"; }

[ "$(status "$regsvr" --help)" -eq 0 ] && grep -q "MODULE" "$work/out" || fail "--help"
[ "$(status "$regsvr" --version)" -eq 0 ] && [ -s "$work/out" ] || fail "--version"
[ "$(status "$regsvr")" -eq 2 ] && [ -s "$work/err" ] || fail "no module is a usage error"
[ "$(status "$regsvr" "$work/missing.so")" -eq 2 ] || fail "a missing module is a usage error"
echo "not a library" > "$work/fake.so"
[ "$(status "$regsvr" "$work/fake.so")" -eq 1 ] && grep -q "cannot load" "$work/err" || fail "a file that is no library"

[ "$(status "$regsvr" "$library")" -eq 0 ] || fail "registering the library: $(cat "$work/err")"
grep -q "^VTFC4.VTSessionManager\\\\\\\\CurVer		VTFC4.VTSessionManager.1$" "$VTFC4_REGISTRY" || fail "the ProgID's CurVer"
grep -q "InprocServer32	ThreadingModel	Apartment" "$VTFC4_REGISTRY" || fail "the threading model"
[ "$(status "$regsvr" "$processor")" -eq 0 ] || fail "registering the processor: $(cat "$work/err")"
grep -q "LocalServer32		.*vtfc4-sandboxd$" "$VTFC4_REGISTRY" || fail "the daemon as the local server"
for round in 1 2; do
  [ "$(status "$regsvr" -u "$library")" -eq 0 ] || fail "unregistering the library, round $round"
  [ "$(status "$regsvr" -u "$processor")" -eq 0 ] || fail "unregistering the processor, round $round"
done
[ "$(cat "$VTFC4_REGISTRY")" = "CLSID" ] || fail "what unregistering leaves: $(cat "$VTFC4_REGISTRY")"
