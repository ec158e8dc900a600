#!/usr/bin/env bash
# DNS through the tunnel. dnsmasq in the server namespace is the upstream the
# server announces (on its outside address) and the server's own forwarder
# (on loopback). vantud rewrites the client's resolv.conf to the virtual
# resolver address; the provider answers from the upstream over its marked
# outside socket, and when the upstream is cut off the query falls back into
# the tunnel, where vantu-server's forwarder answers it. Then the learned
# direct routes of a direct domain (from the upstream's answer and from the
# fallback's, never from a DNS packet nobody asked for), and their cache
# across a restart.
set -euo pipefail
. "$(dirname "$0")/lib.sh"
e2e_init "$@"
for tool in dnsmasq dig getent python3; do
  command -v "$tool" >/dev/null || fail "this needs '$tool' (scripts/setup.sh installs it)"
done

VIRTUAL_DNS=100.100.100.100
DIRECT_ANSWER=198.51.100.7
# Asked while the upstream is cut off: the server's forwarder answers it.
FALLBACK_DIRECT_ANSWER=198.18.0.7
TOPO_DNS_UPSTREAM=$TOPO_SERVER_OUTSIDE_ADDR
TOPO_SERVER_EXTRA_JSON='"dns_forwarder": "127.0.0.1:53",
  "routing": {"client_route_learning_enabled": true, "direct_domains": ["direct.vantu.test"]}'

topo_in_server dnsmasq --keep-in-foreground --conf-file=/dev/null --no-resolv --no-hosts --user=root \
  --bind-interfaces --listen-address="$TOPO_SERVER_OUTSIDE_ADDR" --listen-address=127.0.0.1 \
  --address=/vantu.test/"$TOPO_WEB_ADDR" --address=/direct.vantu.test/"$DIRECT_ANSWER" \
  --address=/fallback.direct.vantu.test/"$FALLBACK_DIRECT_ANSWER" \
  --log-queries --log-facility="$TOPO_RUN_DIR/dnsmasq.log" --pid-file= \
  >"$TOPO_RUN_DIR/dnsmasq.out" 2>&1 &
for _ in $(seq 50); do
  grep -q "query\|started" "$TOPO_RUN_DIR/dnsmasq.log" 2>/dev/null && break
  sleep 0.1
done
grep -qx "$TOPO_WEB_ADDR" <<<"$(topo_in_server dig +short +time=1 +tries=1 @127.0.0.1 up.vantu.test)" ||
  fail "dnsmasq does not answer: $(cat "$TOPO_RUN_DIR/dnsmasq.out" "$TOPO_RUN_DIR/dnsmasq.log" 2>/dev/null)"

e2e_start_tunnel
grep -qx "nameserver $VIRTUAL_DNS" "$TOPO_RUN_DIR/client-resolv.conf" ||
  fail "resolv.conf does not name $VIRTUAL_DNS: $(cat "$TOPO_RUN_DIR/client-resolv.conf")"
ok "the client's resolv.conf names the virtual resolver $VIRTUAL_DNS"

# dns_counter NAME: a counter of the report's "dns servers=..." line.
dns_line() { grep -m1 '^dns servers=' <<<"$(topo_vantuctl "$E2E_BUILD" report)"; }
dns_counter() { dns_line | tr ' ' '\n' | sed -n "s/^$1=//p"; }

queries0=$(dns_counter queries)
responses0=$(dns_counter responses)
grep -q "servers=$TOPO_DNS_UPSTREAM " <<<"$(dns_line)" || fail "the report names other DNS servers: $(dns_line)"

answer=$(topo_in_client timeout 5 getent hosts web.vantu.test) || fail "getent hosts web.vantu.test got no answer"
[ "$(awk '{print $1}' <<<"$answer")" = "$TOPO_WEB_ADDR" ] || fail "getent answered: $answer"
answer=$(topo_in_client dig +short +time=2 +tries=1 www.vantu.test A)
[ "$answer" = "$TOPO_WEB_ADDR" ] || fail "dig www.vantu.test answered: '$answer'"
# Error answers come back as they are: dnsmasq, with no upstream of its own,
# refuses names outside its zones.
refused=$(topo_in_client dig +time=2 +tries=1 nothing.invalid A | grep -o 'status: [A-Z]*')
[ "$refused" = "status: REFUSED" ] || fail "a name dnsmasq does not know: '$refused'"
ok "getent and dig resolve through the system resolver ($answer)"

