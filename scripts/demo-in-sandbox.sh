#!/usr/bin/env bash
# Runs inside the sandbox: installs the build at its real paths, then runs
# each demonstration step.
set -euo pipefail
build=$1
cd "$(dirname "$0")/.."
cmake --install "$build" --prefix /usr >/dev/null
ldconfig
export VREX_DEMO_BUILD="$build"
for step in scripts/demo.d/*.sh; do
  [ -e "$step" ] || continue
  echo
  echo "=================================================================="
  echo "== $(sed -n 's/^# demo: //p' "$step" | head -n 1)"
  echo "=================================================================="
  bash "$step"
done
