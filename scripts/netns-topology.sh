# shellcheck shell=bash
# The three-namespace topology shared by `make demo`, the end-to-end tests and
# the network benchmark. Source it, then call the functions:
#
#   . scripts/netns-topology.sh
#   topo_require_root || exit 77
#   trap topo_down EXIT INT TERM
#   topo_up
#   topo_start_web; topo_start_server BUILD; topo_start_client BUILD
#   topo_wait_applied BUILD 30
#
# The web host also answers DNS for *.vantu.test (scripts/netns-dns.py),
# the upstream resolver in the tunnel's configuration.
#
#   vantu-client  vc0 203.0.113.2/24 ──── vs0 203.0.113.1/24  vantu-server
#                 default via 203.0.113.1                     vs1 198.51.100.1/24 ──── vw0 198.51.100.2/24  vantu-web
#                 vantu0 (vantud's TUN)                      vantus0 192.0.2.1/24        default via 198.51.100.1
#
# The client's only way out is the server, so traffic that skipped the tunnel
# still reaches the web host, but with its own source address 203.0.113.2;
# tunnel traffic leaves the server masqueraded as 198.51.100.1. Every address
# is in a documentation range and every packet stays in these namespaces.
# Nothing on the host changes except /etc/netns/vantu-*/ (the per-namespace
# resolv.conf that `ip netns exec` mounts) and the run directory.

# TOPO_PREFIX and TOPO_RUN_DIR may be set to run a second topology beside
# the first one (say a benchmark while the end-to-end tests run).
TOPO_PREFIX=${TOPO_PREFIX:-vantu}
TOPO_NS_CLIENT=$TOPO_PREFIX-client
TOPO_NS_SERVER=$TOPO_PREFIX-server
TOPO_NS_WEB=$TOPO_PREFIX-web
TOPO_CLIENT_ADDR=203.0.113.2
TOPO_SERVER_OUTSIDE_ADDR=203.0.113.1
TOPO_SERVER_INSIDE_ADDR=198.51.100.1
TOPO_WEB_ADDR=198.51.100.2
TOPO_TUNNEL_SUBNET=192.0.2.0/24
TOPO_TUNNEL_MTU=1420
TOPO_SERVER_PORT=8443
TOPO_WEB_PORT=8080
TOPO_SECRET=netns-demo-secret
TOPO_CLIENT_TUN=vantu0
TOPO_SERVER_TUN=vantus0
TOPO_RUN_DIR=${TOPO_RUN_DIR:-/run/$TOPO_PREFIX-netns}
TOPO_SCRIPTS=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
TOPO_CLIENT_SOCKET=$TOPO_RUN_DIR/vantud.sock
TOPO_CLIENT_STATE=$TOPO_RUN_DIR/client-state

topo_log() { echo "[netns] $*" >&2; }

topo_require_root() {
  if [ "$(id -u)" -ne 0 ]; then
    echo "This needs root: it creates network namespaces, veth pairs and TUN devices." >&2
    return 1
  fi
  local tool
  for tool in ip nft ping curl python3; do
    if ! command -v "$tool" >/dev/null 2>&1; then
      echo "This needs '$tool' (scripts/setup.sh installs it)." >&2
      return 1
    fi
  done
  return 0
}

topo_in_client() { ip netns exec "$TOPO_NS_CLIENT" "$@"; }
topo_in_server() { ip netns exec "$TOPO_NS_SERVER" "$@"; }
topo_in_web() { ip netns exec "$TOPO_NS_WEB" "$@"; }

# Removes everything up() and the start functions created; safe to call when
# nothing or only part of it exists.
topo_down() {
  local ns pid
  for ns in "$TOPO_NS_CLIENT" "$TOPO_NS_SERVER" "$TOPO_NS_WEB"; do
    if grep -qw "^$ns" <<<"$(ip netns list 2>/dev/null)"; then
      # vantud first, politely, so that it restores what it changed.
      for pid in $(ip netns pids "$ns" 2>/dev/null || true); do kill -TERM "$pid" 2>/dev/null || true; done
    fi
  done
  local waited=0
  while [ $waited -lt 50 ]; do
    local left=""
    for ns in "$TOPO_NS_CLIENT" "$TOPO_NS_SERVER" "$TOPO_NS_WEB"; do
      left="$left$(ip netns pids "$ns" 2>/dev/null || true)"
    done
    [ -z "$left" ] && break
    sleep 0.2
    waited=$((waited + 1))
  done
  for ns in "$TOPO_NS_CLIENT" "$TOPO_NS_SERVER" "$TOPO_NS_WEB"; do
    for pid in $(ip netns pids "$ns" 2>/dev/null || true); do kill -KILL "$pid" 2>/dev/null || true; done
    ip netns delete "$ns" 2>/dev/null || true
    rm -rf "/etc/netns/$ns"
  done
  rmdir /etc/netns 2>/dev/null || true  # only when nothing else uses it
  rm -rf "$TOPO_RUN_DIR"
}

