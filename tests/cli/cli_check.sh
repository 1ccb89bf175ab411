#!/usr/bin/env bash
# The vtfc4 command as a user runs it: installed into a scratch prefix, against a sandbox company
# file (in process, through the daemon, and online through the gateway). Each subcommand, its
# exit codes, JSON that Python reads and that says what the answer's XML says, and the progress
# bar only on a terminal.
set -euo pipefail
build_dir=$1
source_dir=$2
sandbox=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
# expect STATUS COMMAND...: runs the command, its output in $work/out and $work/err.
expect() {
  local want=$1 got=0
  shift
  "$@" > "$work/out" 2> "$work/err" || got=$?
  [ "$got" -eq "$want" ] || fail "exit $got, not $want: $* ($(head -c 400 "$work/err"))"
}

cmake --install "$build_dir" --prefix "$work/prefix" > /dev/null
vtfc4=$work/prefix/bin/vtfc4
test -f "$work/prefix/share/man/man1/vtfc4.1" || fail "the man page is not installed"
test -f "$work/prefix/share/bash-completion/completions/vtfc4" || fail "the bash completion is not installed"
export VTFC4_REGISTRY="$work/registry" VTFC4_COMMON_APPDATA="$work/appdata" VTFC4_SANDBOX_NOW=2024-12-31T12:00:00
"$sandbox" create "$work/books.vtc" > /dev/null
"$sandbox" register > /dev/null
cd "$work"

# ---- Usage: help and version on standard output, usage errors on standard error with 2.
expect 0 "$vtfc4" --help
grep -q '^Usage: vtfc4' out || fail "--help"
expect 0 "$vtfc4" --version
grep -qx 'vtfc4 [0-9.]*' out || fail "--version: $(cat out)"
expect 0 "$vtfc4" send --help
grep -q -- '--out-of-process' out || fail "send --help"
for usage in "" "frobnicate" "send add.xml" "send add.xml --company a --online https://x" \
             "convert x.xml --to yaml" "query Customer --company books.vtc --bogus"; do
  # shellcheck disable=SC2086
  expect 2 "$vtfc4" $usage
  [ -s err ] && [ ! -s out ] || fail "usage error \"$usage\" not on standard error alone"
done

# The completion offers the subcommands, and the kinds of query from the command itself.
complete_words() {
  PATH="$work/prefix/bin:$PATH" bash -c 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1))
    _vtfc4; printf "%s\n" "${COMPREPLY[@]}"' _ "$work/prefix/share/bash-completion/completions/vtfc4" "$@"
}
[ "$(complete_words vtfc4 con)" = convert ] || fail "the completion of a subcommand"
kinds=$(complete_words vtfc4 query Cust)
grep -qx Customer <<<"$kinds" || fail "the completion of a kind: $kinds"

# ---- Documents.
head='<?xml version="1.0" ?>
<?vtxml version="4.0"?>
<VTXML>'
cat > add.xml <<XML
$head
<VTXMLMsgsRq onError="stopOnError">
<AccountAddRq><AccountAdd><Name>Service Income</Name><AccountType>Income</AccountType></AccountAdd></AccountAddRq>
<CustomerAddRq><CustomerAdd><Name>Zoë Åström &amp; 𝄞 Co</Name>
<BillAddress><Addr1>12 Quai Est</Addr1><City>Lyon</City></BillAddress><Phone>555-0100</Phone></CustomerAdd></CustomerAddRq>
<ItemServiceAddRq><ItemServiceAdd><Name>Repair</Name><SalesOrPurchase><Price>120.00</Price>
<AccountRef><FullName>Service Income</FullName></AccountRef></SalesOrPurchase></ItemServiceAdd></ItemServiceAddRq>
<InvoiceAddRq><InvoiceAdd><CustomerRef><FullName>Zoë Åström &amp; 𝄞 Co</FullName></CustomerRef>
<TxnDate>2024-12-02</TxnDate><RefNumber>INV-7</RefNumber>
<InvoiceLineAdd><ItemRef><FullName>Repair</FullName></ItemRef><Quantity>2</Quantity></InvoiceLineAdd>
<InvoiceLineAdd><Desc>Descaling kit</Desc><Amount>35.50</Amount></InvoiceLineAdd>
</InvoiceAdd></InvoiceAddRq>
</VTXMLMsgsRq>
</VTXML>
XML
# Two requests and no error policy: the set does not verify.
sed 's/ onError="stopOnError"//' add.xml > no_policy.xml
echo 'not a document' > junk.xml

