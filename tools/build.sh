#!/usr/bin/env bash
# Configures and builds one build tree. Usage: tools/build.sh DIR [cmake options...]
#   SF_TARGET=NAME   builds that target (and what it needs) instead of everything
set -euo pipefail
cd "$(dirname "$0")/.."
dir=$1; shift
if [ ! -f "$dir/build.ninja" ]; then
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
fi
cmake --build "$dir" -j"$(nproc)" ${SF_TARGET:+--target "$SF_TARGET"}
