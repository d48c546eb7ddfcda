#!/usr/bin/env bash
# demo: vrex-log-converter as a daemon, following the audit log
set -euo pipefail

audit=/var/log/vrex_audit.log
events=/var/log/zorva_container.log
diag=/var/log/vrex-log-converter.log
touch "$audit" "$events"

echo "Configuration in /etc/vrex/vrex-log-converter.conf:"
grep -v '^#' /etc/vrex/vrex-log-converter.conf | sed '/^$/d; s/^/  /'

echo
echo "Starting /usr/sbin/vrex-log-converter in the background"
vrex-log-converter &
pid=$!
for _ in $(seq 100); do
  grep -q "Daemon started (pid $pid)" "$diag" 2>/dev/null && break
  sleep 0.05
done
grep "Daemon started (pid $pid)" "$diag" | sed 's/^/  /'

id1=3f2a9c0d1e2b4a5f6c7d8e9f00112233445566778899aabbccddeeff00112233
id2=b7e1d2c3a4958677f0e1d2c3b4a5968778695a4b3c2d1e0f1a2b3c4d5e6f7a8b
now=$(date +%s)
samples=(
  "type=VREX_AVC msg=audit($now.101:2001): avc:  denied  { write } for  pid=4121 comm=\"bash\" name=\"/etc/passwd\" dev=\"overlay\" ino=1837465 tclass=file container_id=$id1"
  "type=SYSCALL msg=audit($now.101:2001): arch=c000003e syscall=257 success=no exit=-13 comm=\"bash\" exe=\"/usr/bin/bash\""
  "type=VREX_AVC msg=audit($now.202:2002): avc:  denied  { execute } for  pid=4130 comm=\"sh\" name=\"/tmp/payload.sh\" tclass=file container_id=$id1"
  "type=VREX_NETCTL msg=audit($now.303:2003): avc:  detect  { connect } for  pid=4200 proc_path=\"/usr/bin/curl\" daddr=203.0.113.7 container_id=$id2"
  "type=VREX_AVC msg=audit($now.404:2004): avc:  detect  { unlink } for  pid=4211 comm=\"rm\" name=\"/var/lib/app/lock\" tclass=file container_id=$id2"
)

before=$(wc -l < "$events")
echo
echo "Appending sample audit lines to $audit, one at a time:"
for line in "${samples[@]}"; do
  printf '%s\n' "$line" >> "$audit"
  sleep 0.2
  echo "  + ${line:0:60}..."
  echo "    $events now has $(( $(wc -l < "$events") - before )) new line(s)"
done

echo
echo "New lines in $events:"
tail -n +"$((before + 1))" "$events" | sed 's/^/  /'

echo
echo "Stopping the daemon with SIGTERM"
kill -TERM "$pid"
status=0
wait "$pid" || status=$?
echo "  exit status: $status"
echo
echo "Saved position (device inode offset) in /var/lib/vrex-log-converter/position:"
sed 's/^/  /' /var/lib/vrex-log-converter/position
echo
echo "Tail of the diagnostic log $diag:"
tail -n 6 "$diag" | sed 's/^/  /'
