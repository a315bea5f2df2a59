#!/usr/bin/env bash
# Installs what is missing, builds, and starts ShareFetch. Arguments go to the program.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/deps.sh
tools/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo
if [ -x build/bin/sharefetch ]; then
  if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    exec xvfb-run -a -s "-screen 0 1280x800x24" build/bin/sharefetch "$@"
  fi
  exec build/bin/sharefetch "$@"
fi
exec build/bin/sharefetch-cli --help
