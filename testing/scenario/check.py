#!/usr/bin/env python3
"""Checks of the whole-system scenario (scenario.sh), one subcommand each:

  packages DEB...                control data and contents of our packages
  consumer WORK                  a program built against the installed files
  tool-list TABLE JSON ID...     the tool's list output
  kernel-records FILE ID...      every record the kernel status file got
  make-burst DIR ID...           the audit records of step 3 and their events
  final TMP PID1 PID2 ID...      every file at the end of step 4
  removed BEFORE AFTER           what "dpkg -r" left behind

Each prints what it found wrong and exits 1; 0 when all is as expected.
"""
import glob
import json
import os
import re
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ERRORS = []


def expect(cond, what):
    if not cond:
        ERRORS.append(what)
    return cond


def run(*args, **kw):
    return subprocess.run(args, check=True, capture_output=True, text=True, **kw).stdout


# The switches step 1 leaves, per container (status, exectl, netctl, filectl),
# and the kernel records it writes, in order: each set_status of a new id
# turns its three controls on, each set_module_status changes one.
def final_switches(ids):
    return {ids[0]: (2, 0, 1, 1), ids[1]: (4, 1, 1, 3), ids[2]: (2, 1, 0, 1)}


def step1_records(ids):
    return [(ids[0], (2, 1, 1, 1)), (ids[1], (4, 1, 1, 1)), (ids[2], (2, 1, 1, 1)),
            (ids[0], (2, 0, 1, 1)), (ids[1], (4, 1, 1, 3)), (ids[2], (2, 1, 0, 1))]


def record(cid, values):
    return cid.encode().ljust(65, b"\0") + bytes(values)


FILE_RULES = {"filectl_list": ["/etc/shadow"], "filectl_write_list": ['/srv/app "data", x=1'],
              "filectl_unlink_list": ["/var/lib/app"]}
NET_RULES = {"netctl_list": ["/usr/bin/curl"]}


# ---------------------------------------------------------------- packages
def check_packages(debs):
    arch = run("dpkg", "--print-architecture").strip()
    multiarch = run("dpkg-architecture", "-qDEB_HOST_MULTIARCH").strip()
    lib = f"./usr/lib/{multiarch}/"
    by_name = {}
    for deb in debs:
        fields = {}
        for line in run("dpkg-deb", "-f", deb, "Package", "Architecture", "Section", "Depends").splitlines():
            key, _, value = line.partition(": ")
            fields[key] = value
        files = {}
        for line in run("dpkg-deb", "-c", deb).splitlines():
            parts = line.split(None, 5)
            files[parts[5].split(" -> ")[0]] = parts[0]
        by_name[fields["Package"]] = (deb, fields, files)
        expect(fields["Architecture"] == arch, f"{deb}: Architecture {fields['Architecture']}")
        description = run("dpkg-deb", "-f", deb, "Description").splitlines()
        expect(len(description) >= 3 and len(description[0]) < 80, f"{deb}: description {description[:1]}")
    expect(set(by_name) == {"vrex-container", "vrex-container-dev"}, f"packages {sorted(by_name)}")
    if ERRORS:
        return
    deb, fields, files = by_name["vrex-container"]
    expect(fields["Section"] == "admin", f"runtime section {fields['Section']}")
    depends = [d.strip().split(" ")[0] for d in fields["Depends"].split(",")]
    # Computed from the shared libraries, and the interpreter named outright.
    for need in ("libvrexinterpreter1", "libc6", "libstdc++6", "libglib2.0-0"):
        expect(need in depends, f"runtime Depends lacks {need}: {fields['Depends']}")
    for path in ["./usr/sbin/vrex-log-converter", "./usr/sbin/container-policy-tool",
                 lib + "libvault_store.so", lib + "libzorva_scene_container.so.0",
                 lib + "libzorva_scene_container_plugin.so.0",
                 "./usr/lib/systemd/system/vrex-log-converter.service",
                 "./usr/lib/systemd/system/container-policy-sync.service",
                 "./etc/vrex/vrex-log-converter.conf", "./etc/logrotate.d/vrex-log-converter",
                 "./etc/vrex/container/", "./etc/zorva-scene/policy/",
                 "./usr/share/zorva-scene/zorva_container.json",
                 "./usr/share/man/man8/vrex-log-converter.8.gz", "./usr/share/man/man8/container-policy-tool.8.gz",
                 "./usr/share/bash-completion/completions/container-policy-tool"]:
        expect(path in files, f"runtime package lacks {path}")
    etc_files = sorted(p[1:] for p, mode in files.items() if p.startswith("./etc/") and not mode.startswith("d"))
    conffiles = sorted(run("dpkg-deb", "-I", deb, "conffiles").split())
    expect(etc_files == conffiles, f"files under /etc {etc_files} are not the conffiles {conffiles}")
    # The live scene document is the core library's to rewrite: never shipped.
    expect("./etc/zorva-scene/scene/zorva_container.json" not in files, "the scene document is shipped under /etc")
    for script in ("postinst", "prerm", "postrm"):
        expect(subprocess.run(["dpkg-deb", "-I", deb, script], capture_output=True).returncode == 0,
               f"runtime package lacks {script}")
    deb, fields, dev_files = by_name["vrex-container-dev"]
    expect(fields["Section"] == "libdevel", f"dev section {fields['Section']}")
    expect("vrex-container" in fields.get("Depends", ""), f"dev Depends {fields.get('Depends')}")
    for path in ["./usr/include/vault_store.h", "./usr/include/zorva_scene_container.h",
                 lib + "pkgconfig/libvault_store.pc", lib + "pkgconfig/libzorva_scene_container.pc",
                 lib + "cmake/vault_store/vault_store-config.cmake",
                 lib + "cmake/zorva_scene_container/zorva_scene_container-config.cmake",
                 lib + "libzorva_scene_container.so"]:
        expect(path in dev_files, f"dev package lacks {path}")
    # Stand-ins and the framework's libraries are never ours to ship.
    for path in list(files) + list(dev_files):
        expect(not re.search(r"vrexinterpreter|pluginmgr|standin|zorva-daemon|gtest|gmock|benchmark", path),
               f"a package ships {path}")


