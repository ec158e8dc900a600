#!/usr/bin/env bash
# The tunnel carries IPv4 only; while it is up, IPv6 from the client must not
# leave outside it. The client namespace gets IPv6 to the web host through
# the server (a plain router for IPv6). Before the tunnel curl -6 reaches the
# web host; with the tunnel up it fails at once (no route to host, not a
# timeout) and no IPv6 packet other than link-local leaves the outside veth,
# while link-local and loopback IPv6 keep working; after the stop IPv6 works
# again. (What a vantud killed with SIGKILL leaves, IPv6 rules included, is
# test_crash_cleanup.sh's.)
set -euo pipefail
. "$(dirname "$0")/lib.sh"
e2e_init "$@"
topo_start_web
topo_add_ipv6 || fail "no IPv6 in the topology"
web6="http://[$TOPO_WEB_ADDR6]:$TOPO_WEB_PORT/"

grep -q hello <<<"$(topo_in_client curl -6 -sS -m 5 "$web6")" || fail "no IPv6 path to the web host before the tunnel"
ok "curl -6 reaches the web host before the tunnel"

# IPv6 packets on the outside veth, link-local ones (and link-scope
# multicast, which neighbour discovery uses) apart.
topo_in_client nft -f - <<NFT
table ip6 vantu_e2e6 {
  counter routed { }
  chain postrouting {
    type filter hook postrouting priority 0; policy accept;
    oifname "vc0" ip6 daddr != { fe80::/10, ff02::/16 } counter name routed
  }
}
NFT
routed() { topo_in_client nft list counter ip6 vantu_e2e6 routed | awk '/packets/ { for (i = 1; i <= NF; i++) if ($i == "packets") print $(i + 1) }'; }
routed_before=$(routed)

topo_start_server "$E2E_BUILD"
topo_start_client "$E2E_BUILD"
topo_wait_applied "$E2E_BUILD" 30 || fail "the tunnel did not come up"
grep -q '^unreachable default' <<<"$(topo_in_client ip -6 route show table 7373)" ||
  fail "no unreachable IPv6 default in table 7373: $(topo_in_client ip -6 route show table 7373)"

start=$(date +%s%N)
set +e
out=$(topo_in_client curl -6 -sS -m 10 "$web6" 2>&1)
status=$?
set -e
elapsed_ms=$((($(date +%s%N) - start) / 1000000))
[ $status -ne 0 ] || fail "curl -6 reached the web host with the tunnel up: $out"
[ $elapsed_ms -lt 2000 ] || fail "curl -6 took ${elapsed_ms} ms to fail: a timeout, not an immediate refusal ($out)"
grep -qi 'unreachable\|couldn.t connect' <<<"$out" || fail "curl -6 failed otherwise: $out"
set +e
ping_out=$(topo_in_client ping -6 -c 1 -W 3 "$TOPO_WEB_ADDR6" 2>&1)
set -e
# An unreachable IPv6 route answers EHOSTUNREACH.
grep -qi 'unreachable\|no route to host' <<<"$ping_out" || fail "ping -6 was not refused at once: $ping_out"
ok "curl -6 fails in ${elapsed_ms} ms with the tunnel up ($(head -n 1 <<<"$out"))"

# Link-local and loopback IPv6 still work.
server_ll=$(topo_in_server ip -6 -o addr show dev vs0 scope link | awk '{ sub("/.*", "", $4); print $4 }')
[ -n "$server_ll" ] || fail "the server's veth has no link-local address"
topo_in_client ping -6 -c 1 -W 2 "$server_ll%vc0" >/dev/null || fail "link-local ping to $server_ll failed with the tunnel up"
topo_in_client ping -6 -c 1 -W 2 ::1 >/dev/null || fail "ping ::1 failed with the tunnel up"
ok "link-local ($server_ll) and ::1 answer with the tunnel up"

# IPv4 still goes through the tunnel.
grep -q hello <<<"$(topo_in_client curl -sS -m 5 "http://$TOPO_WEB_ADDR:$TOPO_WEB_PORT/")" || fail "IPv4 through the tunnel broke"
leaked=$(($(routed) - routed_before))
[ "$leaked" = 0 ] || fail "$leaked routed IPv6 packets left the outside veth with the tunnel up"
ok "no IPv6 packet other than link-local left the outside veth; IPv4 works through the tunnel"

# The running daemon's status summary counts that traffic.
status_json=$(topo_vantuctl "$E2E_BUILD" status --json) || fail "vantuctl status --json failed"
python3 -c '
import json, sys
s = json.loads(sys.argv[1])
assert s["state"] == "up", s["state"]
assert s["transport"] == "udp" and s["tunnelAddress"].startswith("192.0.2."), s
assert s["traffic"]["packetsOut"] > 0 and s["traffic"]["packetsIn"] > 0, s["traffic"]
assert s["uptimeSeconds"] >= 0 and s["lastFrameAgeSeconds"] is not None, s
' "$status_json" || fail "unexpected status: $status_json"
grep -q '^tunnel up$' <<<"$(topo_vantuctl "$E2E_BUILD" status)" || fail "vantuctl status does not say the tunnel is up"
ok "vantuctl status: up, with the traffic counted"

e2e_stop_client
e2e_assert_client_clean
grep -q hello <<<"$(topo_in_client curl -6 -sS -m 5 "$web6")" || fail "no IPv6 after the stop"
[ "$(($(routed) - routed_before))" -gt 0 ] || fail "the counter missed the direct IPv6 request; it proves nothing"
ok "after the stop the IPv6 rules are gone and curl -6 works again"

set +e
stopped=$(topo_vantuctl "$E2E_BUILD" status 2>&1)
stopped_status=$?
set -e
[ $stopped_status = 3 ] || fail "vantuctl status without a daemon exited $stopped_status: $stopped"
grep -q '^vantud is not running$' <<<"$stopped" || fail "vantuctl status does not say vantud is gone: $stopped"
grep -Eq '^  last stop +[0-9T:.-]+Z \(userInitiated\)$' <<<"$stopped" || fail "no last stop in: $stopped"
ok "vantuctl status without a daemon: not running, last stop from the saved state"

