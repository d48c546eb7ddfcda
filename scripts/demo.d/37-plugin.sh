#!/usr/bin/env bash
# demo: the scene plug-in answers the plugin manager's requests: a container switched on, a file rule added
set -uo pipefail

kernel=/sys/kernel/security/vrex/policy_docker/dockerstatus
doc=/etc/zorva-scene/scene/zorva_container.json
store=/etc/vrex/container/container.xml
policy=/etc/zorva-scene/policy/zorva_container.policy
id=$(printf '5ca1ab1e%.0s' 1 2 3 4 5 6 7 8)
host=$VREX_DEMO_BUILD/testing/plugin-host/zorva-plugin-host
standin=$VREX_DEMO_BUILD/testing/pluginmgr/libzorva_scene_pluginmgr.so.0
libdir=/usr/lib/x86_64-linux-gnu
calls=$(mktemp)

# A request goes in as GVariant text; the host prints what the core library
# and the store said, then the response.
step() {
  echo
  echo "\$ zorva-daemon $1 \"$2\""
  zorva-daemon "$1" "$2"
  echo "[exit status $?]"
}

# The plug-in is loaded as the plugin manager loads it, by a small host
# installed as the daemon (only the daemon may call the core library). The
# interpreter stand-in comes from the build; the plugin manager stand-in is
# installed beside the core library. Both log each call they get.
if [ ! -e "$standin" ]; then
  echo "The plugin manager stand-in was not built ($standin); build the tests first."
  exit 0
fi
export LD_LIBRARY_PATH=$libdir:$VREX_DEMO_BUILD/testing/interpreter
export VREX_TEST_INTERPRETER_LOG=$calls VREX_TEST_PLUGINMGR_LOG=$calls
install -m 0755 "$host" /usr/sbin/zorva-daemon
install -m 0644 "$standin" "$libdir/libzorva_scene_pluginmgr.so.0"
mkdir -p /etc/vrex/container
: > "$kernel"
echo "Plug-in loaded by the host: $(ls "$libdir"/libzorva_scene_container_plugin.so.0)"
echo "It links: $(ldd "$libdir/libzorva_scene_container_plugin.so.0" | grep -o 'libzorva_scene_container\.[^ ]*' | head -n 1)"

echo
echo "Switch the container's protection on (2), then read it and one control back:"
step container_set_status "{'param1': <'$id'>, 'param2': <2>}"
step container_get_status "{'param1': <'$id'>}"
step container_get_module_status "{'param1': <'$id'>, 'param2': <uint32 2>}"

echo
echo "Add a file rule: no write (mode 1) to /etc/sudoers:"
step filectl_add_container_policy_by_path "{'param1': <'/etc/sudoers'>, 'param2': <uint32 1>}"
echo "  calls received by the stand-ins:"
if [ -s "$calls" ]; then cut -c1-150 "$calls" | sed 's/^/    /'; else echo "    (none)"; fi

echo
echo "Requests the plug-in refuses before calling anything, and a code of the core library:"
step container_set_status "{'param1': <'$id'>, 'param2': <'on'>}"
step filectl_add_container_policy_by_path "{'param1': <'/etc/sudoers'>, 'param2': <-1>}"
step container_get_status "{'param1': <'$id'>, 'sync': <'yes'>}"
step netctl_remove_container_policy_by_path "{'param1': <'/usr/bin/absent'>}"

echo
echo "The container's entry in $doc, and the file-control lists:"
python3 - "$doc" "$id" <<'PY'
import json, sys
def walk(mods):
    for m in mods:
        for v in m["variables"]:
            if v["name"] == sys.argv[2]:
                print("  %s.%s = %s" % (m["type"], v["name"], json.dumps(v["value"])))
            elif m["type"] == "filectl" and v["name"].endswith("_list"):
                print("  %s.%s = %s" % (m["type"], v["name"], json.dumps(v["value"]["value"])))
        walk(m["modules"])
walk(json.load(open(sys.argv[1]))["modules"])
PY
echo
echo "Kernel status record ($(stat -c %s "$kernel") bytes: id, NUL padding, status, exec, net, file):"
od -A d -c "$kernel"
echo
echo "Store file $store:"
grep -n "$id" -A 5 "$store" | head -8
echo
echo "The file-control section of the policy text $policy:"
sed -n '/^section "container.filectl"/,/^end "container.filectl"/p' "$policy"
rm -f "$calls"
