#!/usr/bin/env bash
# demo: the container policy store (libvault_store.so through its C interface)
set -euo pipefail

store=/etc/vrex/container/container.xml
kernel=/sys/kernel/security/vrex/policy_docker/dockerstatus
mkdir -p /etc/vrex/container

python3 - <<'PY'
import ctypes

class ContainerPolicy(ctypes.Structure):
    _pack_ = 1
    _fields_ = [("container_id", ctypes.c_char * 65),
                ("global_switch", ctypes.c_uint8),
                ("exec_control", ctypes.c_uint8),
                ("network_control", ctypes.c_uint8),
                ("file_protection", ctypes.c_uint8)]

assert ctypes.sizeof(ContainerPolicy) == 69
lib = ctypes.CDLL("libvault_store.so")
lib.vault_store_get_default_path.restype = ctypes.c_char_p
lib.vault_store_exists.restype = ctypes.c_bool

def step(title, rc):
    libc.fflush(None)  # keep the library's messages in order with ours
    print(f"-> {title}: returned {rc}", flush=True)

libc = ctypes.CDLL(None)
print("store file:", lib.vault_store_get_default_path().decode(), flush=True)
step("vault_store_init", lib.vault_store_init())

web = b"0123456789abcdef" * 4
db = b"fedcba9876543210" * 4
step("add web (on, exec, file)", lib.vault_store_add_policy(ctypes.byref(ContainerPolicy(web, 2, 1, 0, 1))))
step("add db (soft mode, all controls)", lib.vault_store_add_policy(ctypes.byref(ContainerPolicy(db, 4, 1, 1, 1))))
step("update web (network control on)", lib.vault_store_add_policy(ctypes.byref(ContainerPolicy(web, 2, 1, 1, 1))))
step("add with a bad identifier", lib.vault_store_add_policy(ctypes.byref(ContainerPolicy(b"not-hex", 2, 1, 1, 1))))

found = ContainerPolicy()
step("find db", lib.vault_store_find_policy(db, ctypes.byref(found)))
print(f"   db: global={found.global_switch} exec={found.exec_control} "
      f"net={found.network_control} file={found.file_protection}", flush=True)
step("find an unknown container", lib.vault_store_find_policy(b"0" * 64, ctypes.byref(found)))
step("sync to the kernel", lib.vault_store_sync_to_kernel())
PY

echo
echo "--- $store"
cat "$store"
size=$(stat -c %s "$kernel")
echo "--- $kernel ($size bytes: $((size / 69)) records of 69 bytes)"
od -A d -c "$kernel" | head -n 12

echo
python3 - <<'PY'
import ctypes
lib = ctypes.CDLL("libvault_store.so")
libc = ctypes.CDLL(None)
rc = lib.vault_store_remove_policy(b"0123456789abcdef" * 4)
libc.fflush(None)
print(f"-> remove web: returned {rc}", flush=True)
PY
echo "--- $store after the removal"
cat "$store"

# Leave a clean slate for the next steps: an empty store and an empty
# kernel table (a write of zero bytes clears it).
python3 -c 'import ctypes; ctypes.CDLL("libvault_store.so").vault_store_clear_all()'
: > "$kernel"
echo "--- $store after vault_store_clear_all"
cat "$store"
