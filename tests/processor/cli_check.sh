#!/usr/bin/env bash
# The sandbox's commands as Unix tools: vtfc4-sandbox (create, list, register, unregister) and
# the daemon vtfc4-sandboxd beside it: help and version on standard output, usage errors with
# exit 2, failures with exit 1 (standard output that cannot be written included).
set -euo pipefail
sandbox="$1"
module="$2"
daemon="$(dirname "$sandbox")/vtfc4-sandboxd"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export VTFC4_REGISTRY="$work/config/registry"
fail() { echo "FAIL: $*" >&2; exit 1; }

"$sandbox" create "$work/books.vtc" | grep -q "created company file" || fail "create"
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

"$sandbox" register "$module" | grep -q "registered $module" || fail "register"
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
echo "vtfc4-sandbox and vtfc4-sandboxd: all checks passed"
