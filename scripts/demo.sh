#!/usr/bin/env bash
# Installs the dependencies, builds the release, installs it into the test
# sandbox (a private mount namespace: nothing on the host changes) and runs
# the demonstration steps of scripts/demo.d in order.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)"
exec testing/sandbox/vrex-sandbox -- scripts/demo-in-sandbox.sh "$PWD/build/release"
