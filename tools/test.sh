#!/usr/bin/env bash
# Installs what is missing, checks the layout of the sources, builds, and runs every test: the
# whole suite, lintian on the Debian package, the core's suite again under AddressSanitizer and
# UndefinedBehaviorSanitizer, then each fuzzer for a while.
#   FUZZ_SECONDS=N   seconds per fuzzer (default 15; 0 skips fuzzing)
set -euo pipefail
cd "$(dirname "$0")/.."
tools/deps.sh
jobs=$(nproc)
phase() { echo "== $1 (at ${SECONDS}s)" >&2; }

phase "source layout (clang-format)"
find src tests tools \( -name '*.cpp' -o -name '*.h' \) -print0 |
  xargs -0 clang-format --dry-run -Werror

phase "build and test"
tools/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo
QT_QPA_PLATFORM=offscreen ctest --test-dir build --output-on-failure -j"$jobs"

# The Debian package of that build, as Debian's own checker sees it: no error and no warning
# (pedantic and informational notes may stay).
if command -v lintian >/dev/null; then
  phase "Debian package (lintian)"
  rm -f build/package/sharefetch_*.deb
  cpack --config build/CPackConfig.cmake -B build/package >/dev/null
  lintian --fail-on error,warning build/package/sharefetch_*.deb
fi

phase "core tests under AddressSanitizer and UndefinedBehaviorSanitizer"
tools/build.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang \
  -DCMAKE_CXX_COMPILER=clang++ -DSHAREFETCH_SANITIZE=ON -DSHAREFETCH_GUI=OFF
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j"$jobs"

seconds=${FUZZ_SECONDS:-15}
if [ "$seconds" -gt 0 ]; then
  phase "fuzzing, ${seconds}s per target"
  SF_TARGET=fuzzers tools/build.sh build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
    -DCMAKE_CXX_COMPILER=clang++ -DSHAREFETCH_FUZZ=ON -DSHAREFETCH_GUI=OFF
  tools/fuzz.sh build-fuzz "$seconds"
fi
echo "== all tests passed (${SECONDS}s)" >&2
