#!/usr/bin/env bash
# demo: Audit log converter: a sample audit log becomes the container event log
set -euo pipefail
sample=log-converter/tests/data/sample_audit.log

echo "--- the sample audit log: $(wc -l < "$sample") lines, for instance:"
sed -n '2p;3p;8p;10p' "$sample" | cut -c1-160
echo
echo "--- vrex-log-converter --convert $sample"
rm -f /var/log/zorva_container.log
vrex-log-converter --convert "$sample"
echo
echo "--- /var/log/zorva_container.log"
cat /var/log/zorva_container.log
echo
echo "--- the diagnostic log /var/log/vrex-log-converter.log (last lines)"
tail -n 4 /var/log/vrex-log-converter.log | cut -c1-160
