#!/bin/sh
# Checks the shipped plug-in: its SONAME, that it links the core library and
# GLib, and that it exports exactly the symbols listed in EXPECTED.
#   check_exports.sh PLUGIN EXPECTED
set -eu
plugin=$1
expected=$2

fail() { echo "check_exports: $*" >&2; exit 1; }

dynamic=$(objdump -p "$plugin")
echo "$dynamic" | grep -Eq '^ +SONAME +libzorva_scene_container_plugin\.so\.0$' || fail "SONAME is not libzorva_scene_container_plugin.so.0"
echo "$dynamic" | grep -Eq '^ +NEEDED +libzorva_scene_container\.so\.0$' || fail "does not link libzorva_scene_container.so.0"
echo "$dynamic" | grep -Eq '^ +NEEDED +libglib-2\.0\.so\.0$' || fail "does not link libglib-2.0.so.0"

actual=$(nm -D --defined-only "$plugin" | awk '{ print $3 }' | LC_ALL=C sort)
wanted=$(grep -v '^#' "$expected" | LC_ALL=C sort)
if [ "$actual" != "$wanted" ]; then
  echo "check_exports: exported symbols differ (< expected, > exported):" >&2
  printf '%s\n' "$wanted" > "${TMPDIR:-/tmp}/check_exports.$$.wanted"
  printf '%s\n' "$actual" | diff "${TMPDIR:-/tmp}/check_exports.$$.wanted" - >&2 || true
  rm -f "${TMPDIR:-/tmp}/check_exports.$$.wanted"
  exit 1
fi
echo "check_exports: $(echo "$actual" | wc -l) symbols, as expected"
