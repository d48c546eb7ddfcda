#!/usr/bin/env bash
# Installs the dependencies, then builds and runs every test:
#   1. the release build (g++, -Werror), which also compiles the benchmarks;
#   2. the clang build with libFuzzer, replaying every fuzz target's seeds;
#   3. the debug build with AddressSanitizer and UndefinedBehaviorSanitizer,
#      running the whole test suite, end-to-end sandbox tests included, and
#      the whole-system scenario (release_scenario_test): the Debian packages
#      built without tests, installed with dpkg in the sandbox and driven.
# Under CI (CI=true) a sandbox test that cannot run fails instead of skipping.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
if [ "${CI:-}" = true ]; then export VREX_REQUIRE_SANDBOX=1; fi
jobs=$(nproc)

cmake --preset release >/dev/null
cmake --build --preset release -j "$jobs"

cmake --preset clang >/dev/null
cmake --build --preset clang -j "$jobs"
ctest --preset clang -L fuzz -j "$jobs"

cmake --preset debug >/dev/null
cmake --build --preset debug -j "$jobs"
ctest --preset debug -j "$jobs"
