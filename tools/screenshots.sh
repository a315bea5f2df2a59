#!/usr/bin/env bash
# Starts the window against the local share service and saves screenshots of each tab and of
# both prompt dialogs. Usage: tools/screenshots.sh [OUTPUT_DIR]   (default: build/screenshots)
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-build/screenshots}
tools/deps.sh
tools/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo
QT_QPA_PLATFORM=offscreen build/bin/sharefetch-shots "$out"
