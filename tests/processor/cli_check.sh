#!/usr/bin/env bash
# The sandbox's commands as Unix tools: vtfc4-sandbox (create, list, register, unregister,
# ticket, serve) and the daemon vtfc4-sandboxd beside it: help and version on standard output,
# usage errors with exit 2, failures with exit 1 (standard output that cannot be written
# included); the online gateway's tickets, and the gateway served by HTTPS.
set -euo pipefail
sandbox="$1"
module="$2"
daemon="$(dirname "$sandbox")/vtfc4-sandboxd"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export VTFC4_REGISTRY="$work/config/registry"
fail() { echo "FAIL: $*" >&2; exit 1; }

said=$("$sandbox" create "$work/books.vtc") && grep -q "created company file" <<<"$said" || fail "create"
"$sandbox" create "$work/books.vtc" 2>/dev/null && fail "create over an existing file"
listing=$("$sandbox" list "$work/books.vtc")
grep -q '^Account .*"Accounts Receivable"' <<<"$listing" || fail "a new company file holds its special accounts"
grep -q 'CompanyName: books' <<<"$listing" || fail "the company is named after its file"
"$sandbox" create "$work/north.vtc" --country CA --name "North Ltd" > /dev/null || fail "create a CA company"
listing=$("$sandbox" list "$work/north.vtc")
grep -q '^TaxCode .*"G"' <<<"$listing" || fail "a CA company has its tax codes"
grep -q 'CompanyName: North Ltd' <<<"$listing" || fail "the company's name"
status=0; "$sandbox" create "$work/x.vtc" --country FR 2>/dev/null || status=$?
[ "$status" -eq 2 ] || fail "an unknown edition is a usage error"
echo "not a company file" > "$work/other"
"$sandbox" list "$work/other" 2>/dev/null && fail "list of a file that is no company file"
"$sandbox" list "$work/missing.vtc" 2>/dev/null && fail "list of a missing file"

said=$("$sandbox" register "$module") && grep -q "registered $module" <<<"$said" || fail "register"
grep -q "InprocServer32		$module" "$VTFC4_REGISTRY" || fail "the module is not under InprocServer32"
"$sandbox" unregister >/dev/null || fail "unregister"
grep -q "InprocServer32" "$VTFC4_REGISTRY" && fail "unregister left the module registered"
"$sandbox" unregister >/dev/null || fail "unregistering twice"
"$sandbox" register "$work/no-such-module.so" 2>/dev/null && fail "register of a missing module"
grep -q "no-such-module" "$VTFC4_REGISTRY" && fail "a missing module was registered"

# Each usage: the exit status, and whether standard output or standard error carries the text.
usage() {
  local expected="$1" stream="$2"; shift 2
  local status=0
  "$@" >"$work/out" 2>"$work/err" || status=$?
  [ "$status" = "$expected" ] || fail "$* exited with $status, not $expected"
  [ -s "$work/$stream" ] || fail "$* wrote nothing to std$stream"
  if [ "$stream" = out ]; then [ ! -s "$work/err" ] || fail "$* wrote to stderr"; else [ ! -s "$work/out" ] || fail "$* wrote to stdout"; fi
}
version=$(sed -n 's/^project(vtfc4 VERSION \([0-9.]*\).*/\1/p' "$(dirname "$0")/../../CMakeLists.txt")
for program in "$sandbox" "$daemon"; do
  usage 0 out "$program" --help
  usage 0 out "$program" --version
  [ "$(cat "$work/out")" = "$version" ] || fail "$program --version is not $version"
  usage 2 err "$program" --bogus
  "$program" --help >/dev/full 2>/dev/null && fail "$program --help to a full device"
  [ "$( { "$program" --help >/dev/full; } 2>&1 >/dev/null | grep -c 'cannot write')" = 1 ] || fail "$program: no word of the failed write"
done
usage 2 err "$sandbox"
usage 2 err "$sandbox" bogus
usage 2 err "$sandbox" create
usage 2 err "$sandbox" list "$work/books.vtc" extra
usage 2 err "$sandbox" unregister extra
"$sandbox" list "$work/books.vtc" >/dev/full 2>/dev/null && fail "list to a full device"
"$sandbox" create "$work/full.vtc" >/dev/full 2>/dev/null && fail "create to a full device"

sockets="$work/sockets"
mkdir -m 0700 "$sockets"
usage 2 err "$daemon"
for bad in "--idle-exit abc" "--idle-exit 0" "--idle-exit 1.5" "--max-connections 0" "--max-connections many"; do
  # shellcheck disable=SC2086
  usage 2 err "$daemon" --socket "$sockets/s" $bad
