#!/usr/bin/env bash
# The control socket: owner-only (0700 directory, 0600 socket, peer
# credentials checked), one message per connection answered with the report,
# "resetDiagnostics" resets the event log of the running daemon, and a
# client that never finishes its message does not hold up the tunnel.
set -euo pipefail
. "$(dirname "$0")/lib.sh"
e2e_init "$@"
# The socket gets a directory of its own, which vantud creates.
TOPO_CLIENT_SOCKET=$TOPO_RUN_DIR/ctl/vantud.sock
e2e_start_tunnel

[ "$(stat -c %a "$TOPO_RUN_DIR/ctl")" = 700 ] || fail "socket directory mode $(stat -c %a "$TOPO_RUN_DIR/ctl")"
[ "$(stat -c %a "$TOPO_CLIENT_SOCKET")" = 600 ] || fail "socket mode $(stat -c %a "$TOPO_CLIENT_SOCKET")"
ok "directory 0700, socket 0600"

# Another user cannot get through the directory...
set +e
out=$(topo_in_client setpriv --reuid=65534 --regid=65534 --clear-groups \
  "$E2E_BUILD/vantuctl" --control-socket "$TOPO_CLIENT_SOCKET" --state-dir /nonexistent 2>&1)
status=$?
set -e
[ $status -eq 1 ] || fail "vantuctl as nobody exited $status: $out"
grep -q 'Permission denied' <<<"$out" || fail "unexpected refusal text: $out"
# ...and with the modes opened up by hand, the daemon still refuses it.
chmod 0755 "$TOPO_RUN_DIR" "$TOPO_RUN_DIR/ctl"
chmod 0666 "$TOPO_CLIENT_SOCKET"
set +e
out=$(topo_in_client setpriv --reuid=65534 --regid=65534 --clear-groups \
  "$E2E_BUILD/vantuctl" --control-socket "$TOPO_CLIENT_SOCKET" --state-dir /nonexistent 2>&1)
status=$?
set -e
chmod 0700 "$TOPO_RUN_DIR" "$TOPO_RUN_DIR/ctl"
chmod 0600 "$TOPO_CLIENT_SOCKET"
[ $status -eq 1 ] || fail "vantuctl as nobody through an open socket exited $status: $out"
grep -q 'closed the connection without a reply' <<<"$out" || fail "unexpected text: $out"
grep -q 'vantud: control socket: refused a connection from uid 65534' "$TOPO_RUN_DIR/vantud.err" ||
  fail "vantud did not log the refused uid"
grep -q 'session=open' <<<"$out" && fail "nobody received the report"
ok "other users are refused, by the file modes and by the peer check"

# A client that connects and never finishes does not block the daemon: the
# work queue keeps answering others and the tunnel keeps carrying traffic.
topo_in_client python3 -c '
import socket, sys, time
s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
s.connect(sys.argv[1])
s.send(b"diag")
time.sleep(8)
' "$TOPO_CLIENT_SOCKET" &
stalled=$!
sleep 0.5
started=$(date +%s%N)
report=$(topo_vantuctl "$E2E_BUILD" report --timeout 7) || fail "vantuctl failed while another client stalls"
# Served while the stalled client still holds its connection (8 s).
waited_ms=$((($(date +%s%N) - started) / 1000000))
[ $waited_ms -lt 5000 ] || fail "the report took ${waited_ms} ms: it waited for the stalled client"
kill -0 "$stalled" 2>/dev/null || fail "the stalled client ended early; the check proves nothing"
topo_in_client ping -c 2 -i 0.3 -W 2 "$TOPO_WEB_ADDR" >/dev/null || fail "the tunnel stalled with the client"
kill "$stalled" 2>/dev/null || true
wait "$stalled" 2>/dev/null || true
ok "a stalled client holds up neither other clients nor the tunnel"

# A second vantud on the same socket stops at once and touches nothing of
# the running one.
set +e
out=$(ip netns exec "$TOPO_NS_CLIENT" "$E2E_BUILD/vantud" --config "$TOPO_RUN_DIR/client.json" \
  --state-dir "$TOPO_RUN_DIR/second-state" --control-socket "$TOPO_CLIENT_SOCKET" --tun-name vantu9 \
  --dns resolvconf --resolv-conf "$TOPO_RUN_DIR/client-resolv.conf" 2>&1)
status=$?
set -e
[ $status -eq 1 ] || fail "a second vantud exited $status: $out"
grep -q "another daemon answers on $TOPO_CLIENT_SOCKET" <<<"$out" || fail "unexpected text: $out"
grep -q '^7373:' <<<"$(topo_in_client ip rule show)" || fail "the second vantud removed the first one's rules"
grep -q '^nameserver 100\.100\.100\.100$' "$TOPO_RUN_DIR/client-resolv.conf" || fail "the second vantud restored resolv.conf"
topo_in_client ping -c 1 -W 2 "$TOPO_WEB_ADDR" >/dev/null || fail "the tunnel broke when a second vantud tried to start"
ok "a second vantud refuses to start and leaves the running tunnel alone"

report=$(topo_vantuctl "$E2E_BUILD" reset)
events=$(e2e_recent_events <<<"$report")
[ "$(grep -c . <<<"$events")" = 1 ] || fail "after the reset the log holds: $events"
grep -Eq '^[0-9TZ:.-]+ #1 diagnostics reset$' <<<"$events" || fail "the reset event is not #1: $events"
grep -q '^session=open transport=udp tunnelIP=192\.0\.2\.2' <<<"$report" || fail "the reset touched the session"
ok "resetDiagnostics leaves one event, #1 diagnostics reset, and the session open"

# "resetDiagnostics " with a trailing space is an ordinary request.
report=$(topo_vantuctl "$E2E_BUILD" send "resetDiagnostics ")
[ "$(e2e_recent_events <<<"$report" | grep -c .)" = 1 ] || fail "a near-miss command reset the log again or changed it"
ok "only the exact command resets"

# The event survives in the saved state once the daemon is gone.
e2e_stop_client
[ ! -e "$TOPO_CLIENT_SOCKET" ] || fail "the socket outlived the daemon"
set +e
report=$(topo_vantuctl "$E2E_BUILD" report 2>/dev/null)
set -e
events=$(e2e_recent_events <<<"$report")
grep -Eq '#1 diagnostics reset$' <<<"$events" || fail "the reset is not in the saved log"
grep -Eq '#2 stopTunnel reason=1 userInitiated$' <<<"$events" || fail "the stop is not #2 in the saved log"
ok "saved log continues after the reset: #1 reset, #2 stop"
