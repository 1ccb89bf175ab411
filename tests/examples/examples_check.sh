#!/usr/bin/env bash
# The examples that talk to the application, against a new sandbox company file with its clock
# fixed: the invoice example's figures, the payment applied and what remains open; then the
# profit and loss example's table of the year those left; then the quickstart's online road through
# the sandbox's gateway; then both roads of the quickstart on the client layer.
set -euo pipefail
sandbox="$1"
examples="$2"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export VTFC4_REGISTRY="$work/registry" VTFC4_COMMON_APPDATA="$work/appdata" VTFC4_SANDBOX_NOW=2024-12-31T12:00:00
"$sandbox" create "$work/books.vtc" > /dev/null
"$sandbox" register > /dev/null
fail() { echo "FAIL: $*" >&2; exit 1; }

output=$("$examples/invoice" "$work/books.vtc")
echo "$output"
grep -q 'Subtotal 275.50, BalanceRemaining 275.50' <<<"$output" || fail "the invoice's figures"
grep -q 'Payment of 200.00 received, 0.00 of it unused' <<<"$output" || fail "the payment"
grep -q 'AppliedAmount -200.00, BalanceRemaining 75.50, open' <<<"$output" || fail "what remains open"

output=$("$examples/profit_and_loss" "$work/books.vtc")
echo "$output"
grep -qx '2024-01-01 through 2024-12-31' <<<"$output" || fail "the year of the sandbox's clock"
grep -qE '^  Service Income +240\.00$' <<<"$output" || fail "the service's income"
grep -qE '^  Uncategorized Income +35\.50$' <<<"$output" || fail "the part sold without an item"
grep -qE '^Net Income +275\.50$' <<<"$output" || fail "the net income"

# The quickstart's online road: the same steps through the online manager, over HTTPS to the
# sandbox's gateway on loopback, signing on with a connection ticket the company issued.
"$sandbox" create "$work/online.vtc" > /dev/null
ticket=$("$sandbox" ticket "$work/online.vtc" --login demo)
# shellcheck source=../gateway.sh
source "$(dirname "$0")/../gateway.sh"
start_gateway "$sandbox" "$work/online.vtc" "$work/serve.log"
trap 'kill "$gateway" 2> /dev/null || true; rm -rf "$work"' EXIT
url=${gateway_url%/j/AppGateway}
cert=$gateway_cert
output=$(VTFC4_GATEWAY_URL="$url" VTFC4_CA_FILE="$cert" "$examples/quickstart" --online demo "$ticket")
echo "$output"
grep -q 'FullName "Ames Trading", EditSequence [0-9]*, Phone 555-0199' <<<"$output" || fail "the online road's modification"
output=$(VTFC4_GATEWAY_URL="$url" VTFC4_CA_FILE="$cert" "$examples/quickstart" --online demo "TGT-unknown" 2>&1) &&
  fail "an unknown connection ticket was taken"
echo "$output"
grep -q 'status 2020' <<<"$output" || fail "the sign-on error of an unknown connection ticket"

# The quickstart on the client layer: the same road on a company file of its own, then online
# through a gateway of its own (the quickstart's company already has its customer).
"$sandbox" create "$work/modern.vtc" > /dev/null
output=$("$examples/quickstart_modern" "$work/modern.vtc")
echo "$output"
grep -q 'FullName "Ames Trading", EditSequence [0-9]*, Phone 555-0100' <<<"$output" || fail "the modern quickstart's add"
grep -q 'FullName "Ames Trading", EditSequence [0-9]*, Phone 555-0199' <<<"$output" || fail "the modern quickstart's modification"
grep -q 'BillAddress: 12 Quai Est, Lyon' <<<"$output" || fail "the modern quickstart's address"
grep -qx 'Session ended, connection closed.' <<<"$output" || fail "the modern quickstart's end"
output=$("$examples/quickstart_modern" "$work/missing.vtc" 2>&1) && fail "a missing company file was opened"
echo "$output"
grep -q '^BeginSession: .*missing.vtc.* (0x80040403)$' <<<"$output" || fail "the modern quickstart's error"

"$sandbox" create "$work/online-modern.vtc" > /dev/null
ticket=$("$sandbox" ticket "$work/online-modern.vtc" --login demo)
first_gateway=$gateway
start_gateway "$sandbox" "$work/online-modern.vtc" "$work/serve-modern.log"
trap 'kill "$first_gateway" "$gateway" 2> /dev/null || true; rm -rf "$work"' EXIT
url=${gateway_url%/j/AppGateway}
cert=$gateway_cert
output=$(VTFC4_GATEWAY_URL="$url" VTFC4_CA_FILE="$cert" "$examples/quickstart_modern" --online demo "$ticket")
echo "$output"
grep -q 'FullName "Ames Trading", EditSequence [0-9]*, Phone 555-0199' <<<"$output" || fail "the modern online road's modification"
output=$(VTFC4_GATEWAY_URL="$url" VTFC4_CA_FILE="$cert" "$examples/quickstart_modern" --online demo "TGT-unknown" 2>&1) &&
  fail "an unknown connection ticket was taken by the modern quickstart"
echo "$output"
grep -q 'status 2020' <<<"$output" || fail "the modern quickstart's sign-on error"