done
usage 2 err "$daemon" --socket "$sockets/$(printf 'x%.0s' {1..120})"
usage 1 err "$daemon" --foreground --socket "$work/no/such/folder/s"
grep -q "cannot serve $work/no/such/folder/s" "$work/err" || fail "the daemon does not say which socket it cannot serve"
mkdir -m 0755 "$work/open"
usage 1 err "$daemon" --foreground --socket "$work/open/s"
grep -q "The folder $work/open is open to other users" "$work/err" || fail "the daemon does not say what is wrong with the folder"
# Without --foreground the failure goes to syslog and still to standard error.
usage 1 err "$daemon" --socket "$work/open/s"

# In the foreground it logs to standard error: its start and, on SIGTERM, its end.
"$daemon" --foreground --socket "$sockets/s" 2>"$work/log" &
pid=$!
for _ in $(seq 500); do [ -S "$sockets/s" ] && [ -s "$sockets/s.pid" ] && break; sleep 0.01; done
kill -TERM "$pid"
wait "$pid" || fail "the daemon did not leave cleanly on SIGTERM"
grep -q "info: serving $sockets/s" "$work/log" || fail "the daemon did not log its start"
grep -q "info: leaving on a signal" "$work/log" || fail "the daemon did not log its end"
[ ! -e "$sockets/s" ] || fail "the daemon left its socket behind"
# Connection tickets of the online gateway: issued on standard output, revoked, an unknown one
# refused with a word on standard error.
"$sandbox" create "$work/online.vtc" > /dev/null
ticket=$("$sandbox" ticket "$work/online.vtc" --login alice)
[[ "$ticket" =~ ^TGT-[0-9A-F-]{36}$ ]] || fail "ticket printed \"$ticket\""
[ "$("$sandbox" ticket "$work/online.vtc" --login alice)" != "$ticket" ] || fail "two tickets alike"
revoked=$("$sandbox" ticket "$work/online.vtc" --login alice)
said=$("$sandbox" ticket "$work/online.vtc" --revoke "$revoked") && grep -q "revoked $revoked" <<<"$said" || fail "revoke"
usage 1 err "$sandbox" ticket "$work/online.vtc" --revoke TGT-NONE
grep -q "TGT-NONE" "$work/err" || fail "the unknown ticket is not named"
usage 1 err "$sandbox" ticket "$work/missing.vtc" --login alice
usage 2 err "$sandbox" ticket "$work/online.vtc"
usage 2 err "$sandbox" ticket "$work/online.vtc" --login alice --revoke "$ticket"
usage 2 err "$sandbox" ticket "$work/online.vtc" --login ""
for bad in "--listen nowhere" "--listen 127.0.0.1:99999" "--listen ::1:80" "--cert $work/x.crt" \
           "--session-minutes 0" "--max-body 0"; do
  # shellcheck disable=SC2086
  usage 2 err "$sandbox" serve "$work/online.vtc" $bad
done
usage 1 err "$sandbox" serve "$work/north.vtc" --listen 127.0.0.1:0
grep -q "US company files only" "$work/err" || fail "serving a CA company file: no word why"

