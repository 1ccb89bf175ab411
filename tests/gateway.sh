# Sourced by the checks that talk to the online edition. start_gateway SANDBOX COMPANY LOG runs
# the sandbox's gateway for COMPANY on a free loopback port, its output in LOG, and sets
# gateway (its process), gateway_url (https://127.0.0.1:PORT/j/AppGateway) and gateway_cert
# (the certificate to trust). The caller stops it (kill "$gateway").
start_gateway() {
  "$1" serve "$2" --listen 127.0.0.1:0 > "$3" &
  gateway=$!
  for _ in $(seq 100); do
    grep -q '^certificate: ' "$3" && break
    if ! kill -0 "$gateway" 2> /dev/null; then
      echo "FAIL: the gateway did not start: $(cat "$3")" >&2
      exit 1
    fi
    sleep 0.1
  done
  gateway_url=$(sed -n 's|^serving \(https://.*\)$|\1|p' "$3")
  gateway_cert=$(sed -n 's|^certificate: ||p' "$3")
}