def check_consumer(work):
    os.makedirs(work, exist_ok=True)
    build = os.path.join(work, "cmake")
    run("cmake", "-S", os.path.join(HERE, "consumer"), "-B", build, "-G", "Ninja")
    run("cmake", "--build", build)
    out = subprocess.run([os.path.join(build, "consumer")], capture_output=True, text=True)
    expect(out.returncode == 0, f"find_package consumer: {out.returncode} {out.stdout} {out.stderr}")
    flags = run("pkg-config", "--cflags", "--libs", "libvault_store", "libzorva_scene_container").split()
    exe = os.path.join(work, "pc-consumer")
    run("cc", "-Wall", "-Werror", "-o", exe, os.path.join(HERE, "consumer", "consumer.c"), *flags)
    out = subprocess.run([exe], capture_output=True, text=True)
    expect(out.returncode == 0, f"pkg-config consumer: {out.returncode} {out.stdout} {out.stderr}")


# ---------------------------------------------------------------- tool, kernel
def check_tool_list(table, listing, ids):
    want = final_switches(ids)
    got = {e["id"]: (e["global"], e["exec"], e["net"], e["file"]) for e in json.load(open(listing))}
    expect(got == want, f"list --json {got}, expected {want}")
    text = open(table).read()
    for cid in ids:
        expect(cid in text, f"list table lacks {cid}")


def check_kernel_records(path, ids):
    data = open(path, "rb").read()
    want = [record(cid, v) for cid, v in step1_records(ids)]
    # Then the tool's sync: the whole store in one write.
    want += [record(cid, v) for cid, v in final_switches(ids).items()]
    got = [data[i:i + 69] for i in range(0, len(data), 69)]
    expect(len(data) % 69 == 0, f"{len(data)} bytes sent to the kernel, not whole 69-byte records")
    expect(got == want, "kernel records:\n  got  %s\n  want %s" % ([r[:4] + r[65:] for r in got],
                                                                  [r[:4] + r[65:] for r in want]))