# ---- verify: 0 when it verifies, 1 when it does not, 2 for input it cannot read.
expect 0 "$vtfc4" verify add.xml
grep -qx 'verifies: 4 requests' out || fail "verify: $(cat out)"
expect 0 "$vtfc4" verify - < add.xml
expect 1 "$vtfc4" verify no_policy.xml
grep -q '^does not verify' out || fail "the report of a set that does not verify"
expect 2 "$vtfc4" verify missing.xml
expect 2 "$vtfc4" verify junk.xml
expect 2 "$vtfc4" verify "$work"

# ---- send: the answer as XML and as JSON that says what the XML says.
expect 0 "$vtfc4" send add.xml --company books.vtc --json
cp out add.json
python3 -c 'import json,sys; json.load(open(sys.argv[1]))' add.json || fail "the JSON does not parse"
[ "$(python3 -c 'import json; a=json.load(open("add.json"))["responses"]; print(a[1]["CustomerRet"]["Name"], a[3]["InvoiceRet"]["Subtotal"], a[3]["InvoiceRet"]["IsPaid"])')" = \
  "Zoë Åström & 𝄞 Co 275.5 False" ] || fail "the JSON's values: $(head -c 600 add.json)"
grep -q '"Subtotal": 275.50,' add.json || fail "an amount is not written with its digits"
grep -q '"TxnDate": "2024-12-02"' add.json || fail "a date is not ISO 8601 text"
expect 0 "$vtfc4" query Invoice --company books.vtc --name INV-7
cp out invoice.xml
grep -q '^  <VTXMLMsgsRs>$' invoice.xml || fail "the answer is not indented"
expect 0 "$vtfc4" convert invoice.xml --to json
cp out invoice.json
python3 "$source_dir/tests/cli/json_matches.py" invoice.xml invoice.json > /dev/null
# A failed request is exit 1, and its status is in the answer.
expect 1 "$vtfc4" send add.xml --company books.vtc
grep -q 'statusSeverity="Error"' out || fail "the failed request's status"

# A subscription document goes to the subscription service; one with a URL is read back.
VTFC4_SANDBOX_SUBSCRIPTIONS=$work/subscriptions.db expect 0 "$vtfc4" send "$source_dir/examples/subscription_http.xml" \
  --company books.vtc --json
python3 -c 'import json,sys; r=json.load(sys.stdin)["responses"][0]["DataEventSubscriptionRet"]
assert r["HTTPCallbackInfo"]["URL"] == "http://127.0.0.1:8080/vtevents", r' < out

# ---- query: any kind, by name or ID, in process and through the daemon.
expect 0 "$vtfc4" query --list
for kind in Customer Invoice ItemService Account Bill; do grep -qx "$kind" out || fail "query --list lacks $kind"; done
expect 0 "$vtfc4" query Customer --company books.vtc --name 'Zoë Åström & 𝄞 Co' --out-of-process --json
id=$(python3 -c 'import json,sys; print(json.load(sys.stdin)["responses"][0]["CustomerRet"][0]["ListID"])' < out)
expect 0 "$vtfc4" query Customer --company books.vtc --id "$id" --json
grep -q '"FullName": "Zoë Åström & 𝄞 Co"' out || fail "query by ListID"
expect 1 "$vtfc4" query Customer --company books.vtc --name Nobody
grep -q 'statusCode="500"' out || fail "a name that names nothing"
expect 2 "$vtfc4" query Nothing --company books.vtc
expect 2 "$vtfc4" query Host --company books.vtc --id 1
expect 1 "$vtfc4" query Customer --company missing.vtc

