#!/usr/bin/env bash
# Installs what is missing, builds, and starts ShareFetch. Arguments go to the program.
# With --demo, the local share service is started with its demo shares first and the window
# is pointed at it, its two address boxes holding the demo shares' links.
set -euo pipefail
cd "$(dirname "$0")/.."
args=()
demo=0
for a in "$@"; do
  if [ "$a" = --demo ]; then demo=1; else args+=("$a"); fi
done
tools/deps.sh
tools/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo
if [ ! -x build/bin/sharefetch ]; then
  exec build/bin/sharefetch-cli --help
fi
run=(build/bin/sharefetch)
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  run=(xvfb-run -a -s "-screen 0 1280x800x24" build/bin/sharefetch)
fi
if [ "$demo" = 0 ]; then
  exec "${run[@]}" ${args[@]+"${args[@]}"}
fi

# The service stops when its standard input closes: when this script ends, however it ends.
out=$(mktemp)
exec 3> >(build/bin/share-sim --demo --exit-on-eof >"$out")
trap 'exec 3>&-; rm -f "$out"' EXIT
host=
for _ in $(seq 100); do
  host=$(sed -n 's/^listening on \(http:[^ ]*\)$/\1/p' "$out")
  [ -n "$host" ] && break
  sleep 0.1
done
if [ -z "$host" ]; then
  echo "start.sh: the demo share service did not start" >&2
  exit 1
fi
cat "$out"
"${run[@]}" --host "$host" --url "$host/s/1demoPublic" --quick-url "$host/s/1demoQuick" \
  ${args[@]+"${args[@]}"} 3>&-