# ---------------------------------------------------------------- audit burst
def make_burst(out, ids):
    """Four parts of audit records, and the events each must give. Every
    container event has a key of its own (container, path, second) except the
    planted repeats, which give nothing; so do records of other types and
    records without a container id. Times are UTC (the scenario sets TZ)."""
    os.makedirs(out, exist_ok=True)
    others = ["%064x" % (0x5eed0000 + n) for n in range(4)]
    containers = list(ids) + others
    base = 1765300000
    seq = 0
    for part, count in enumerate((1200, 1200, 300, 300), start=1):
        audit, events = [], []
        for n in range(count):
            seq += 1
            cid = containers[seq % len(containers)]
            when = base + seq // 5
            stamp = f"{when}.{seq % 1000:03d}:{seq}"
            ts = time.strftime("%b %d %H:%M:%S", time.gmtime(when))
            if seq % 3 == 0:
                path = f"/usr/bin/tool-{seq}"
                audit.append(f'type=VREX_NETCTL msg=audit({stamp}): avc:  detect  {{ connect }} for  pid={seq} '
                             f'proc_path="{path}" daddr=203.0.113.{seq % 250} container_id={cid}')
                events.append(f"{ts},container_id={cid},Event=netctl,path={path},status=permissive")
            else:
                path = f"/srv/data/file-{seq}"
                audit.append(f'type=VREX_AVC msg=audit({stamp}): avc:  denied  {{ write }} for  pid={seq} '
                             f'comm="app" name="{path}" dev="overlay" ino={seq} tclass=file container_id={cid}')
                events.append(f"{ts},container_id={cid},Event=filectl,path={path},status=enforcing")
            # Repeats only while the first run's duplicate cache is known
            # (it empties itself on every 1001st key: a repeat right after
            # that would rightly be written again).
            if seq % 10 == 0 and part <= 2:
                audit.append(audit[-1].replace(f"pid={seq} ", f"pid={seq + 1} "))  # same key: one event
            if seq % 7 == 0:
                audit.append(f"type=SYSCALL msg=audit({stamp}): arch=c000003e syscall=257 success=no exit=-13 "
                             f'comm="app" exe="/usr/bin/app"')
                audit.append(f'type=VREX_AVC msg=audit({stamp}): avc:  denied  {{ read }} for  pid={seq} '
                             f'comm="host" name="/etc/hosts" tclass=file')
        with open(os.path.join(out, f"part{part}.audit"), "w") as f:
            f.write("".join(line + "\n" for line in audit))
        with open(os.path.join(out, f"part{part}.events"), "w") as f:
            f.write("".join(line + "\n" for line in events))


# ---------------------------------------------------------------- final state
def find_module(modules, kind):
    for m in modules:
        if m.get("type") == kind:
            return m
        found = find_module(m.get("modules", []), kind)
        if found:
            return found
    return None


def lines_of(*paths):
    lines = []
    for p in paths:
        if os.path.exists(p):
            with open(p, errors="replace") as f:
                lines += f.read().splitlines()
    return lines


