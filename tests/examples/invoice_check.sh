#!/usr/bin/env bash
# The invoice example against a new sandbox company file: the invoice's figures, the payment
# applied, and what remains open, as the example prints them.
set -euo pipefail
sandbox="$1"
example="$2"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export VTFC4_REGISTRY="$work/registry" VTFC4_COMMON_APPDATA="$work/appdata"
"$sandbox" create "$work/books.vtc" > /dev/null
"$sandbox" register > /dev/null
output=$("$example" "$work/books.vtc")
echo "$output"
fail() { echo "FAIL: $*" >&2; exit 1; }
grep -q 'Subtotal 275.50, BalanceRemaining 275.50' <<<"$output" || fail "the invoice's figures"
grep -q 'Payment of 200.00 received, 0.00 of it unused' <<<"$output" || fail "the payment"
grep -q 'AppliedAmount -200.00, BalanceRemaining 75.50, open' <<<"$output" || fail "what remains open"
