#!/usr/bin/env bash
# demo: the core library sets and reads container and control statuses for the zorva daemon
set -uo pipefail

kernel=/sys/kernel/security/vrex/policy_docker/dockerstatus
doc=/etc/zorva-scene/scene/zorva_container.json
store=/etc/vrex/container/container.xml
id=$(printf 'c0ffee00%.0s' 1 2 3 4 5 6 7 8)
driver=$VREX_DEMO_BUILD/scene-core/tests/zorva-scene-driver

step() {
  echo
  echo "\$ $*"
  "$@"
  echo "[exit status $?]"
}

# The installed library, with the interpreter stand-in from the build (the
# real interpreter is an outside component this machine lacks).
export LD_LIBRARY_PATH=/usr/lib/x86_64-linux-gnu:$VREX_DEMO_BUILD/testing/interpreter
echo "Only the daemon may call the library: a small driver is installed as /usr/sbin/zorva-daemon."
install -m 0755 "$driver" /usr/sbin/zorva-daemon
mkdir -p /etc/vrex/container
: > "$kernel"
echo "Library loaded by the driver: $(ldd /usr/sbin/zorva-daemon | grep -o '/[^ ]*libzorva_scene_container[^ ]*')"
echo "Default scene document: $doc ($(stat -c %s "$doc") bytes)"

step zorva-daemon set "$id" 4
step zorva-daemon get "$id"
step zorva-daemon set-module "$id" 1 0
step zorva-daemon get-module "$id" 1
step zorva-daemon get-module "$id" 0

echo
echo "The container's entry in the \"container\" module of $doc:"
python3 - "$doc" "$id" <<'PY'
import json, sys
doc = json.load(open(sys.argv[1]))
def find(mods, t):
    for m in mods:
        if m["type"] == t:
            return m
        r = find(m["modules"], t)
        if r:
            return r
container = find(doc["modules"], "container")
for v in container["variables"]:
    if v["name"] == sys.argv[2]:
        print(json.dumps(v, indent=2))
PY

echo
echo "Kernel status record ($(stat -c %s "$kernel") bytes: id, NUL padding, status, exec, net, file):"
od -A d -c "$kernel"
echo
echo "Store file $store:"
grep -n "$id" -A 5 "$store" | head -8

echo
echo "Refusals: out-of-range values, unknown ids, a caller that is not the daemon."
step zorva-daemon set "$id" 3
step zorva-daemon set-module "$(printf 'dead%.0s' $(seq 16))" 0 1
step zorva-daemon --kind 5 get "$id"
step "$driver" get "$id"
