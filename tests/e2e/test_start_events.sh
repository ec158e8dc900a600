#!/usr/bin/env bash
# A successful start leaves its events in vantuctl's report in the start
# sequence's order, numbered from #1 in a fresh state directory, each with
# the values of this topology.
set -euo pipefail
. "$(dirname "$0")/lib.sh"
e2e_init "$@"
e2e_start_tunnel

report=$(topo_vantuctl "$E2E_BUILD" report)
# The event lines: "<time> #<n> <message>".
events=$(echo "$report" | e2e_recent_events)
messages=$(echo "$events" | sed -E 's/^[0-9TZ:.-]+ #[0-9]+ //')
numbers=$(echo "$events" | sed -E 's/^[0-9TZ:.-]+ #([0-9]+) .*/\1/' | tr '\n' ' ')
[ "$numbers" = "1 2 3 4 5 6 7 " ] || fail "expected events #1 to #7, got: $numbers
$events"

expected=(
  "startTunnel"
  "config server=$TOPO_SERVER_OUTSIDE_ADDR:$TOPO_SERVER_PORT serverRouting=true directCoreUDP=false directCoreTCP=false dns=$TOPO_WEB_ADDR"
  "opening control session to $TOPO_SERVER_OUTSIDE_ADDR:$TOPO_SERVER_PORT"
  "control session opened tunnelIP=192.0.2.2 dataPort=$TOPO_SERVER_PORT mtu=1420 transport=udp"
  "server address resolved to $TOPO_SERVER_OUTSIDE_ADDR"
  "UDP data channel verified"
  "network settings applied"
)
i=0
while IFS= read -r line; do
  [ "$line" = "${expected[$i]}" ] || fail "event #$((i + 1)) is \"$line\", expected \"${expected[$i]}\""
  i=$((i + 1))
done <<<"$messages"
[ $i -eq ${#expected[@]} ] || fail "expected ${#expected[@]} events, got $i"
ok "the ${#expected[@]} start events, in order"

# Time stamps are ISO 8601 UTC with milliseconds and never go backwards.
stamps=$(echo "$events" | awk '{ print $1 }')
grep -Evq '^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3}Z$' <<<"$stamps" &&
  fail "malformed time stamps: $stamps"
[ "$stamps" = "$(echo "$stamps" | sort)" ] || fail "time stamps out of order: $stamps"
ok "time stamps well formed and ordered"

# The same events went to the system log (vantud's stderr copy of it).
for message in "${expected[@]}"; do
  grep -qxF "VantuPacketTunnel: $message" "$TOPO_RUN_DIR/vantud.err" || fail "\"$message\" missing from the log"
done
ok "every event also went to the log"