# One run per topology at a time. topo_up starts by tearing down whatever
# holds the same namespace names, so a second run (the tests of another
# checkout, a benchmark, the demo left up) would pull the first one's
# namespaces, rules and daemons out from under it. The lock is held by this
# shell until it exits; topo_down kills every process in the namespaces, so
# none of them outlives the run holding an inherited copy.
topo_lock() {
  [ -z "${TOPO_LOCK_FD:-}" ] || return 0
  local wait=${TOPO_LOCK_WAIT:-300}
  mkdir -p /run/lock
  exec {TOPO_LOCK_FD}>"/run/lock/$TOPO_PREFIX-netns.lock"
  flock -n "$TOPO_LOCK_FD" && return 0
  topo_log "another run is using the $TOPO_PREFIX-* namespaces; waiting up to $wait s"
  flock -w "$wait" "$TOPO_LOCK_FD" && return 0
  topo_log "the $TOPO_PREFIX-* namespaces are still in use after $wait s (set TOPO_PREFIX to run beside it)"
  exec {TOPO_LOCK_FD}>&-
  unset TOPO_LOCK_FD
  return 1
}

topo_up() {
  topo_lock || return 1
  topo_down
  mkdir -p "$TOPO_RUN_DIR"
  chmod 0700 "$TOPO_RUN_DIR"
  ip netns add "$TOPO_NS_CLIENT"
  ip netns add "$TOPO_NS_SERVER"
  ip netns add "$TOPO_NS_WEB"
  # Both ends are created directly inside their namespaces.
  ip link add vc0 netns "$TOPO_NS_CLIENT" type veth peer name vs0 netns "$TOPO_NS_SERVER"
  ip link add vs1 netns "$TOPO_NS_SERVER" type veth peer name vw0 netns "$TOPO_NS_WEB"

  topo_in_client ip link set lo up
  topo_in_client ip addr add "$TOPO_CLIENT_ADDR/24" dev vc0
  topo_in_client ip link set vc0 up
  topo_in_client ip route add default via "$TOPO_SERVER_OUTSIDE_ADDR"

  topo_in_server ip link set lo up
  topo_in_server ip addr add "$TOPO_SERVER_OUTSIDE_ADDR/24" dev vs0
  topo_in_server ip addr add "$TOPO_SERVER_INSIDE_ADDR/24" dev vs1
  topo_in_server ip link set vs0 up
  topo_in_server ip link set vs1 up
  topo_in_server sysctl -qw net.ipv4.ip_forward=1
  # Tunnel clients leave towards the web side under the server's address.
  topo_in_server nft -f - <<EOF
table ip vantu_topology {
  chain postrouting {
    type nat hook postrouting priority srcnat; policy accept;
    ip saddr $TOPO_TUNNEL_SUBNET oifname "vs1" counter masquerade
  }
}
EOF

  topo_in_web ip link set lo up
  topo_in_web ip addr add "$TOPO_WEB_ADDR/24" dev vw0
  topo_in_web ip link set vw0 up
  topo_in_web ip route add default via "$TOPO_SERVER_INSIDE_ADDR"

  # Per-namespace resolver files. The client's is a link into the run
  # directory, so vantud (--resolv-conf) rewrites and restores it there and
  # its backup never lands in the host's /etc.
  local ns
  for ns in "$TOPO_NS_SERVER" "$TOPO_NS_WEB"; do
    mkdir -p "/etc/netns/$ns"
    printf 'nameserver %s\n' "$TOPO_WEB_ADDR" >"/etc/netns/$ns/resolv.conf"
  done
  printf '# vantu-client before the tunnel\nnameserver %s\n' "$TOPO_WEB_ADDR" >"$TOPO_RUN_DIR/client-resolv.conf"
  mkdir -p "/etc/netns/$TOPO_NS_CLIENT"
  ln -s "$TOPO_RUN_DIR/client-resolv.conf" "/etc/netns/$TOPO_NS_CLIENT/resolv.conf"
  topo_log "namespaces $TOPO_NS_CLIENT, $TOPO_NS_SERVER, $TOPO_NS_WEB are up"
}

