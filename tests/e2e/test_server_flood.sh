#!/usr/bin/env bash
# vantu-server under attack from 200 addresses of the web namespace (the
# server's other side), bounded in count and time: the TCP data port holds
# 400 connections that each announce a 1 MiB unit and 2000 idle ones without
# growing or running out of descriptors; the control port under 2000 idle
# connections, renewed as fast as the server drops them, still serves real
# starts (control exchanges within 1 s, and a vantud start); a guesser gets
# a handful of secrets checked. FLOOD_PROBES sets the number of exchanges.
set -euo pipefail
. "$(dirname "$0")/lib.sh"
e2e_init "$@"
FLOOD="$E2E_HERE/../../scripts/netns-flood.py"
PROBES=${FLOOD_PROBES:-20}
TOPO_SERVER_DATA_PORT=$((TOPO_SERVER_PORT + 1))
TOPO_SERVER_EXTRA_JSON='"transport": "tcp"'
topo_start_web
# Started with the usual soft limit of 1024 descriptors, which it must raise.
hard_limit=$(ulimit -Hn)
ulimit -Sn 1024
topo_start_server "$E2E_BUILD"
ulimit -Sn "$hard_limit"
SERVER=$TOPO_SERVER_PID
[ "$(cat "/proc/$SERVER/comm")" = vantu-server ] || fail "pid $SERVER is not vantu-server"
for i in $(seq 10 209); do echo "addr add 198.51.100.$i/24 dev vw0"; done | topo_in_web ip -batch -
ATTACKERS=198.51.100.10-209

read -r soft hard <<<"$(awk '/^Max open files/ { print $4, $5 }' "/proc/$SERVER/limits")"
[ "$soft" = "$hard" ] || fail "the server kept a soft descriptor limit of $soft (hard $hard)"
ok "the server's soft descriptor limit is its hard one ($hard)"

rss() { awk '/^VmRSS:/ { print $2 }' "/proc/$SERVER/status"; }
fds() { local all=(/proc/"$SERVER"/fd/*); echo "${#all[@]}"; }
# flood NAME ARGS...: runs the generator in the web namespace in the
# background, watching the server's RSS (KiB) and descriptors until it ends.
flood() {
  local name=$1
  shift
  topo_in_web python3 "$FLOOD" "$@" >"$TOPO_RUN_DIR/flood-$name.log" 2>&1 &
  local pid=$! r f
  BEFORE_RSS=$(rss) MAX_RSS=0 MAX_FDS=0
  while kill -0 "$pid" 2>/dev/null; do
    r=$(rss) f=$(fds)
    [ "$r" -le "$MAX_RSS" ] || MAX_RSS=$r
    [ "$f" -le "$MAX_FDS" ] || MAX_FDS=$f
    sleep 0.2
  done
  wait "$pid" || fail "the $name flood failed: $(tail -3 "$TOPO_RUN_DIR/flood-$name.log")"
  GROWTH_MIB=$(((MAX_RSS - BEFORE_RSS) / 1024))
  FLOOD_LAST=$(tail -1 "$TOPO_RUN_DIR/flood-$name.log")
}
idle_fds=$(fds)

flood announce hold "$TOPO_SERVER_OUTSIDE_ADDR" "$TOPO_SERVER_DATA_PORT" --sources 198.51.100.10-59 \
  --connections 400 --prefix 1048576 --seconds 4
[ "$GROWTH_MIB" -le 32 ] || fail "RSS grew by $GROWTH_MIB MiB under 400 x 1 MiB announced ($FLOOD_LAST)"
ok "400 connections announcing 1 MiB: RSS $BEFORE_RSS -> at most $MAX_RSS KiB, at most $MAX_FDS descriptors ($FLOOD_LAST)"

# The longest valid unit but its last byte: held until the 5 s deadline.
flood longest hold "$TOPO_SERVER_OUTSIDE_ADDR" "$TOPO_SERVER_DATA_PORT" --sources 198.51.100.10-59 \
  --connections 400 --prefix $((TOPO_TUNNEL_MTU + 29)) --seconds 7
[ "$GROWTH_MIB" -le 32 ] || fail "RSS grew by $GROWTH_MIB MiB under 400 almost whole units"
grep -q '"closed": 400' <<<"$FLOOD_LAST" || fail "not all 400 were closed at their deadline: $FLOOD_LAST"
ok "400 connections with all but the last byte of a valid unit: RSS at most $MAX_RSS KiB, closed at the deadline"

flood data-idle hold "$TOPO_SERVER_OUTSIDE_ADDR" "$TOPO_SERVER_DATA_PORT" --sources "$ATTACKERS" \
  --connections 2000 --renew --seconds 6
[ "$MAX_FDS" -le $((idle_fds + 512 + 16)) ] || fail "$MAX_FDS descriptors under 2000 idle data connections"
ok "2000 idle data connections, renewed: at most $MAX_FDS descriptors (idle: $idle_fds), RSS +$GROWTH_MIB MiB"

# Real starts while 2000 idle control connections are renewed as fast as
# the server drops them.
topo_in_web python3 "$FLOOD" hold "$TOPO_SERVER_OUTSIDE_ADDR" "$TOPO_SERVER_PORT" --sources "$ATTACKERS" \
  --connections 2000 --renew --seconds 60 >"$TOPO_RUN_DIR/flood-control.log" 2>&1 &
CONTROL_FLOOD=$!
sleep 2
probes=$(topo_in_client python3 "$FLOOD" open "$TOPO_SERVER_OUTSIDE_ADDR" "$TOPO_SERVER_PORT" --secret "$TOPO_SECRET" \
  --count "$PROBES")
control_fds=$(fds)
succeeded=$(python3 -c 'import json, sys; print(json.loads(sys.argv[1])["ok"])' "$probes")
[ $((succeeded * 100)) -ge $((PROBES * 99)) ] || fail "only $succeeded of $PROBES control exchanges within 1 s: $probes"
ok "under the control flood ($(tail -1 "$TOPO_RUN_DIR/flood-control.log")): $probes; $control_fds descriptors"
topo_start_client "$E2E_BUILD"
topo_wait_applied "$E2E_BUILD" 30 || fail "vantud did not start during the control flood"
ok "vantud started during the control flood"
kill "$CONTROL_FLOOD"
wait "$CONTROL_FLOOD" || true
e2e_stop_client

guesses=$(topo_in_client python3 "$FLOOD" guess "$TOPO_SERVER_OUTSIDE_ADDR" "$TOPO_SERVER_PORT" --seconds 3)
checked=$(python3 -c 'import json, sys; print(json.loads(sys.argv[1])["checked"])' "$guesses")
[ "$checked" -le 6 ] || fail "one address got $checked secrets checked in 3 s: $guesses"
logged=$(grep -c 'presented an invalid secret' "$TOPO_RUN_DIR/server.log" || true)
[ "$logged" -le 6 ] || fail "$logged invalid-secret lines logged"
ok "a guesser for 3 s: $guesses; $logged lines logged"
kill -0 "$SERVER" || fail "the server died"