def check_final(tmp, pid1, pid2, ids):
    # The scene document: three entries, the rules as added.
    doc = json.load(open("/etc/zorva-scene/scene/zorva_container.json"))
    container = find_module(doc["modules"], "container")
    entries = {v["name"]: v["value"]["value"] for v in container["variables"] if v["value"].get("type") == "container"}
    got = {k: (e["status"], e["exectl"], e["netctl"], e["filectl"]) for k, e in entries.items()}
    expect(got == final_switches(ids), f"document entries {got}")
    for kind, lists in (("filectl", FILE_RULES), ("netctl", NET_RULES)):
        module = find_module(doc["modules"], kind)
        values = {v["name"]: v["value"]["value"] for v in module["variables"]}
        for name, paths in lists.items():
            expect(values.get(name) == paths, f"document {name} {values.get(name)}, expected {paths}")
    # The policy text names each rule path once, quoted and escaped.
    text = open("/etc/zorva-scene/policy/zorva_container.policy").read()
    expect(text.startswith("zorva-policy 1\n"), "policy text header")
    for paths in list(FILE_RULES.values()) + list(NET_RULES.values()):
        for p in paths:
            quoted = '"' + p.replace("\\", "\\\\").replace('"', '\\"') + '"'
            expect(text.count(quoted) == 1, f"policy text holds {quoted} {text.count(quoted)} times")
    expect("/usr/bin/wget" not in text, "the removed rule is still in the policy text")
    expect(not os.path.exists("/etc/zorva-scene/policy/zorva_container.policy.pending"), "a deployment is pending")
    # Every effective rule change reached the plugin manager's merge.
    merges = [l for l in lines_of(os.path.join(tmp, "pluginmgr.calls")) if l.startswith("zorva2_scene_plugin_merge")]
    expect(len(merges) == 6, f"{len(merges)} merge calls, expected 6")
    expect(len(lines_of(os.path.join(tmp, "interpreter.calls"))) >= 6, "the interpreter was not called")
    # The store, as the tool reads it.
    listing = json.loads(run("container-policy-tool", "list", "--json"))
    got = {e["id"]: (e["global"], e["exec"], e["net"], e["file"]) for e in listing}
    expect(got == final_switches(ids), f"store {got}")
    # The event log: every event of the burst, once each, in order, across
    # the rotation of the event log.
    want = []
    for part in sorted(glob.glob(os.path.join(tmp, "burst", "part*.events"))):
        want += lines_of(part)
    events = lines_of("/var/log/zorva_container.log.1", "/var/log/zorva_container.log")
    expect(len(lines_of("/var/log/zorva_container.log.1")) > 0, "the event log was not rotated")
    if events != want:
        seen = set(events)
        lost = [e for e in want if e not in seen]
        twice = len(events) - len(seen)
        ERRORS.append(f"event log: {len(events)} lines, {len(want)} expected; {len(lost)} lost "
                      f"(first {lost[:2]}), {twice} repeated")
    # The diagnostic log: two starts, the reopening on SIGHUP, no errors.
    diag = lines_of("/var/log/vrex-log-converter.log.1", "/var/log/vrex-log-converter.log")
    for pid in (pid1, pid2):
        expect(any(f"Daemon started (pid {pid})" in l for l in diag), f"no start of pid {pid} in the diagnostic log")
    expect(any("SIGHUP" in l for l in diag), "the diagnostic log does not show the SIGHUP")
    expect(len(lines_of("/var/log/vrex-log-converter.log.1")) > 0, "the diagnostic log was not rotated")
    errors = [l for l in diag if "[ERROR]" in l]
    expect(not errors, f"errors in the diagnostic log: {errors[:3]}")
    expect(os.path.getsize("/var/lib/vrex-log-converter/position") > 0, "no saved position")


# ---------------------------------------------------------------- removal
# What "dpkg -r" may leave: the conffiles, and what the system made at run
# time (the scene document, the policy text, the store and its lock, the
# logs, rotated ones included, the daemon's saved position and lock), with
# the directories that hold them.
LEFT = [r"/etc/vrex/vrex-log-converter\.conf", r"/etc/logrotate\.d/vrex-log-converter",
        r"/etc/zorva-scene/scene/zorva_container\.json", r"/etc/zorva-scene/policy/zorva_container\.policy",
        r"/etc/vrex/container/container\.xml(\.lock)?",
        r"/var/log/(zorva_container|vrex-log-converter)\.log(\.\d+(\.gz)?|\.lock)?",
        r"/var/log/vrex_audit\.log(\.\d+)?", r"/var/lib/vrex-log-converter/position",
        r"/etc/(vrex|vrex/container|zorva-scene|zorva-scene/scene|zorva-scene/policy)",
        r"/var/lib/vrex-log-converter", r"/etc/ld\.so\.cache"]


def check_removed(before, after):
    old = set(lines_of(before))
    new = [p for p in lines_of(after) if p not in old]
    stray = [p for p in new if not any(re.fullmatch(pattern, p) for pattern in LEFT)]
    expect(not stray, f"dpkg -r left {stray}")
    for must in ("/etc/vrex/vrex-log-converter.conf", "/etc/zorva-scene/scene/zorva_container.json",
                 "/etc/vrex/container/container.xml", "/var/log/zorva_container.log"):
        expect(must in new, f"dpkg -r took {must}")


def main():
    cmd, args = sys.argv[1], sys.argv[2:]
    if cmd == "packages":
        check_packages(args)
    elif cmd == "consumer":
        check_consumer(args[0])
    elif cmd == "tool-list":
        check_tool_list(args[0], args[1], args[2:])
    elif cmd == "kernel-records":
        check_kernel_records(args[0], args[1:])
    elif cmd == "make-burst":
        make_burst(args[0], args[1:])
    elif cmd == "final":
        check_final(args[0], args[1], args[2], args[3:])
    elif cmd == "removed":
        check_removed(args[0], args[1])
    else:
        sys.exit(f"check.py: unknown check {cmd}")
    for e in ERRORS:
        print(f"check {cmd}: {e}", file=sys.stderr)
    sys.exit(1 if ERRORS else 0)


if __name__ == "__main__":
    main()
