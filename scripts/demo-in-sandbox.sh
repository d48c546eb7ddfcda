#!/usr/bin/env bash
# Runs inside the sandbox: installs the build at its real paths, then runs
# each demonstration step.
set -euo pipefail
build=$1
cd "$(dirname "$0")/.."
cmake --install "$build" --prefix /usr >/dev/null
ldconfig
# What the package's postinst does on a first installation: the live scene
# document starts as a copy of the shipped default.
doc=/etc/zorva-scene/scene/zorva_container.json
[ -e "$doc" ] || install -m 0644 /usr/share/zorva-scene/zorva_container.json "$doc"
export VREX_DEMO_BUILD="$build"
for step in scripts/demo.d/*.sh; do
  [ -e "$step" ] || continue
  echo
  echo "=================================================================="
  echo "== $(sed -n 's/^# demo: //p' "$step" | head -n 1)"
  echo "=================================================================="
  bash "$step"
done
