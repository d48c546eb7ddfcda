#!/usr/bin/env bash
# demo: container-policy-tool writes, lists, reads and restores container policies
set -uo pipefail

kernel=/sys/kernel/security/vrex/policy_docker/dockerstatus
web=$(printf 'a1b2c3d4%.0s' 1 2 3 4 5 6 7 8)
db=$(printf '0123456789abcdef%.0s' 1 2 3 4)
cache=$(printf 'FEEDFACE%.0s' 1 2 3 4 5 6 7 8)

step() {
  echo
  echo "\$ $*"
  "$@"
  echo "[exit status $?]"
}

echo "The store keeps its file in /etc/vrex/container; the tool never creates it."
mkdir -p /etc/vrex/container

step container-policy-tool write -p "$web:4:1:0:1"
echo "Kernel status file after one write: $(stat -c %s "$kernel") bytes (one record)"

step container-policy-tool write -p "$db:2:1:1:1;$cache:0:0:0:0"
step container-policy-tool write --no-xml -p "$cache:2:0:1:0"

echo
echo "Malformed specs are refused before anything is written:"
step container-policy-tool write -p "$web:4x:1:0:1"
step container-policy-tool write -p "$web:4:1:0:1;"

step container-policy-tool list
step container-policy-tool list --json
step cat /etc/vrex/container/container.xml

echo
echo "The sandbox's kernel stand-in is a plain file holding the last record written;"
echo "read prints it as text, up to its first NUL byte (a real kernel prints its table):"
step container-policy-tool read

echo
echo "A reboot empties the kernel's table; the boot unit runs 'sync' to restore it:"
: > "$kernel"
step container-policy-tool sync
echo "Kernel status file after sync: $(stat -c %s "$kernel") bytes (3 records of 69 bytes, one write)"
step cat /usr/lib/systemd/system/container-policy-sync.service

step container-policy-tool clear
step container-policy-tool list --json
