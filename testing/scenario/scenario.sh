#!/usr/bin/env bash
# The whole system, from its Debian packages, in the test sandbox:
#
#   vrex-sandbox --fifo-status --private-run -- scenario.sh SOURCE_DIR WORK_DIR
#
# Builds the packages as a distribution would (no tests, GoogleTest and
# Google Benchmark hidden), checks their control data and contents, installs
# them with dpkg beside the test-support packages (the framework's parts),
# builds a small program against the installed development files, then:
#   1. through the plug-in: protection on for three containers, their
#      controls, file and network rules;
#   2. with the tool: list (table and JSON), read, re-sync; every kernel
#      record written, read from the FIFO status file;
#   3. the daemon from its installed configuration: a burst of audit records,
#      the audit log rotated in the middle, the daemon's logs rotated by the
#      installed rule and SIGHUP, SIGKILL and a restart;
#   4. every file checked; "dpkg -r" leaves only conffiles and what the
#      system made at run time; "dpkg -P" takes the conffiles.
# The maintainer scripts' calls to systemd are recorded by a stand-in
# systemctl: none at installation without systemd; stop and reload at
# removal, and reload, enable and start at a new installation, as if
# systemd ran ("/run/systemd/system" made in the private /run).
# Each check that fails prints what it saw; the script stops at the first.
set -euo pipefail

