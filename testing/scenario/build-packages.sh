#!/usr/bin/env bash
# Builds the Debian packages as a distribution would: a release build without
# tests or benchmarks (-DBUILD_TESTING=OFF), on a machine without GoogleTest
# or Google Benchmark, then "cpack -G DEB".
#
#   build-packages.sh SOURCE_DIR BUILD_DIR PACKAGE_DIR
#
# Runs inside the test sandbox, where /usr is an overlay: the files of the
# GoogleTest and Google Benchmark packages are deleted there first (the host
# keeps them), and a configuration with the tests on must then fail, which
# shows that the build without them really did without them.
set -euo pipefail

[ $# -eq 3 ] || { echo "usage: build-packages.sh SOURCE_DIR BUILD_DIR PACKAGE_DIR" >&2; exit 2; }
src=$1
build=$2
out=$3
[ "${VREX_SANDBOX:-}" = 1 ] || { echo "build-packages.sh: run me inside testing/sandbox/vrex-sandbox" >&2; exit 2; }

hidden=0
for pkg in libgtest-dev libgmock-dev googletest libbenchmark-dev libbenchmark1debian; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || continue
  while IFS= read -r path; do
    if [ -f "$path" ] || [ -L "$path" ]; then
      rm -f "$path"
      hidden=$((hidden + 1))
    fi
  done < <(dpkg -L "$pkg")
done
echo "build-packages: hid $hidden files of GoogleTest and Google Benchmark"

configure=(cmake -S "$src" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr
           -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++)

probe="$VREX_SANDBOX_SCRATCH/probe"
if "${configure[@]}" -B "$probe" -DBUILD_TESTING=ON >"$probe.log" 2>&1; then
  echo "build-packages: FAIL: a configuration with the tests on found GoogleTest after it was hidden" >&2
  exit 1
fi
grep -q "GTest" "$probe.log" || { echo "build-packages: FAIL: the tests' configuration failed, but not for want of GoogleTest:" >&2; cat "$probe.log" >&2; exit 1; }
echo "build-packages: a configuration with the tests on fails without GoogleTest, as it should"

"${configure[@]}" -B "$build" -DBUILD_TESTING=OFF -DVREX_BENCH=OFF >/dev/null
cmake --build "$build" -j "$(nproc)"

rm -rf "$out"
mkdir -p "$out"
(cd "$build" && cpack -G DEB -B "$out" >"$out/cpack.log" 2>&1) || { cat "$out/cpack.log" >&2; exit 1; }
rm -rf "$out/_CPack_Packages"
ls -l "$out"/*.deb