# The gateway: it says where it serves and with which certificate, answers a sign-on by HTTPS,
# tells the subscribers of what it books (here a listener at a URL), and leaves cleanly on
# SIGTERM.
export VTFC4_SANDBOX_SUBSCRIPTIONS="$work/subscriptions.db"
python3 - "$work/posted" "$work/listener.port" <<'PY' &
import http.server, sys
class Listener(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        body = self.rfile.read(int(self.headers["content-length"]))
        with open(sys.argv[1], "ab") as f:
            f.write(body)
        self.send_response(200)
        self.end_headers()
    def log_message(self, *args):
        pass
server = http.server.HTTPServer(("127.0.0.1", 0), Listener)
with open(sys.argv[2], "w") as f:
    f.write(str(server.server_port))
server.serve_forever()
PY
listener=$!
trap 'kill "$listener" 2> /dev/null || true; rm -rf "$work"' EXIT
for _ in $(seq 500); do [ -s "$work/listener.port" ] && break; sleep 0.01; done
printf '<?xml version="1.0" ?><?vtxml version="4.0"?><VTXML><VTXMLSubscriptionMsgsRq>
<DataEventSubscriptionAddRq><DataEventSubscriptionAdd><SubscriberID>{5A1F0C3E-2B4D-4E6F-8A9B-0C1D2E3F4A5B}</SubscriberID>
<HTTPCallbackInfo><AppName>Listener</AppName><URL>http://127.0.0.1:%s/events</URL></HTTPCallbackInfo>
<DeliveryPolicy>DeliverAlways</DeliveryPolicy><ListEventSubscription><ListEventType>Customer</ListEventType>
<ListEventOperation>Add</ListEventOperation></ListEventSubscription></DataEventSubscriptionAdd></DataEventSubscriptionAddRq>
</VTXMLSubscriptionMsgsRq></VTXML>' "$(cat "$work/listener.port")" | "$sandbox" subscribe - > "$work/out"
grep -q 'statusCode="0"' "$work/out" || fail "the listener's subscription: $(cat "$work/out")"
"$sandbox" serve "$work/online.vtc" --listen 127.0.0.1:0 >"$work/serve.out" 2>"$work/serve.err" &
server=$!
for _ in $(seq 500); do grep -q '^certificate: ' "$work/serve.out" && break; sleep 0.01; done
url=$(sed -n 's/^serving \(https:.*\)$/\1/p' "$work/serve.out")
certificate=$(sed -n 's/^certificate: //p' "$work/serve.out")
[[ "$url" =~ ^https://127\.0\.0\.1:[1-9][0-9]*/j/AppGateway$ ]] || fail "serve printed \"$url\""
[ "$certificate" = "$work/online.vtc.gateway.crt" ] && [ -s "$certificate" ] || fail "serve's certificate \"$certificate\""
[ "$(stat -c %a "$work/online.vtc.gateway.key")" = 600 ] || fail "the gateway's key is open to others"
if command -v curl > /dev/null; then
  document() {
    printf '<?xml version="1.0" ?>\r\n<!DOCTYPE VTXML PUBLIC '\''-//KORVEN//DTD VTXML VT0 4.0//EN'\'' '\''http://gateway.vtoe.korven.example/dtds/vtxmlops20.dtd'\''>\r\n'
    printf '<VTXML>\r\n<SignonMsgsRq>\r\n<SignonDesktopRq>\r\n<ClientDateTime>2026-12-06T10:11:12</ClientDateTime>\r\n'
    printf '<ApplicationLogin>alice</ApplicationLogin>\r\n<ConnectionTicket>%s</ConnectionTicket>\r\n' "$1"
    printf '<Language>English</Language>\r\n<AppID>123</AppID>\r\n<AppVer>1</AppVer>\r\n</SignonDesktopRq>\r\n</SignonMsgsRq>\r\n'
    printf '<VTXMLMsgsRq onError="stopOnError">\r\n<CustomerAddRq requestID="1">\r\n<CustomerAdd>\r\n<Name>%s</Name>\r\n'  "$2"
    printf '</CustomerAdd>\r\n</CustomerAddRq>\r\n</VTXMLMsgsRq>\r\n</VTXML>\r\n'
  }
  post() {
    curl -sS --cacert "$certificate" -H "content-type: $1" -H 'Accept: application/x-vtxml, text/*' -A VTFC \
         --data-binary @- -o "$work/answer" -w '%{http_code}' "$url"
  }
  [ "$(document "$ticket" Ames | post application/x-vtxml)" = 200 ] || fail "the gateway did not answer a sign-on"
  grep -q '<SignonDesktopRs statusCode="0"' "$work/answer" || fail "the desktop sign-on failed: $(cat "$work/answer")"
  grep -q '<CustomerAddRs requestID="1" statusCode="0"' "$work/answer" || fail "the customer was not added"
  for _ in $(seq 500); do grep -q '<ListEventOperation>Add</ListEventOperation>' "$work/posted" 2> /dev/null && break; sleep 0.01; done
  grep -q '<ListEventType>Customer</ListEventType>' "$work/posted" || fail "the listener was not told of the gateway's add"
  [ "$(document "$revoked" Roof | post application/x-vtxml)" = 200 ] || fail "a revoked ticket is a sign-on's answer"
  grep -q '<SignonDesktopRs statusCode="2021"' "$work/answer" || fail "a revoked ticket signed on: $(cat "$work/answer")"
  [ "$(document "$ticket" Roof | post text/xml)" = 415 ] || fail "text/xml was taken"
  listing=$("$sandbox" list "$work/online.vtc")
  grep -q '^Customer .*"Ames"' <<<"$listing" || fail "the customer the gateway added is not in the file"
  grep -q '"Roof"' <<<"$listing" && fail "a refused sign-on booked"
else
  echo "curl is not installed: the gateway's answers are not checked here (the gateway tests check them)"
fi
kill -TERM "$server"
status=0; wait "$server" || status=$?
[ "$status" = 0 ] || fail "the gateway left with $status on SIGTERM: $(cat "$work/serve.err")"
[ ! -s "$work/serve.err" ] || fail "the gateway wrote to stderr: $(cat "$work/serve.err")"

# Subscriptions from a document, and a user's click on a menu item delivered to the subscribers of
# its event tag (the example subscriber writes what it is told to its log).
export VTFC4_SANDBOX_SUBSCRIPTIONS="$work/subscriptions.db" VTFC4_SUBSCRIBER_LOG="$work/events.log"
usage 2 err "$sandbox" click "$work/books.vtc"
usage 2 err "$sandbox" click "$work/missing.vtc" statement
usage 2 err "$sandbox" subscribe
usage 1 err "$sandbox" click "$work/books.vtc" statement
grep -q 'no UI extension subscription has a menu item with the event tag "statement"' "$work/err" \
  || fail "a click nobody subscribed to does not say so: $(cat "$work/err")"
printf '<?vtxml version="4.0"?><VTXML><VTXMLMsgsRq/></VTXML>' > "$work/wrong.xml"
usage 1 err "$sandbox" subscribe "$work/wrong.xml"
grep -q 'VTXMLSubscriptionMsgsRq' "$work/err" || fail "a document of ordinary requests is not refused by name"
printf '%s' '<?xml version="1.0" ?><?vtxml version="4.0"?><VTXML><VTXMLSubscriptionMsgsRq>
<UIExtensionSubscriptionAddRq requestID="1"><UIExtensionSubscriptionAdd>
<SubscriberID>{0E1D4C2A-93B5-4F7E-8A61-2C3D4E5F6A7B}</SubscriberID>
<COMCallbackInfo><AppName>Statements</AppName><ProgID>VtFC4.ExampleSubscriber</ProgID></COMCallbackInfo>
<MenuExtensionSubscription><AddToMenu>Customers</AddToMenu><Submenu><MenuText>Statements</MenuText>
<MenuItem><MenuText>Send statement</MenuText><EventTag>statement</EventTag></MenuItem>
<MenuItem><MenuText>Print statement</MenuText><EventTag>print</EventTag></MenuItem></Submenu>
</MenuExtensionSubscription></UIExtensionSubscriptionAdd></UIExtensionSubscriptionAddRq>
</VTXMLSubscriptionMsgsRq></VTXML>' | "$sandbox" subscribe - > "$work/out" || fail "subscribe from standard input"
grep -q '<UIExtensionSubscriptionAddRs requestID="1" statusCode="0"' "$work/out" || fail "the subscription: $(cat "$work/out")"
[ -s "$work/subscriptions.db" ] || fail "the store is not where VTFC4_SANDBOX_SUBSCRIPTIONS names it"
if [ -n "${3:-}" ] && [ -n "${4:-}" ]; then
  regsvr="$3"; subscriber="$4"
  usage 1 err "$sandbox" click "$work/books.vtc" statement
  grep -q 'was not told: the class VtFC4.ExampleSubscriber is not registered' "$work/err" \
    || fail "a subscriber that is not registered: $(cat "$work/err")"
  "$regsvr" "$subscriber" > /dev/null || fail "the example subscriber does not register"
  grep -q "VtFC4.ExampleSubscriber" "$VTFC4_REGISTRY" || fail "the example subscriber's ProgID is not registered"
  usage 0 out "$sandbox" click "$work/books.vtc" statement
  grep -q 'told {0E1D4C2A-93B5-4F7E-8A61-2C3D4E5F6A7B} (Statements)' "$work/out" || fail "click: $(cat "$work/out")"
  grep -q "<UIExtensionEvent>" "$work/events.log" || fail "no UI extension event was delivered"
  grep -q "<CompanyFilePath>$work/books.vtc</CompanyFilePath>" "$work/events.log" || fail "the event names no company file"
  grep -q "<EventTag>statement</EventTag>" "$work/events.log" || fail "the event has not its tag"
  [ "$(grep -c '<UIExtensionEvent>' "$work/events.log")" = 1 ] || fail "one click told more than once"
  usage 1 err "$sandbox" click "$work/books.vtc" Statement
  [ "$(grep -c '<UIExtensionEvent>' "$work/events.log")" = 1 ] || fail "a tag of another case was told"
else
  echo "the example subscriber is not built: clicks are not delivered here"
fi

echo "vtfc4-sandbox and vtfc4-sandboxd: all checks passed"