[ $# -eq 2 ] || { echo "usage: scenario.sh SOURCE_DIR WORK_DIR" >&2; exit 2; }
[ "${VREX_SANDBOX:-}" = 1 ] || { echo "scenario.sh: run me inside testing/sandbox/vrex-sandbox" >&2; exit 2; }
src=$(readlink -f "$1")
work=$2
here=$src/testing/scenario
tmp=$VREX_SANDBOX_SCRATCH
export TZ=UTC LC_ALL=C
# Each stand-in writes every call it gets here.
export VREX_TEST_INTERPRETER_LOG=$tmp/interpreter.calls VREX_TEST_PLUGINMGR_LOG=$tmp/pluginmgr.calls

kernel=/sys/kernel/security/vrex/policy_docker/dockerstatus
[ -p "$kernel" ] || { echo "scenario: the kernel status file must be a FIFO (--fifo-status)" >&2; exit 2; }
[ ! -e /run/systemd/system ] || { echo "scenario: /run must be private (--private-run)" >&2; exit 2; }

# Whatever happens, the logs and files the system made stay for a look.
keep() {
  for pid in ${kernel_reader:-} ${daemon:-}; do kill -KILL "$pid" 2>/dev/null || true; done
  mkdir -p "$work/last-run"
  cp -a /var/log/vrex_audit.log* /var/log/zorva_container.log* /var/log/vrex-log-converter.log* \
        /var/lib/vrex-log-converter /etc/zorva-scene /etc/vrex "$tmp"/*.calls "$tmp"/kernel.records \
        "$work/last-run/" 2>/dev/null || true
}
trap keep EXIT
rm -rf "$work/last-run"

say() { printf '\n== %s\n' "$*"; }
fail() { echo "scenario: FAIL: $*" >&2; exit 1; }
check() { python3 "$here/check.py" "$@" || fail "check $1"; }

say "building the packages without tests"
bash "$here/build-packages.sh" "$src" "$work/build" "$work/packages"
bash "$here/make-support-packages.sh" "$src" "$work/build" "$work/support"
debs=("$work"/packages/*.deb)
check packages "${debs[@]}"

# Every file the kernel is sent, in order, kept by a reader that holds the
# FIFO open for reading and writing (so that no writer ever blocks on it).
exec 3<>"$kernel"
cat <&3 > "$tmp/kernel.records" &
kernel_reader=$!
# The file list before installation, to compare with what removal leaves.
snapshot() { find /etc /usr /var /var/log /var/lib -xdev \( -path /var/lib/dpkg -o -path /var/cache -o -path /var/lib/apt \) -prune -o -print | sort; }
snapshot > "$tmp/before.list"

say "installing"
# A stand-in systemctl records what the maintainer scripts ask of systemd;
# they may ask only while "/run/systemd/system" says systemd runs.
mkdir -p /usr/local/sbin
printf '#!/bin/sh\necho "$*" >> /run/systemctl.calls\n' > /usr/local/sbin/systemctl
chmod 0755 /usr/local/sbin/systemctl
dpkg -i "$work"/support/*.deb "${debs[@]}"
[ ! -e /run/systemctl.calls ] || fail "postinst called systemctl without systemd: $(cat /run/systemctl.calls)"
doc=/etc/zorva-scene/scene/zorva_container.json
cmp "$doc" /usr/share/zorva-scene/zorva_container.json || fail "postinst did not copy the default scene document"
[ ! -e /etc/systemd/system/multi-user.target.wants/vrex-log-converter.service ] ||
  fail "postinst enabled units without systemd running"

say "building a program against the installed development files"
check consumer "$work/consumer"

say "step 1: the plug-in switches protection on for three containers, sets their controls and rules"
ids=(
  "$(printf 'a1%.0s' $(seq 32))"
  "$(printf '0b%.0s' $(seq 32))"
  "$(printf 'c3%.0s' $(seq 32))"
)
# plugin ENTRY REQUEST: one call through the plug-in, as the plugin manager
# makes it; prints the response.
plugin() { zorva-daemon "$@"; }
expect_code() {
  local code=$1; shift
  local out
  out=$(plugin "$@") || fail "zorva-daemon $* exited $?"
  case "$out" in *"'code': <$code>"*) ;; *) fail "zorva-daemon $*: expected code $code, got $out" ;; esac
  printf '%s\n' "$out"
}
expect_code 0 container_set_status "{'param1': <'${ids[0]}'>, 'param2': <2>}"
expect_code 0 container_set_status "{'param1': <'${ids[1]}'>, 'param2': <4>}"
expect_code 0 container_set_status "{'param1': <'${ids[2]}'>, 'param2': <2>}"
expect_code 0 container_set_module_status "{'param1': <'${ids[0]}'>, 'param2': <uint32 0>, 'param3': <uint32 0>}"
expect_code 0 container_set_module_status "{'param1': <'${ids[1]}'>, 'param2': <uint32 2>, 'param3': <uint32 3>}"
expect_code 0 container_set_module_status "{'param1': <'${ids[2]}'>, 'param2': <uint32 1>, 'param3': <uint32 0>}"
expect_code 0 container_get_module_status "{'param1': <'${ids[1]}'>, 'param2': <uint32 2>}" | grep -q "'data': <3>" ||
  fail "get_module_status does not read back 3"
# A refusal changes nothing: an unknown container, a status out of range.
expect_code -3 container_set_module_status "{'param1': <'$(printf 'ee%.0s' $(seq 32))'>, 'param2': <uint32 0>, 'param3': <uint32 1>}"
expect_code -1 container_set_status "{'param1': <'${ids[0]}'>, 'param2': <3>}"
expect_code 0 filectl_add_container_policy_by_path "{'param1': <'/etc/shadow'>, 'param2': <uint32 0>}"
expect_code 0 filectl_add_container_policy_by_path "{'param1': <'/srv/app \"data\", x=1'>, 'param2': <uint32 1>}"
expect_code 0 filectl_add_container_policy_by_path "{'param1': <'/var/lib/app'>, 'param2': <uint32 2>}"
expect_code 0 netctl_add_container_policy_by_path "{'param1': <'/usr/bin/curl'>}"
expect_code 0 netctl_add_container_policy_by_path "{'param1': <'/usr/bin/wget'>}"
expect_code 0 netctl_remove_container_policy_by_path "{'param1': <'/usr/bin/wget'>}"
expect_code -3 netctl_remove_container_policy_by_path "{'param1': <'/usr/bin/wget'>}"

# An upgrade (here the same version again) never puts the default document
# over the live one.
cp "$doc" "$tmp/document.step1"
dpkg -i "$work"/packages/vrex-container_*.deb
cmp "$doc" "$tmp/document.step1" || fail "reinstalling the package changed the scene document"

say "step 2: the tool lists, reads and re-syncs"
container-policy-tool list | tee "$tmp/list.txt"
container-policy-tool list --json > "$tmp/list.json"
check tool-list "$tmp/list.txt" "$tmp/list.json" "${ids[@]}"
container-policy-tool sync || fail "container-policy-tool sync"
# "read" shows the kernel's table, which a FIFO cannot hold: a regular file
# holding what sync sent stands in for it while the tool reads.
sleep 0.5
kill "$kernel_reader"
wait "$kernel_reader" 2>/dev/null || true
exec 3>&-
check kernel-records "$tmp/kernel.records" "${ids[@]}"
rm "$kernel"
tail -c $((3 * 69)) "$tmp/kernel.records" > "$kernel"
container-policy-tool read | tee "$tmp/read.txt"
grep -q "^Current policies:" "$tmp/read.txt" && grep -q "${ids[0]}" "$tmp/read.txt" || fail "tool read"

say "step 3: the daemon converts a burst of audit records across rotations, SIGHUP, SIGKILL and a restart"
audit=/var/log/vrex_audit.log
events=/var/log/zorva_container.log
diag=/var/log/vrex-log-converter.log
: > "$audit"
start_daemon() {
  vrex-log-converter &
  daemon=$!
  for _ in $(seq 200); do
    grep -qs "Daemon started (pid $daemon)" "$diag" && return 0
    kill -0 "$daemon" 2>/dev/null || fail "the daemon exited at start"
    sleep 0.05
  done
  fail "the daemon did not start"
}
# The burst: audit records (with non-container records and duplicates among
# them) and, beside it, the events they must give, in order.
python3 "$here/check.py" make-burst "$tmp/burst" "${ids[@]}"
wait_events() {
  local want=$1
  for _ in $(seq 600); do
    [ "$(cat "$events".1 "$events" 2>/dev/null | wc -l)" -ge "$want" ] && return 0
    sleep 0.1
  done
  fail "the event log holds $(cat "$events".1 "$events" 2>/dev/null | wc -l) lines, not $want"
}
start_daemon
first_pid=$daemon
cat "$tmp/burst/part1.audit" >> "$audit"
# The audit log is the framework's: a rule of its own rotates it, at once,
# with the daemon still reading it.
cat > "$tmp/audit.logrotate" <<EOF
$audit {
    rotate 2
    create 0600 root root
}
EOF
logrotate -f -s "$tmp/audit.state" "$tmp/audit.logrotate"
cat "$tmp/burst/part2.audit" >> "$audit"
wait_events "$(cat "$tmp/burst/part1.events" "$tmp/burst/part2.events" | wc -l)"
# The daemon's own logs, by the installed rule; its postrotate reaches the
# daemon through systemd, which is not running here: SIGHUP it directly.
logrotate -f -s "$tmp/daemon.state" /etc/logrotate.d/vrex-log-converter
[ "$(cat /run/systemctl.calls)" = "kill -s HUP vrex-log-converter.service" ] ||
  fail "the installed rule's postrotate asked systemd for: $(cat /run/systemctl.calls)"
rm /run/systemctl.calls
kill -HUP "$daemon"
cat "$tmp/burst/part3.audit" >> "$audit"
sleep 0.3
kill -KILL "$daemon"
wait "$daemon" 2>/dev/null || true
cat "$tmp/burst/part4.audit" >> "$audit"
start_daemon
wait_events "$(cat "$tmp/burst"/part*.events | wc -l)"
sleep 1.5
kill -TERM "$daemon"
wait "$daemon" || fail "the daemon's exit status after SIGTERM is $?"

say "step 4: every file"
check final "$tmp" "$first_pid" "$daemon" "${ids[@]}"

say "removing"
# Now as if systemd ran: removal stops both units and reloads systemd.
mkdir -p /run/systemd/system
dpkg -r zorva-scene-test-support vrex-container-dev vrex-container libvrexinterpreter1
printf 'stop vrex-log-converter.service container-policy-sync.service\ndaemon-reload\n' |
  cmp - /run/systemctl.calls || fail "systemctl calls at removal: $(cat /run/systemctl.calls)"
rm -rf /usr/local/sbin/systemctl /run/systemd
snapshot > "$tmp/after-remove.list"
check removed "$tmp/before.list" "$tmp/after-remove.list"
dpkg -P vrex-container vrex-container-dev zorva-scene-test-support libvrexinterpreter1
for f in /etc/vrex/vrex-log-converter.conf /etc/logrotate.d/vrex-log-converter; do
  [ ! -e "$f" ] || fail "$f is still there after dpkg -P"
done
[ -s "$doc" ] && [ -s /etc/vrex/container/container.xml ] && [ -s "$events" ] ||
  fail "dpkg -P took what the system made at run time"

say "installing again, as if systemd ran"
# A first installation again (the package was purged): the units are
# enabled and started; the scene document the system made stays as it is.
cp "$doc" "$tmp/document.kept"
mkdir -p /run/systemd/system
printf '#!/bin/sh\necho "$*" >> /run/systemctl.calls\n' > /usr/local/sbin/systemctl
chmod 0755 /usr/local/sbin/systemctl
rm -f /run/systemctl.calls
dpkg -i "$work"/support/libvrexinterpreter1_*.deb "$work"/packages/vrex-container_*.deb
units="vrex-log-converter.service container-policy-sync.service"
printf 'daemon-reload\nenable %s\nstart %s\n' "$units" "$units" | cmp - /run/systemctl.calls ||
  fail "systemctl calls at installation: $(cat /run/systemctl.calls)"
cmp "$doc" "$tmp/document.kept" || fail "installation replaced an existing scene document"
dpkg -P vrex-container libvrexinterpreter1
echo
echo "scenario: all checks passed"
