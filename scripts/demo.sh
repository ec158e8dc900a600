#!/usr/bin/env bash
# `make demo`: a client, a server and a web host in three network namespaces.
# vantud in the client sends everything through the tunnel to vantu-server,
# which forwards it (masqueraded) to the web host. Shows ping, an HTTP
# request and a name lookup through the tunnel, where the packets went, and
# `vantuctl status` beside vantuctl's full report, then removes everything it
# created. The control exchange runs over TLS with a certificate made at the
# start, and a capture of the control port shows that neither the secret nor
# the session key crossed the wire in clear text.
#
# Usage: scripts/demo.sh BUILD_DIR     (as root: sudo make demo)
set -euo pipefail

BUILD=${1:-build/release}
HERE=$(cd "$(dirname "$0")" && pwd)
BUILD=$(cd "$BUILD" 2>/dev/null && pwd) || { echo "demo: build directory $1 not found; run make first" >&2; exit 1; }

if [ "$(id -u)" -ne 0 ]; then
  cat >&2 <<EOF
The demo needs root: it creates network namespaces, veth pairs and TUN devices
(and removes them again when it ends). Run it as:

    sudo make demo
EOF
  exit 1
fi
for program in vantud vantuctl vantu-server; do
  [ -x "$BUILD/$program" ] || { echo "demo: $BUILD/$program is missing; run make first" >&2; exit 1; }
done

# shellcheck source=netns-topology.sh
. "$HERE/netns-topology.sh"
topo_require_root

cleanup() {
  local status=$?
  trap - EXIT INT TERM
  if [ -n "${capture_pid:-}" ]; then kill -TERM "$capture_pid" 2>/dev/null || true; fi
  echo
  echo "== cleaning up: stopping vantud, vantu-server and the web server, removing the namespaces"
  topo_down
  exit $status
}
trap cleanup EXIT INT TERM

step() { printf '\n== %s\n' "$*"; }
show() { printf '$ %s\n' "$*"; "$@"; }

step "topology: $TOPO_NS_CLIENT ($TOPO_CLIENT_ADDR) -> $TOPO_NS_SERVER ($TOPO_SERVER_OUTSIDE_ADDR | $TOPO_SERVER_INSIDE_ADDR) -> $TOPO_NS_WEB ($TOPO_WEB_ADDR)"
topo_up
topo_start_web
echo "web server: http://$TOPO_WEB_ADDR:$TOPO_WEB_PORT/ in $TOPO_NS_WEB"

step "a self-signed certificate for the control port; the client pins its SHA-256"
show openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1 -subj /CN=vantu-demo \
  -addext "subjectAltName=IP:$TOPO_SERVER_OUTSIDE_ADDR" \
  -keyout "$TOPO_RUN_DIR/control.key" -out "$TOPO_RUN_DIR/control.crt" 2>/dev/null
fingerprint=$(openssl x509 -in "$TOPO_RUN_DIR/control.crt" -noout -fingerprint -sha256 | sed 's/^.*=//')
echo "fingerprint: $fingerprint"
TOPO_SERVER_EXTRA_JSON="\"control_tls_certificate\": \"$TOPO_RUN_DIR/control.crt\", \"control_tls_key\": \"$TOPO_RUN_DIR/control.key\""
TOPO_CLIENT_EXTRA_JSON="\"serverCertificateSHA256\": \"$fingerprint\""

step "vantu-server in $TOPO_NS_SERVER (TUN sink $TOPO_SERVER_TUN, tunnel $TOPO_TUNNEL_SUBNET, control over TLS)"
topo_start_server "$BUILD"
sed 's/^/  server: /' "$TOPO_RUN_DIR/server.log"

# Everything on the control port from here on, as anyone on the path would see it.
capture=$TOPO_RUN_DIR/control.pcap
# Started directly, not through a function, so that $! is tcpdump itself.
# --immediate-mode: libpcap would otherwise hold packets in the kernel's
# ring until a block fills or its timeout passes, and the capture would end
# before they reached the file. -U writes each one as it comes.
ip netns exec "$TOPO_NS_CLIENT" tcpdump -i vc0 --immediate-mode -U -n -Z root -w "$capture" \
  "tcp port $TOPO_SERVER_PORT" 2>"$TOPO_RUN_DIR/tcpdump.err" &
capture_pid=$!
for _ in $(seq 50); do grep -q listening "$TOPO_RUN_DIR/tcpdump.err" && break; sleep 0.1; done

step "vantud pinning another certificate: the start fails before the secret is sent"
TOPO_CLIENT_EXTRA_JSON="\"serverCertificateSHA256\": \"$(printf '00:%.0s' $(seq 31))00\""
topo_start_client "$BUILD"
if topo_wait_exit "$TOPO_CLIENT_PID" 20; then
  echo "vantud exited with status $TOPO_EXIT_STATUS:"
else
  echo "vantud is still running after 20 s" >&2
  exit 1
fi
grep -m1 'certificate mismatch' "$TOPO_RUN_DIR/vantud.err" | sed 's/^/  /' || {
  echo "demo: no certificate mismatch reported" >&2
  sed 's/^/  vantud: /' "$TOPO_RUN_DIR/vantud.err" >&2
  exit 1
}
TOPO_CLIENT_EXTRA_JSON="\"serverCertificateSHA256\": \"$fingerprint\""