queries1=$(dns_counter queries)
responses1=$(dns_counter responses)
[ "$queries1" -ge $((queries0 + 3)) ] && [ "$responses1" -ge $((responses0 + 3)) ] ||
  fail "the provider's counters did not grow by 3: queries $queries0 -> $queries1, responses $responses0 -> $responses1"
# The provider asked from the client's own outside address: the marked socket.
grep -q "query\[A\] www.vantu.test from $TOPO_CLIENT_ADDR" "$TOPO_RUN_DIR/dnsmasq.log" ||
  fail "dnsmasq did not see the client's outside address asking: $(tail -n 5 "$TOPO_RUN_DIR/dnsmasq.log")"
ok "the provider answered (queries $queries0 -> $queries1, responses $responses0 -> $responses1), asking the upstream from $TOPO_CLIENT_ADDR"

# The upstream unreachable from the client: the provider gives up after 3 s and
# the query goes into the tunnel, where the server's forwarder answers it.
cut_upstream() {
  topo_in_server nft -f - <<NFT
table ip vantu_dns_e2e {
  chain input {
    type filter hook input priority 0; policy accept;
    iifname "vs0" udp dport 53 counter drop
  }
}
NFT
}
cut_upstream
fallbacks0=$(dns_counter fallbacks)
started=$(date +%s%N)
answer=$(topo_in_client dig +short +time=8 +tries=1 fallback.vantu.test A)
elapsed_ms=$((($(date +%s%N) - started) / 1000000))
[ "$answer" = "$TOPO_WEB_ADDR" ] || fail "no answer with the upstream cut off: '$answer'"
fallbacks1=$(dns_counter fallbacks)
[ "$fallbacks1" -gt "$fallbacks0" ] || fail "the fallbacks counter did not grow: $(dns_line)"
[ "$elapsed_ms" -lt 6000 ] || fail "the fallback answer took $elapsed_ms ms (3 s upstream timeout + at most 3 s)"
grep -q "query\[A\] fallback.vantu.test from 127.0.0.1" "$TOPO_RUN_DIR/dnsmasq.log" ||
  fail "the server's forwarder did not ask dnsmasq: $(tail -n 5 "$TOPO_RUN_DIR/dnsmasq.log")"
ok "with the upstream dropped, the answer came through the tunnel from the server's forwarder in $elapsed_ms ms ($(dns_line))"
topo_in_server nft delete table ip vantu_dns_e2e

e2e_stop_client
e2e_assert_client_clean
grep -qx "nameserver $TOPO_WEB_ADDR" "$TOPO_RUN_DIR/client-resolv.conf" ||
  fail "resolv.conf was not restored: $(cat "$TOPO_RUN_DIR/client-resolv.conf")"
ok "stopping restored resolv.conf"

# Learned direct routes: an answer for a direct domain of the server's policy
# joins the route cache, which the next start loads.
routes_cached() { sed -n 's/^routes cached=\([0-9]*\)\/.*/\1/p' <<<"$(topo_vantuctl "$E2E_BUILD" report)" | sed -n 1p; }
TOPO_CLIENT_DIRECT_CORE=true
topo_start_client "$E2E_BUILD"
topo_wait_applied "$E2E_BUILD" 30 || fail "the tunnel did not come up with the direct core enabled"