# IPv6 beside the IPv4 addresses (documentation prefix 2001:db8::/32): the
# client reaches the web host through the server, which forwards IPv6 as a
# plain router would (no IPv6 in the tunnel). Addresses skip duplicate
# detection so that they work at once.
TOPO_CLIENT_ADDR6=2001:db8:1::2
TOPO_SERVER_OUTSIDE_ADDR6=2001:db8:1::1
TOPO_SERVER_INSIDE_ADDR6=2001:db8:2::1
TOPO_WEB_ADDR6=2001:db8:2::2
topo_add_ipv6() {
  topo_in_client ip -6 addr add "$TOPO_CLIENT_ADDR6/64" dev vc0 nodad
  topo_in_server ip -6 addr add "$TOPO_SERVER_OUTSIDE_ADDR6/64" dev vs0 nodad
  topo_in_server ip -6 addr add "$TOPO_SERVER_INSIDE_ADDR6/64" dev vs1 nodad
  topo_in_web ip -6 addr add "$TOPO_WEB_ADDR6/64" dev vw0 nodad
  topo_in_server sysctl -qw net.ipv6.conf.all.forwarding=1
  topo_in_client ip -6 route add default via "$TOPO_SERVER_OUTSIDE_ADDR6"
  topo_in_web ip -6 route add default via "$TOPO_SERVER_INSIDE_ADDR6"
  # An HTTP server on the web host's IPv6 address.
  (cd "$TOPO_RUN_DIR/www" && exec ip netns exec "$TOPO_NS_WEB" \
    python3 -u -m http.server "$TOPO_WEB_PORT" --bind "$TOPO_WEB_ADDR6") \
    >"$TOPO_RUN_DIR/web6.log" 2>&1 &
  topo_wait_tcp "$TOPO_NS_WEB" "$TOPO_WEB_PORT" 10
  local i=0
  until grep -q . <<<"$(ip netns exec "$TOPO_NS_WEB" ss -Htln "src [$TOPO_WEB_ADDR6]:$TOPO_WEB_PORT" 2>/dev/null)"; do
    [ $i -lt 50 ] || { topo_log "IPv6 web server did not start"; return 1; }
    sleep 0.1
    i=$((i + 1))
  done
}

# A plain HTTP server on the web host, whose log names each client's
# address, and a small DNS server for the vantu.test names.
topo_start_web() {
  mkdir -p "$TOPO_RUN_DIR/www"
  printf 'hello from %s\n' "$TOPO_WEB_ADDR" >"$TOPO_RUN_DIR/www/index.html"
  (cd "$TOPO_RUN_DIR/www" && exec ip netns exec "$TOPO_NS_WEB" \
    python3 -u -m http.server "$TOPO_WEB_PORT" --bind "$TOPO_WEB_ADDR") \
    >"$TOPO_RUN_DIR/web.log" 2>&1 &
  TOPO_WEB_PID=$!
  topo_wait_tcp "$TOPO_NS_WEB" "$TOPO_WEB_PORT" 10 || { topo_log "web server did not start"; return 1; }
  # The DNS server named in the tunnel's configuration: NAME.vantu.test is
  # the web host.
  ip netns exec "$TOPO_NS_WEB" python3 -u "$TOPO_SCRIPTS/netns-dns.py" "$TOPO_WEB_ADDR" "$TOPO_WEB_ADDR" \
    >"$TOPO_RUN_DIR/dns.log" 2>&1 &
  TOPO_DNS_PID=$!
  local i=0
  until grep -q '^answering' "$TOPO_RUN_DIR/dns.log" 2>/dev/null; do
    [ $i -lt 50 ] || { topo_log "DNS server did not start"; return 1; }
    sleep 0.1
    i=$((i + 1))
  done
}

# Waits until something listens on a TCP port in a namespace.
topo_wait_tcp() {
  local ns=$1 port=$2 seconds=$3 i=0
  while [ $i -lt $((seconds * 10)) ]; do
    if grep -q . <<<"$(ip netns exec "$ns" ss -Htln "sport = :$port" 2>/dev/null)"; then return 0; fi
    sleep 0.1
    i=$((i + 1))
  done
  return 1
}

# Knobs for tests: TOPO_DNS_UPSTREAM (the DNS server both configurations
# name; default the web host), TOPO_SERVER_EXTRA_JSON (more keys for the
# server, such as "dns_forwarder" or "routing"), TOPO_SERVER_DATA_PORT (the
# data port when it must differ from the control port, as for the TCP data
# service; default the control port), TOPO_CLIENT_DIRECT_CORE and
# TOPO_CLIENT_DIRECT_TCP (the client's UDP and TCP direct relays),
# TOPO_CLIENT_EXTRA_JSON (more keys for the client, such as a certificate pin).
topo_write_server_config() {
  cat >"$TOPO_RUN_DIR/server.json" <<EOF
{
  "control_address": "$TOPO_SERVER_OUTSIDE_ADDR",
  "control_port": $TOPO_SERVER_PORT,
  "data_address": "$TOPO_SERVER_OUTSIDE_ADDR",
  "data_port": ${TOPO_SERVER_DATA_PORT:-$TOPO_SERVER_PORT},
  "secrets": ["$TOPO_SECRET"],
  "tunnel_subnet": "$TOPO_TUNNEL_SUBNET",
  "tunnel_mtu": $TOPO_TUNNEL_MTU,
  "dns_servers": ["${TOPO_DNS_UPSTREAM:-$TOPO_WEB_ADDR}"],${TOPO_SERVER_EXTRA_JSON:+
  $TOPO_SERVER_EXTRA_JSON,}
  "packet_sink": "tun",
  "tun_name": "$TOPO_SERVER_TUN"
}
EOF
}

