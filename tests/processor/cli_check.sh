#!/usr/bin/env bash
# The vtfc4-sandbox command: create, list, register and unregister, and its refusals.
set -euo pipefail
sandbox="$1"
module="$2"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export VTFC4_REGISTRY="$work/config/registry"
fail() { echo "FAIL: $*" >&2; exit 1; }

"$sandbox" create "$work/books.vtc" | grep -q "created company file" || fail "create"
"$sandbox" create "$work/books.vtc" 2>/dev/null && fail "create over an existing file"
[ "$("$sandbox" list "$work/books.vtc")" = "(no records)" ] || fail "a new company file lists records"
echo "not a company file" > "$work/other"
"$sandbox" list "$work/other" 2>/dev/null && fail "list of a file that is no company file"
"$sandbox" list "$work/missing.vtc" 2>/dev/null && fail "list of a missing file"

"$sandbox" register "$module" | grep -q "registered $module" || fail "register"
grep -q "InprocServer32		$module" "$VTFC4_REGISTRY" || fail "the module is not under InprocServer32"
"$sandbox" unregister >/dev/null || fail "unregister"
grep -q "InprocServer32" "$VTFC4_REGISTRY" && fail "unregister left the module registered"
"$sandbox" unregister >/dev/null || fail "unregistering twice"
"$sandbox" bogus 2>/dev/null && fail "an unknown command"
echo "vtfc4-sandbox: all checks passed"
