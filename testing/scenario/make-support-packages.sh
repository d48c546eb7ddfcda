#!/usr/bin/env bash
# Builds the test-support packages the scenario installs beside ours. The
# framework's parts are not ours to ship; the scenario stands them in:
#   libvrexinterpreter1         the policy interpreter stand-in, under the
#                               name our package depends on;
#   zorva-scene-test-support    the plugin manager library stand-in, and the
#                               plug-in host as "/usr/sbin/zorva-daemon" (the
#                               only caller the core library answers).
#
#   make-support-packages.sh SOURCE_DIR PACKAGE_BUILD_DIR OUT_DIR
#
# The interpreter stand-in comes from the package build (the core library
# there was linked against it); the other two are compiled here, with the
# same compiler and without the tests' sanitizers.
set -euo pipefail

[ $# -eq 3 ] || { echo "usage: make-support-packages.sh SOURCE_DIR PACKAGE_BUILD_DIR OUT_DIR" >&2; exit 2; }
src=$1
build=$2
out=$3
arch=$(dpkg --print-architecture)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# control PACKAGE ROOT DESCRIPTION: the package's control file and triggers.
control() {
  mkdir -p "$2/DEBIAN"
  cat > "$2/DEBIAN/control" <<EOF
Package: $1
Version: 0.0-test1
Architecture: $arch
Section: libs
Priority: optional
Maintainer: vrex container module maintainers <vrex-container@localhost>
Description: $3
 Test support for the whole-system scenario of the container module. Never
 install it on a real host.
EOF
  echo "activate-noawait ldconfig" > "$2/DEBIAN/triggers"
}

lib=usr/lib/$multiarch

interp=$(readlink -f "$build/testing/interpreter/libvrexinterpreter.so.1")
[ -f "$interp" ] || { echo "make-support-packages: no interpreter stand-in in $build" >&2; exit 1; }
root=$work/libvrexinterpreter1
mkdir -p "$root/$lib"
install -m 0644 "$interp" "$root/$lib/libvrexinterpreter.so.1"
control libvrexinterpreter1 "$root" "policy interpreter (test stand-in)"

root=$work/zorva-scene-test-support
mkdir -p "$root/$lib" "$root/usr/sbin"
gcc -O2 -fPIC -shared -Wl,-soname,libzorva_scene_pluginmgr.so.0 \
  -o "$root/$lib/libzorva_scene_pluginmgr.so.0" "$src/testing/pluginmgr/pluginmgr_standin.c"
chmod 0644 "$root/$lib/libzorva_scene_pluginmgr.so.0"
# shellcheck disable=SC2046
g++ -std=c++20 -O2 -o "$root/usr/sbin/zorva-daemon" \
  -I"$src/testing/plugin-host" -I"$src/scene-plugin/include" \
  "$src/testing/plugin-host/plugin_host.cpp" "$src/testing/plugin-host/host_args.cpp" \
  $(pkg-config --cflags --libs glib-2.0) -ldl
control zorva-scene-test-support "$root" "scene plugin manager and its host (test stand-ins)"

mkdir -p "$out"
for pkg in libvrexinterpreter1 zorva-scene-test-support; do
  dpkg-deb --root-owner-group -Zxz --build "$work/$pkg" "$out/${pkg}_0.0-test1_$arch.deb" >/dev/null
done
ls "$out"/libvrexinterpreter1_*.deb "$out"/zorva-scene-test-support_*.deb
