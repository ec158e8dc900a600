# shellcheck shell=bash
# Shared set-up for the end-to-end tests: the namespace topology of
# scripts/netns-topology.sh, root detection (exit 77 = skipped), cleanup on
# every exit, and small assertion helpers. Source it from a test_*.sh.

E2E_HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=../../scripts/netns-topology.sh
. "$E2E_HERE/../../scripts/netns-topology.sh"

# e2e_init BUILD_DIR: checks the programs and root, brings the topology up
# and arranges for it to be removed however the test ends.
e2e_init() {
  if [ $# -lt 1 ] || [ ! -d "$1" ]; then
    echo "usage: $0 BUILD_DIR" >&2
    exit 2
  fi
  E2E_BUILD=$(cd "$1" && pwd)
  if [ "$(id -u)" -ne 0 ]; then
    echo "SKIP: needs root (network namespaces, TUN devices)" >&2
    exit 77
  fi
  topo_require_root || exit 1
  local program
  for program in vantud vantuctl vantu-server; do
    [ -x "$E2E_BUILD/$program" ] || { echo "FAIL: $E2E_BUILD/$program was not built" >&2; exit 1; }
  done
  trap e2e_cleanup EXIT
  trap 'exit 130' INT TERM
  topo_up
}

e2e_cleanup() {
  local status=$?
  trap - EXIT
  if [ $status -ne 0 ] && [ -d "$TOPO_RUN_DIR" ]; then
    local f
    for f in vantud.err server.log; do
      if [ -s "$TOPO_RUN_DIR/$f" ]; then
        echo "---- $f (last 40 lines)" >&2
        tail -n 40 "$TOPO_RUN_DIR/$f" >&2
      fi
    done
  fi
  topo_down
  exit $status
}

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

ok() { echo "ok - $*"; }

# The whole tunnel: web host, server with the TUN sink, vantud; waits for
# "network settings applied".
e2e_start_tunnel() {
  topo_start_web
  topo_start_server "$E2E_BUILD"
  topo_start_client "$E2E_BUILD" "$@"
  topo_wait_applied "$E2E_BUILD" 30 || fail "the tunnel did not come up"
}

# Counts packets in the client namespace with nft: packets leaving on the
# outside veth towards the web host (they skipped the tunnel), the sealed
# datagrams to the server's data port, and packets to any address other
# than the server's.
e2e_add_client_counters() {
  topo_in_client nft -f - <<NFT
table ip vantu_e2e {
  counter leaked { }
  counter sealed { }
  counter elsewhere { }
  chain postrouting {
    type filter hook postrouting priority 0; policy accept;
    oifname "vc0" ip daddr $TOPO_WEB_ADDR counter name leaked
    oifname "vc0" ip daddr $TOPO_SERVER_OUTSIDE_ADDR udp dport $TOPO_SERVER_PORT counter name sealed
    oifname "vc0" ip daddr != $TOPO_SERVER_OUTSIDE_ADDR counter name elsewhere
  }
}
NFT
}

# e2e_counter NAME [packets|bytes]: a named counter in the client. A burst
# of equal-sized datagrams sent as one UDP GSO message passes the hook as a
# single packet, so volumes are better judged in bytes.
e2e_counter() {
  topo_in_client nft list counter ip vantu_e2e "$1" |
    awk -v field="${2:-packets}" '/packets/ { for (i = 1; i <= NF; i++) if ($i == field) print $(i + 1) }'
}

# Nothing of the tunnel is left in the client namespace.
# e2e_stop_client [SECONDS]: SIGTERM to vantud, which must exit 0 in time
# (20 s unless told).
e2e_stop_client() {
  local seconds=${1:-20}
  kill -TERM "$TOPO_CLIENT_PID"
  topo_wait_exit "$TOPO_CLIENT_PID" "$seconds" || fail "vantud did not exit within $seconds s of SIGTERM"
  [ "$TOPO_EXIT_STATUS" = 0 ] || fail "vantud exited with $TOPO_EXIT_STATUS after SIGTERM"
}

e2e_assert_client_clean() {
  local rules table
  rules=$(topo_in_client ip rule show)
  if grep -Eq '^(7372|7373):' <<<"$rules"; then fail "policy rules left behind: $rules"; fi
  table=$(topo_in_client ip route show table 7373 2>/dev/null || true)
  [ -z "$table" ] || fail "routes left in table 7373: $table"
  rules=$(topo_in_client ip -6 rule show)
  if grep -Eq '^(7372|7373):' <<<"$rules"; then fail "IPv6 policy rules left behind: $rules"; fi
  table=$(topo_in_client ip -6 route show table 7373 2>/dev/null || true)
  [ -z "$table" ] || fail "IPv6 routes left in table 7373: $table"
  if topo_in_client ip link show "$TOPO_CLIENT_TUN" >/dev/null 2>&1; then fail "TUN device $TOPO_CLIENT_TUN still exists"; fi
  if grep -q '192\.0\.2\.' <<<"$(topo_in_client ip -o addr show)"; then fail "a tunnel address is left: $(topo_in_client ip -o addr show)"; fi
  [ ! -e "$TOPO_RUN_DIR/client-resolv.conf.vantud-backup" ] || fail "the resolv.conf backup is still there"
  [ ! -e "$TOPO_CLIENT_SOCKET" ] || fail "the control socket $TOPO_CLIENT_SOCKET is still there"
}

# The event lines of a report: those after its last "recent events:" line
# (a stop snapshot inside the report has a list of its own).
e2e_recent_events() {
  awk '/^recent events:$/ { n = NR } { line[NR] = $0 } END { for (i = n + 1; i <= NR; i++) print line[i] }'
}
