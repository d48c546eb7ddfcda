// Writes a realistic kernel audit log for the converter benchmark: about half
// container records (access and network, denied and detected, quoted and bare
// fields), the rest the usual companions of an audit trail; the clock moves on
// one second every couple of hundred lines, and bursts repeat one container's
// denial of one path many times within a second, as in an attack.
//
//   vrex-bench-auditgen OUTPUT [LINES]     (default 4000000 lines)
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Rng {
    uint64_t s = 0x9e3779b97f4a7c15ULL;
    uint64_t next() {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return s;
    }
    unsigned below(unsigned n) { return static_cast<unsigned>(next() % n); }
};

const char *kPaths[] = {"/etc/passwd",
                        "/etc/shadow",
                        "/etc/hosts",
                        "/usr/bin/curl",
                        "/tmp/payload.sh",
                        "/var/lib/app/db.sqlite",
                        "/root/.ssh/authorized_keys",
                        "/usr/lib/x86_64-linux-gnu/libc.so.6",
                        "/opt/service/config.yaml",
                        "/proc/sys/kernel/core_pattern",
                        "/srv/www/index.html",
                        "/var/run/docker.sock",
                        "/home/app/.bashrc",
                        "/usr/local/bin/agent",
                        "/data/export.csv"};
const char *kProcs[] = {"/usr/bin/curl", "/usr/bin/wget", "/usr/sbin/nginx", "/usr/bin/python3.11", "/bin/nc"};
const char *kAccessOps[] = {"write",    "execute", "open",       "unlink",  "rename",
                            "truncate", "setattr", "read write", "execmod", "interpret"};
const char *kNetOps[] = {"connect", "bind", "sendmsg", "listen"};
const char *kComms[] = {"bash", "sh", "python3", "nginx", "java", "node"};

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s OUTPUT [LINES]\n", argv[0]);
        return 2;
    }
    uint64_t lines = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 4000000;
    FILE *out = std::fopen(argv[1], "w");
    if (!out) {
        std::perror(argv[1]);
        return 1;
    }
    static char buffer[1 << 20];
    std::setvbuf(out, buffer, _IOFBF, sizeof buffer);

    Rng rng;
    std::vector<std::string> ids;
    for (int i = 0; i < 24; ++i) {
        char id[65];
        for (int j = 0; j < 64; ++j)
            id[j] = "0123456789abcdef"[rng.below(16)];
        id[64] = 0;
        ids.emplace_back(id);
    }
    const unsigned nPaths = sizeof kPaths / sizeof *kPaths;
    int64_t second = 1796638780;
    unsigned msec = 0, serial = 1000;
    unsigned burstId = 0, burstPath = 0, burstLeft = 0;

    for (uint64_t n = 0; n < lines; ++n) {
        if (rng.below(200) == 0) {
            ++second;
            msec = 0;
        }
        msec = (msec + rng.below(5)) % 1000;
        ++serial;
        unsigned kind = rng.below(100);
        if (kind < 50) {
            // A container record; most of them part of a burst.
            if (burstLeft == 0 && rng.below(4) == 0) {
                burstId = rng.below(static_cast<unsigned>(ids.size()));
                burstPath = rng.below(nPaths);
                burstLeft = 20 + rng.below(200);
            }
            bool burst = burstLeft > 0;
            if (burst)
                --burstLeft;
            const std::string &id = ids[burst ? burstId : rng.below(static_cast<unsigned>(ids.size()))];
            const char *word = rng.below(5) == 0 ? "detect" : "denied";
            bool quoted = rng.below(3) != 0;
            if (!burst && rng.below(4) == 0) {
                const char *proc = kProcs[rng.below(5)];
                std::fprintf(out,
                             "type=VREX_NETCTL msg=audit(%" PRId64
                             ".%03u:%u): avc:  %s  { %s } for  pid=%u comm=\"%s\" "
                             "proc_path=%s%s%s saddr=172.17.0.%u sport=%u daddr=203.0.113.%u dport=443 proto=tcp "
                             "container_id=%s\n",
                             second, msec, serial, word, kNetOps[rng.below(4)], 1000 + rng.below(30000),
                             kComms[rng.below(6)], quoted ? "\"" : "", proc, quoted ? "\"" : "", 2 + rng.below(200),
                             32768 + rng.below(28000), 1 + rng.below(250), id.c_str());
            } else {
                const char *path = kPaths[burst ? burstPath : rng.below(nPaths)];
                const char *op = burst ? "write" : kAccessOps[rng.below(10)];
                std::fprintf(out,
                             "type=VREX_AVC msg=audit(%" PRId64 ".%03u:%u): avc:  %s  { %s } for  pid=%u comm=\"%s\" "
                             "name=%s%s%s dev=\"overlay\" ino=%u scontext=system_u:system_r:container_t:s0:c%u,c%u "
                             "tcontext=system_u:object_r:etc_t:s0 tclass=file permissive=%d container_id=%s\n",
                             second, msec, serial, word, op, 1000 + rng.below(30000), kComms[rng.below(6)],
                             quoted ? "\"" : "", path, quoted ? "\"" : "", 100000 + rng.below(900000), rng.below(1024),
                             rng.below(1024), word[1] == 'e' && word[2] == 't', id.c_str());
            }
        } else if (kind < 70) {
            std::fprintf(out,
                         "type=SYSCALL msg=audit(%" PRId64 ".%03u:%u): arch=c000003e syscall=%u success=no exit=-13 "
                         "a0=ffffff9c a1=7ffd%08x a2=241 a3=1b6 items=1 ppid=%u pid=%u auid=4294967295 uid=0 gid=0 "
                         "euid=0 suid=0 fsuid=0 egid=0 sgid=0 fsgid=0 tty=(none) ses=4294967295 comm=\"%s\" "
                         "exe=\"/usr/bin/bash\" subj=unconfined key=(null)\n",
                         second, msec, serial, 257 + rng.below(3), static_cast<unsigned>(rng.next()),
                         1 + rng.below(4000), 1000 + rng.below(30000), kComms[rng.below(6)]);
        } else if (kind < 80) {
            std::fprintf(out, "type=PROCTITLE msg=audit(%" PRId64 ".%03u:%u): proctitle=2F62696E2F62617368002D63%08x\n",
                         second, msec, serial, static_cast<unsigned>(rng.next()));
        } else if (kind < 88) {
            std::fprintf(out,
                         "type=PATH msg=audit(%" PRId64 ".%03u:%u): item=0 name=\"%s\" inode=%u dev=fd:01 mode=0100644 "
                         "ouid=0 ogid=0 rdev=00:00 nametype=NORMAL cap_fp=0 cap_fi=0 cap_fe=0 cap_fver=0\n",
                         second, msec, serial, kPaths[rng.below(nPaths)], 100000 + rng.below(900000));
        } else if (kind < 94) {
            // A host process: no container_id.
            std::fprintf(out,
                         "type=VREX_AVC msg=audit(%" PRId64 ".%03u:%u): avc:  denied  { write } for  pid=%u "
                         "comm=\"sshd\" name=\"/etc/shadow\" dev=\"vda1\" ino=%u tclass=file permissive=0\n",
                         second, msec, serial, 1000 + rng.below(30000), 100000 + rng.below(900000));
        } else {
            std::fprintf(out, "type=CWD msg=audit(%" PRId64 ".%03u:%u): cwd=\"/var/lib/app\"\n", second, msec, serial);
        }
    }
    if (std::fclose(out) != 0) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}
