#!/usr/bin/env bash
# demo: the core library adds and removes file and network rules, writes the policy text and deploys it
set -uo pipefail

doc=/etc/zorva-scene/scene/zorva_container.json
policy=/etc/zorva-scene/policy/zorva_container.policy
driver=$VREX_DEMO_BUILD/scene-core/tests/zorva-scene-driver
standin=$VREX_DEMO_BUILD/testing/pluginmgr/libzorva_scene_pluginmgr.so.0
libdir=/usr/lib/x86_64-linux-gnu
calls=$(mktemp)

step() {
  echo
  echo "\$ $*"
  "$@"
  echo "[exit status $?]"
}

# The installed library, with the interpreter stand-in from the build, and
# the plugin manager stand-in installed beside the core library, where the
# library looks for it. Both stand-ins write each call they get to one log.
export LD_LIBRARY_PATH=/usr/lib/x86_64-linux-gnu:$VREX_DEMO_BUILD/testing/interpreter
export VREX_TEST_INTERPRETER_LOG=$calls VREX_TEST_PLUGINMGR_LOG=$calls
install -m 0755 "$driver" /usr/sbin/zorva-daemon
if [ ! -e "$standin" ]; then
  echo "The plugin manager stand-in was not built ($standin); build the tests first."
  exit 0
fi
install -m 0644 "$standin" "$libdir/libzorva_scene_pluginmgr.so.0"
echo "Plugin manager library (stand-in): $libdir/libzorva_scene_pluginmgr.so.0"

show_calls() {
  echo "  calls received by the stand-ins:"
  if [ -s "$calls" ]; then cut -c1-150 "$calls" | sed 's/^/    /'; else echo "    (none)"; fi
  : > "$calls"
}

echo
echo "The first rule change writes the policy text and deploys all of it (kernel status $(cat /sys/kernel/security/vrex/status)):"
step zorva-daemon add-file /etc/shadow 0
show_calls
echo
echo "Later changes compile only the section that changed:"
step zorva-daemon add-file /var/log 2
show_calls
step zorva-daemon add-net /usr/bin/curl
show_calls
echo
echo "Adding a listed path changes nothing and calls nothing; removing an absent one is not found:"
step zorva-daemon add-file /etc/shadow 0
show_calls
step zorva-daemon remove-net /usr/bin/wget
echo
echo "A path cannot smuggle a rule into the text: it stays one quoted, escaped string."
step zorva-daemon add-file '/x", "/etc/passwd"] permission=[' 1
show_calls
echo
echo "Refusals: a relative path, \"..\", a mode out of range, an add-on kind out of range."
step zorva-daemon add-file etc/shadow 0
step zorva-daemon add-file /etc/../shadow 0
step zorva-daemon remove-file /etc/shadow 3
step zorva-daemon --kind 7 add-net /bin/nc
echo
echo "A failed deployment stays pending, and the next operation deploys everything:"
step env VREX_TEST_INTERPRETER_FAIL=sendPolicy=5 zorva-daemon add-file /srv/cache 2
echo "  pending mark: $(ls /etc/zorva-scene/policy/*.pending 2>/dev/null)"
show_calls
step zorva-daemon add-file /srv/cache 2
echo "  pending mark: $(ls /etc/zorva-scene/policy/*.pending 2>/dev/null || echo none)"
show_calls
echo
echo "The policy text $policy:"
cat "$policy"
echo
echo "The file-control lists in $doc:"
python3 - "$doc" <<'PY'
import json, sys
def walk(mods):
    for m in mods:
        for v in m["variables"]:
            if v["name"].endswith("_list"):
                print("  %s.%s = %s" % (m["type"], v["name"], json.dumps(v["value"]["value"])))
        walk(m["modules"])
walk(json.load(open(sys.argv[1]))["modules"])
PY
rm -f "$calls"