step "vantud in $TOPO_NS_CLIENT (TUN $TOPO_CLIENT_TUN, DNS mode resolvconf)"
started=$(date +%s%N)
topo_start_client "$BUILD"
topo_wait_applied "$BUILD" 30
ready=$(date +%s%N)
echo "tunnel up $(((ready - started) / 1000000)) ms after vantud started (as polled through vantuctl)"

step "the control exchange on the wire (tcpdump on vc0, tcp port $TOPO_SERVER_PORT)"
# Both control connections (the refused one and the one that started the
# tunnel) have ended by now; the capture is stopped once it holds a closing
# segment (FIN or reset) of each, rather than after a guessed pause.
closed_connections() {
  topo_in_client tcpdump -r "$capture" -n 2>/dev/null |
    awk -v port="$TOPO_SERVER_PORT" '/Flags \[[^]]*[FR]/ {
      a = $3; b = $5; sub(/:$/, "", b)
      c = (a ~ "[.]" port "$") ? b : a
      seen[c] = 1
    } END { print length(seen) }'
}
for _ in $(seq 100); do
  [ "$(closed_connections)" -ge 2 ] && break
  sleep 0.1
done
# SIGTERM: a background job of a script ignores SIGINT.
kill -TERM "$capture_pid"
wait "$capture_pid" 2>/dev/null || true
capture_pid=
payload_segments=$(topo_in_client tcpdump -r "$capture" -n 2>/dev/null | grep -c 'length [1-9]' || true)
echo "$payload_segments segments with payload captured"
# The response carries the key as the value of "session_key"; in clear text
# the field name would be there too, whatever key the server drew.
wire_ok=1
for clear in "$TOPO_SECRET" '"secret"' '"session_key"' '"status"'; do
  if grep -aqF -- "$clear" "$capture"; then
    echo "  FOUND in clear: $clear"
    wire_ok=0
  else
    echo "  not in the capture: $clear"
  fi
done
if [ $wire_ok -eq 1 ] && [ "$payload_segments" -gt 0 ]; then
  echo "the control exchange was on the wire, and neither the secret nor the session key in clear text"
else
  echo "demo: the control exchange was readable on the wire" >&2
  exit 1
fi

step "the client's routing: policy rules, the tunnel table, the resolver"
show topo_in_client ip rule
show topo_in_client ip route show table 7373
show topo_in_client ip -brief addr show dev "$TOPO_CLIENT_TUN"
show topo_in_client cat /etc/resolv.conf

step "through the tunnel"
tun_before=$(topo_in_server cat "/sys/class/net/$TOPO_SERVER_TUN/statistics/rx_packets")
show topo_in_client ping -c 3 "$TOPO_WEB_ADDR"
echo
show topo_in_client curl -sS -m 10 "http://$TOPO_WEB_ADDR:$TOPO_WEB_PORT/"
tun_after=$(topo_in_server cat "/sys/class/net/$TOPO_SERVER_TUN/statistics/rx_packets")

step "a name through the tunnel's resolver"
echo "the system resolver asks $(awk '/^nameserver/ { print $2; exit }' "$TOPO_RUN_DIR/client-resolv.conf") (routed into $TOPO_CLIENT_TUN, assigned nowhere);"
echo "vantud answers it by asking the tunnel's DNS server $TOPO_WEB_ADDR from outside the tunnel"
show topo_in_client timeout 5 getent hosts web.vantu.test || echo "no answer within 5 s"
show topo_in_client dig +short +time=2 +tries=1 www.vantu.test || echo "no answer"
echo "the DNS server's log (who asked):"
tail -n 3 "$TOPO_RUN_DIR/dns.log" | sed 's/^/  dns server: /'
echo "vantuctl's DNS counters:"
grep -m1 '^dns servers=' <<<"$(topo_vantuctl "$BUILD" report)" | sed 's/^/  /'

step "proof of the path"
echo "packets the server took out of the tunnel into $TOPO_SERVER_TUN meanwhile: $((tun_after - tun_before))"
echo "the web server saw the request from the server's masquerade address $TOPO_SERVER_INSIDE_ADDR,"
echo "not from the client's own $TOPO_CLIENT_ADDR:"
grep 'GET /' "$TOPO_RUN_DIR/web.log" | sed 's/^/  web: /'
show topo_in_server nft list table ip vantu_topology

step "vantuctl status (the tunnel at a glance)"
topo_vantuctl "$BUILD" status

step "vantuctl report (the daemon's full diagnostics report)"
topo_vantuctl "$BUILD" report

step "stopping vantud with SIGTERM"
kill -TERM "$TOPO_CLIENT_PID"
if topo_wait_exit "$TOPO_CLIENT_PID" 20; then
  echo "vantud exited with status $TOPO_EXIT_STATUS"
else
  echo "vantud is still running after 20 s"
fi
echo "rules left in $TOPO_NS_CLIENT:"
topo_in_client ip rule | sed 's/^/  /'
echo "vantuctl status with vantud gone (from the saved state):"
topo_vantuctl "$BUILD" status | sed 's/^/  /' || true
echo "resolv.conf of $TOPO_NS_CLIENT is back to:"
sed 's/^/  /' "$TOPO_RUN_DIR/client-resolv.conf"