topo_start_server() {
  local build=$1
  topo_write_server_config
  ip netns exec "$TOPO_NS_SERVER" "$build/vantu-server" --config "$TOPO_RUN_DIR/server.json" \
    >"$TOPO_RUN_DIR/server.log" 2>&1 &
  TOPO_SERVER_PID=$!
  topo_wait_tcp "$TOPO_NS_SERVER" "$TOPO_SERVER_PORT" 10 || {
    topo_log "vantu-server did not start:"
    cat "$TOPO_RUN_DIR/server.log" >&2
    return 1
  }
}

topo_write_client_config() {
  cat >"$TOPO_RUN_DIR/client.json" <<EOF
{
  "server": "$TOPO_SERVER_OUTSIDE_ADDR:$TOPO_SERVER_PORT",
  "secretKey": "$TOPO_SECRET",
  "dnsServers": ["${TOPO_DNS_UPSTREAM:-$TOPO_WEB_ADDR}"],
  "deviceID": "netns-client",
  "clientVersion": "netns-demo",${TOPO_CLIENT_EXTRA_JSON:+
  $TOPO_CLIENT_EXTRA_JSON,}
  "useServerRouting": true,
  "clientDirectCoreEnabled": ${TOPO_CLIENT_DIRECT_CORE:-false},
  "clientDirectTCPEnabled": ${TOPO_CLIENT_DIRECT_TCP:-false}
}
EOF
}

# Starts vantud in the client namespace; extra arguments go to vantud.
topo_start_client() {
  local build=$1
  shift
  topo_write_client_config
  ip netns exec "$TOPO_NS_CLIENT" "$build/vantud" --config "$TOPO_RUN_DIR/client.json" \
    --state-dir "$TOPO_CLIENT_STATE" --control-socket "$TOPO_CLIENT_SOCKET" \
    --tun-name "$TOPO_CLIENT_TUN" --dns resolvconf --resolv-conf "$TOPO_RUN_DIR/client-resolv.conf" "$@" \
    >"$TOPO_RUN_DIR/vantud.out" 2>"$TOPO_RUN_DIR/vantud.err" &
  TOPO_CLIENT_PID=$!
}

topo_vantuctl() {
  local build=$1
  shift
  ip netns exec "$TOPO_NS_CLIENT" "$build/vantuctl" --control-socket "$TOPO_CLIENT_SOCKET" \
    --state-dir "$TOPO_CLIENT_STATE" "$@"
}

# Polls vantuctl until the running vantud reports this start's settings
# applied; fails early when vantud exits.
topo_wait_applied() {
  local build=$1 seconds=$2 i=0
  while [ $i -lt $((seconds * 5)) ]; do
    if ! kill -0 "$TOPO_CLIENT_PID" 2>/dev/null; then
      topo_log "vantud exited before the tunnel came up:"
      cat "$TOPO_RUN_DIR/vantud.err" >&2
      return 1
    fi
    # The running daemon must answer (not the saved state of an earlier
    # run), and the event must follow this run's "startTunnel": the event
    # log is persisted across runs.
    local report
    if report=$(topo_vantuctl "$build" report 2>/dev/null) &&
      awk '/ #[0-9]+ startTunnel$/ { up = 0 } / #[0-9]+ network settings applied$/ { up = 1 } END { exit !up }' \
        <<<"$report"; then
      return 0
    fi
    sleep 0.2
    i=$((i + 1))
  done
  topo_log "the tunnel did not come up within ${seconds}s"
  return 1
}

# Waits up to `seconds` for a child process of this shell to exit and sets
# TOPO_EXIT_STATUS to its exit status; fails (status unset) when it is still
# running. Call it directly, not in $(...): only this shell can reap it.
topo_wait_exit() {
  local pid=$1 seconds=$2 i=0
  TOPO_EXIT_STATUS=
  while kill -0 "$pid" 2>/dev/null; do
    if [ $i -ge $((seconds * 10)) ]; then return 1; fi
    sleep 0.1
    i=$((i + 1))
  done
  TOPO_EXIT_STATUS=0
  wait "$pid" 2>/dev/null || TOPO_EXIT_STATUS=$?
  return 0
}
