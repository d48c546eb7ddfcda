#!/usr/bin/env bash
# Builds the release and runs every benchmark, each beside its reference in
# the same run (absolute times on a shared machine vary; the ratios matter).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)"
b=build/release/bench

echo "== store: 10,000 records (load against a plain read of the file)"
"$b/store/store_bench"
echo
echo "== container-policy-tool: write -p into a 10,000-record store against cp"
"$b/tool/tool_write_bench"
echo
echo "== core library: set and get status on 1,000 containers against python3 json"
"$b/core/bench_scene_status" 50
echo
echo "== core library: add one path to lists of 1,000, 10,000 and 100,000 paths against python3 json"
"$b/core/bench_scene_rules"
echo
echo "== plug-in: get status (decode, call a core stand-in, encode) against g_variant_parse plus g_variant_print"
"$b/plugin/plugin_bench"
echo
echo "== converter: 4 million audit lines against grep and awk"
bash bench/converter/run.sh build/release
echo
echo "== daemon: append-to-event latency and idle cost"
"$b/follower/follower_latency_bench"
echo
echo "== daemon: resident memory under hostile audit records"
"$b/hostile/hostile_memory_bench"
