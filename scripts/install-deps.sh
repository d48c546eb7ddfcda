#!/usr/bin/env bash
# Installs every package the build, the tests, the benchmarks, the fuzz
# targets and the Debian packages need, from Debian's archive. Safe to run
# again.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  clang clang-14 libclang-rt-14-dev
  libglib2.0-dev nlohmann-json3-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  python3 gawk grep coreutils util-linux procps
  # cpack -G DEB: dpkg-shlibdeps computes Depends, file finds the programs.
  dpkg-dev file
  # The whole-system scenario rotates logs with the installed rule.
  logrotate
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all packages present"
  exit 0
fi
SUDO=
[ "$(id -u)" = 0 ] || SUDO=sudo
echo "install-deps: installing ${missing[*]}"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