# ---- convert: JSON of an answer; any document indented; what is not vtXML is refused.
expect 0 "$vtfc4" convert add.xml --to xml
[ "$(sed -n 5p out)" = '    <AccountAddRq>' ] || fail "the request indented: $(head -6 out)"
python3 -c 'import sys, xml.dom.minidom as m; m.parse(sys.argv[1])' out || fail "the indented request does not parse"
expect 0 "$vtfc4" convert add.xml --to json
grep -q '"onError": "stopOnError"' out || fail "a request as JSON"
expect 2 "$vtfc4" convert junk.xml --to json
# A document that the library cannot parse.
expect 1 "$vtfc4" convert <(printf '%s\n<VTXMLMsgsRs><CustomerQueryRs statusCode="0"></VTXMLMsgsRs></VTXML>\n' "$head") --to json

# ---- send several: answers into --out, a summary, no bar when standard error is not a terminal.
mkdir answers batch
for n in 1 2 3; do
  sed "s/<RefNumber>INV-7</<RefNumber>B-$n</; /AccountAddRq\|CustomerAddRq\|ItemServiceAddRq/d; /<BillAddress>/d; /^<AccountRef>/d" \
    add.xml > "batch/$n.xml"
done
expect 0 "$vtfc4" send batch/*.xml --company books.vtc --out answers --json
grep -qx '3 of 3 documents sent; responses: 3 Info, 0 Warn, 0 Error' out || fail "the summary: $(cat out)"
[ "$(ls answers)" = "$(printf '1.json\n2.json\n3.json')" ] || fail "the answers written: $(ls answers)"
! grep -q $'\r' err || fail "a progress bar without a terminal"
cp junk.xml batch/4.xml
expect 2 "$vtfc4" send batch/*.xml --company books.vtc --out answers
grep -q '^3 of 4 documents sent, 1 unreadable' out || fail "the summary with a document unreadable: $(cat out)"
grep -q 'B-1' <<<"$(cat batch/1.xml)" || fail "the batch documents"
rm batch/4.xml
expect 1 "$vtfc4" send batch/1.xml add.xml --company books.vtc
grep -q ', [1-9][0-9]* Error$' out || fail "an error status in the summary: $(cat out)"
# On a terminal, the bar is drawn on standard error.
if command -v script > /dev/null; then
  script -qec "$vtfc4 send batch/*.xml --company books.vtc --out answers" /dev/null > tty.log || true
  grep -q '\[#*\.*\] [0-9]/3' tty.log || fail "no progress bar on a terminal: $(cat -A tty.log | head -5)"
fi

# ---- online: the same through the sandbox's gateway.
"$sandbox" create "$work/online.vtc" > /dev/null
ticket=$("$sandbox" ticket "$work/online.vtc" --login cli)
# shellcheck source=../gateway.sh
source "$source_dir/tests/gateway.sh"
start_gateway "$sandbox" "$work/online.vtc" "$work/serve.log"
trap 'kill "$gateway" 2> /dev/null || true; rm -rf "$work"' EXIT
url=$gateway_url
export VTFC4_CA_FILE=$gateway_cert
expect 0 "$vtfc4" send add.xml --online "$url" --login cli --ticket "$ticket" --json
python3 -c 'import json,sys; a=json.load(sys.stdin)["responses"]; assert [r["statusCode"] for r in a] == [0, 0, 0, 0], a' < out
VTFC4_CONNECTION_TICKET=$ticket expect 0 "$vtfc4" query Invoice --online "$url" --login cli --name INV-7
grep -q '<RefNumber>INV-7</RefNumber>' out || fail "an online query"
expect 1 "$vtfc4" query Invoice --online "$url" --login cli --ticket TGT-unknown
echo "vtfc4 command: all checks passed"