# A DNS answer nobody asked for, sent into the tunnel from port 53 of the
# server's own tunnel address (as another client of the server, or any host
# behind it, can): it claims the direct domain at 1.1.1.1. It reaches the
# client as it was sent and teaches nothing.
tunnel_ip=$(topo_in_client ip -4 -o addr show dev "$TOPO_CLIENT_TUN" | awk '{print $4}' | cut -d/ -f1)
topo_in_client timeout 8 python3 -c '
import socket
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("0.0.0.0", 40053))
s.settimeout(6)
print(s.recv(2048).hex())' >"$TOPO_RUN_DIR/unsolicited.got" 2>&1 &
listener=$!
sleep 0.5
sent=$(topo_in_server python3 - "$tunnel_ip" <<'PY'
import socket, struct, sys
name = b"".join(bytes([len(l)]) + l for l in b"cdn.direct.vantu.test".split(b".")) + b"\0"
message = (struct.pack(">6H", 0x4242, 0x8180, 1, 1, 0, 0) + name + struct.pack(">HH", 1, 1) +
           b"\xc0\x0c" + struct.pack(">HHIH", 1, 1, 60, 4) + bytes([1, 1, 1, 1]))
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind((sys.argv[1].rsplit(".", 1)[0] + ".1", 53))
s.sendto(message, (sys.argv[1], 40053))
print(message.hex())
PY
)
wait "$listener" || fail "the unsolicited answer did not reach the client: $(cat "$TOPO_RUN_DIR/unsolicited.got")"
[ "$(cat "$TOPO_RUN_DIR/unsolicited.got")" = "$sent" ] ||
  fail "the unsolicited answer arrived changed: $(cat "$TOPO_RUN_DIR/unsolicited.got")"
[ "$(routes_cached)" = 0 ] ||
  fail "an unsolicited answer taught a route: $(topo_vantuctl "$E2E_BUILD" report | grep -m1 '^routes cached=')"
ok "an answer nobody asked for reached $tunnel_ip:40053 unchanged and taught nothing"

answer=$(topo_in_client dig +short +time=2 +tries=1 cdn.direct.vantu.test A)
[ "$answer" = "$DIRECT_ANSWER" ] || fail "dig cdn.direct.vantu.test answered: '$answer'"
cached=0
for _ in $(seq 20); do
  cached=$(routes_cached)
  [ "${cached:-0}" -gt 0 ] && break
  sleep 0.1
done
[ "${cached:-0}" -gt 0 ] || fail "no learned route after a direct domain's answer: $(topo_vantuctl "$E2E_BUILD" report | grep -m1 '^routes cached=')"
ok "a direct domain's answer was learned: routes cached=$cached"

# The fallback's own query: its answer from the tunnel teaches.
cut_upstream
answer=$(topo_in_client dig +short +time=8 +tries=1 fallback.direct.vantu.test A)
topo_in_server nft delete table ip vantu_dns_e2e
[ "$answer" = "$FALLBACK_DIRECT_ANSWER" ] || fail "dig fallback.direct.vantu.test answered: '$answer'"
[ "$(routes_cached)" -eq $((cached + 1)) ] ||
  fail "the fallback's answer taught nothing: $(topo_vantuctl "$E2E_BUILD" report | grep -m1 '^routes cached=')"
cached=$((cached + 1))
ok "the answer to the fallback's query through the tunnel was learned: routes cached=$cached"

e2e_stop_client
topo_start_client "$E2E_BUILD"
topo_wait_applied "$E2E_BUILD" 30 || fail "the tunnel did not come up again"
loaded=$(sed -n 's/.*loaded \([0-9]*\) cached DNS learned direct route(s).*/\1/p' "$TOPO_RUN_DIR/vantud.err" | tail -n 1)
[ "${loaded:-0}" -eq "$cached" ] || fail "the restart loaded '${loaded}' cached routes, not $cached: $(grep -i cached "$TOPO_RUN_DIR/vantud.err")"
[ "$(routes_cached)" -eq "$cached" ] || fail "after the restart: $(topo_vantuctl "$E2E_BUILD" report | grep -m1 '^routes cached=')"
ok "after a restart vantud loaded $loaded cached DNS learned direct route(s)"

e2e_stop_client
e2e_assert_client_clean
ok "DNS through the tunnel"
