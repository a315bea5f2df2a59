#!/usr/bin/env bash
# Installs the build into a temporary prefix, as a user or the package gets it, and checks the
# installed tree: its files, --version, a download through the installed engine from a local
# server, the service's unit and a first start of the installed service with its page, the
# desktop entry and the AppStream metadata against their validators, and the manual pages and
# the bash completion against what the programs' own --help lists, and the papers a Debian
# package wants: the copyright file from LICENSE and the compressed changelog.
# Usage: install_test.sh SOURCE_DIR BUILD_DIR VERSION GUI(ON|OFF)
set -uo pipefail
source=$1 build=$2 version=$3 gui=$4

work=$(mktemp -d "${TMPDIR:-/tmp}/sf-install-XXXXXX")
server=""
daemon_pid=""
cleanup() {
  if [ -n "$server" ]; then kill "$server" 2>/dev/null; wait "$server" 2>/dev/null; fi
  if [ -n "$daemon_pid" ]; then kill "$daemon_pid" 2>/dev/null; wait "$daemon_pid" 2>/dev/null; fi
  rm -rf "$work"
}
trap cleanup EXIT

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
need() {
  command -v "$1" >/dev/null && return
  echo "FAIL: $1 is missing; tools/deps.sh installs it (package $2)" >&2
  exit 1
}
need man man-db
need desktop-file-validate desktop-file-utils
need python3 python3
need dpkg-parsechangelog dpkg-dev

prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 ||
  { cat "$work/install.log" >&2; echo "FAIL: cmake --install" >&2; exit 1; }
cli=$prefix/bin/sharefetch-cli
window=$prefix/bin/sharefetch
desktop=$prefix/share/applications/org.sharefetch.ShareFetch.desktop
metainfo=$prefix/share/metainfo/org.sharefetch.ShareFetch.metainfo.xml
completion=$prefix/share/bash-completion/completions/sharefetch-cli

# Exactly these files, the list the Debian package ships: the engine only in lib/sharefetch,
# no simulator and no test program, manual pages and changelog compressed.
doc=$prefix/share/doc/sharefetch
expected=(bin/sharefetch-cli lib/sharefetch/libsfengine.so share/man/man1/sharefetch-cli.1.gz
  bin/sharefetchd share/man/man1/sharefetchd.1.gz lib/systemd/system/sharefetchd.service
  share/bash-completion/completions/sharefetch-cli
  share/doc/sharefetch/copyright share/doc/sharefetch/changelog.gz)
for page in index.html style.css app.js api.js prompts.js tree.js theme.js downloads.js panels.js \
  icon.svg folder.svg file.svg; do
  expected+=("share/sharefetch/web/$page")
done
if [ "$gui" = ON ]; then
  expected+=(bin/sharefetch share/man/man1/sharefetch.1.gz
    share/applications/org.sharefetch.ShareFetch.desktop
    share/metainfo/org.sharefetch.ShareFetch.metainfo.xml
    share/icons/hicolor/scalable/apps/org.sharefetch.ShareFetch.svg)
fi
want=$(printf '%s\n' "${expected[@]}" | sort)
have=$(cd "$prefix" && find . -type f -o -type l | sed 's|^\./||' | sort)
[ "$have" = "$want" ] || fail "installed files differ (< expected, > installed):
$(diff <(echo "$want") <(echo "$have"))"
# The window program carries no share simulator: the demo is share-sim, started beside it.
if [ "$gui" = ON ] && grep -q -e 1demoPublic -e share-sim "$window"; then
  fail "the installed window program carries the share simulator or its demo shares"
fi

# --version: the version of the build and, from a git tree, its commit.
version_re="^sharefetch(-cli)? ${version//./\\.}( \(commit [0-9a-f]{12}\))?$"
line=$("$cli" --version) || fail "sharefetch-cli --version exited with $?"
[[ $line =~ $version_re ]] || fail "sharefetch-cli --version printed '$line'"
echo "$line"
daemon=$prefix/bin/sharefetchd
line=$("$daemon" --version) || fail "sharefetchd --version exited with $?"
[[ $line =~ ^sharefetchd\ ${version//./\\.} ]] || fail "sharefetchd --version printed '$line'"
if [ "$gui" = ON ]; then
  line=$(env -u DISPLAY -u WAYLAND_DISPLAY "$window" --version) || fail "sharefetch --version exited with $?"
  [[ $line =~ $version_re ]] || fail "sharefetch --version printed '$line'"
  grep -q "<release version=\"$version\"" "$metainfo" ||
    fail "the AppStream metadata has no release $version"
fi

# Compressed files: whole, and made with gzip -n (no file name, time stamp 0: bytes 4-7), so
# that two builds of the same sources give the same package.
for file in "$prefix"/share/man/man1/*.gz "$doc/changelog.gz"; do
  gzip -t "$file" 2>/dev/null || fail "$file is not a whole gzip file"
  header=$(od -An -tx1 -N8 "$file" | tr -d ' \n')
  [[ $header == 1f8b08000000000* ]] || fail "$file has a name or time stamp in its header: $header"
done
# The changelog is NEWS.md in Debian's form: the same versions, this one first, and the same
# words in the items.
gzip -dc "$doc/changelog.gz" >"$work/changelog" 2>/dev/null
want=$(sed -n 's/^## \([^ ]*\) .*/\1/p' "$source/NEWS.md")
have=$(dpkg-parsechangelog -l "$work/changelog" --format rfc822 --all 2>&1 | sed -n 's/^Version: //p')
[ "$have" = "$want" ] || fail "the changelog's versions ($have) are not NEWS.md's ($want)"
[ "$(head -1 <<<"$want")" = "$version" ] || fail "NEWS.md does not start with '## $version (DATE)'"
words() { tr -d '`' | tr -s ' ' '\n' | grep -v '^$'; }
want=$(sed -n '/^## /,$p' "$source/NEWS.md" | grep -v '^## ' | sed 's/^- / /' | words)
have=$(grep '^  ' "$work/changelog" | sed 's/^  \* / /' | words)
[ "$have" = "$want" ] || fail "the changelog's items are not NEWS.md's:
$(diff <(echo "$want") <(echo "$have"))"

# The copyright file: Debian's machine-readable form, with LICENSE's holder and its licence
# text, indented by one space and an empty line as " .".
copyright=$doc/copyright
head -1 "$copyright" | grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' ||
  fail "the copyright file does not start with its Format line"
holder=$(sed -n 's/^Copyright (c) //p' "$source/LICENSE")
grep -qx "Copyright: $holder" "$copyright" || fail "the copyright file lacks 'Copyright: $holder'"
diff <(sed -n '/^Permission is hereby granted/,$p' "$source/LICENSE" | sed 's/^$/./; s/^/ /') \
  <(sed -n '/^License: Expat$/,$p' "$copyright" | tail -n +2) \
  >"$work/licence.diff" || fail "the copyright file's licence text is not LICENSE's:
$(cat "$work/licence.diff")"

# A download through the installed program: nothing beside it holds the engine, so this
# passes only when it finds lib/sharefetch/libsfengine.so from its own place.
mkdir "$work/served"
head -c 700000 /dev/urandom >"$work/served/payload.bin"
python3 -u -m http.server 0 --bind 127.0.0.1 --directory "$work/served" >"$work/server.log" 2>&1 &
server=$!
port=""
for _ in $(seq 100); do
  port=$(sed -n 's/.* port \([0-9][0-9]*\) .*/\1/p' "$work/server.log")
  [ -n "$port" ] && break
  sleep 0.1
done
if [ -z "$port" ]; then
  fail "the local server did not start: $(cat "$work/server.log")"
else
  saved=$(cd "$work" && env -u LD_LIBRARY_PATH timeout 60 "$cli" download --dir "$work/saved" \
    "http://127.0.0.1:$port/payload.bin" 2>"$work/download.err")
  status=$?
  if [ $status -ne 0 ] || [ "$saved" != "$work/saved/payload.bin" ] ||
    ! cmp -s "$work/served/payload.bin" "$work/saved/payload.bin"; then
    fail "the installed download (status $status, printed '$saved'): $(cat "$work/download.err")"
  fi
fi

# The service's unit starts the installed program, as a user of its own with its state
# directory, behind the hardening block.
unit=$prefix/lib/systemd/system/sharefetchd.service
grep -qx "ExecStart=$prefix/bin/sharefetchd .*" "$unit" || fail "the unit does not start $prefix/bin/sharefetchd"
for key in DynamicUser=yes StateDirectory=sharefetchd UMask=0077 NoNewPrivileges=yes \
  ProtectSystem=strict ProtectHome=yes PrivateTmp=yes PrivateDevices=yes \
  "RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6" SystemCallFilter=@system-service \
  CapabilityBoundingSet= ProtectKernelTunables=yes ProtectKernelModules=yes ProtectKernelLogs=yes \
  LockPersonality=yes MemoryDenyWriteExecute=yes RestrictNamespaces=yes RestrictRealtime=yes \
  WantedBy=multi-user.target; do
  grep -qx -- "$key" "$unit" || fail "the unit lacks $key"
done
if command -v systemd-analyze >/dev/null; then
  # Its Documentation= page is looked up where this tree installed it.
  out=$(MANPATH=$prefix/share/man systemd-analyze verify "$unit" 2>&1 | grep -F sharefetchd.service)
  [ -z "$out" ] || fail "systemd-analyze verify: $out"
fi

# The installed service as systemd starts it: with standard error in the journal, the first
# password goes to a file only its user reads, never to the log, and it opens a login.
state=$work/state
stderr=$work/daemon.err
: >"$stderr"
dport=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
JOURNAL_STREAM=$(stat -c '%d:%i' "$stderr") "$daemon" --state-dir "$state" --port "$dport" 2>"$stderr" &
daemon_pid=$!
for _ in $(seq 100); do
  grep -q listening "$stderr" && break
  sleep 0.1
done
if [ ! -f "$state/initial-password" ]; then
  fail "the service kept no initial-password: $(cat "$stderr")"
else
  [ "$(stat -c %a "$state/initial-password")" = 600 ] || fail "initial-password is not 0600"
  first=$(cat "$state/initial-password")
  grep -qF -- "$first" "$stderr" && fail "the first password went to the journal's stream"
  status=$(python3 - "$dport" "$first" <<'PY'
import json, sys, urllib.request
request = urllib.request.Request("http://127.0.0.1:%s/api/v1/login" % sys.argv[1],
                                 data=json.dumps({"password": sys.argv[2]}).encode(), method="POST")
try:
    print(urllib.request.urlopen(request, timeout=10).status)
except Exception as error:
    print(error)
PY
)
  [ "$status" = 200 ] || fail "a login with the first password was answered: $status"
fi
# Its page, found under share/sharefetch/web from bin/, with its scripts.
page=$(python3 - "$dport" <<'PY'
import sys, urllib.request
base = "http://127.0.0.1:%s/" % sys.argv[1]
try:
    index = urllib.request.urlopen(base, timeout=10).read().decode()
    script = urllib.request.urlopen(base + "app.js", timeout=10)
    print("ok" if "app.js" in index and script.headers["Content-Type"].startswith("text/javascript")
          else "wrong page")
except Exception as error:
    print(error)
PY
)
[ "$page" = ok ] || fail "the installed service's page: $page"
kill "$daemon_pid" 2>/dev/null
wait "$daemon_pid" 2>/dev/null
daemon_pid=""

# The validators of the desktop.
if [ "$gui" = ON ]; then
  out=$(desktop-file-validate "$desktop" 2>&1) && [ -z "$out" ] || fail "desktop-file-validate: $out"
  if command -v appstreamcli >/dev/null; then
    out=$(appstreamcli validate --no-net "$metainfo" 2>&1) || fail "appstreamcli validate: $out"
  else
    echo "note: appstreamcli not found; the AppStream metadata was not validated" >&2
  fi
fi

# The manual pages render without a warning and name what the README documents.
pages=(sharefetch-cli)
[ "$gui" = ON ] && pages+=(sharefetch)
for page in "${pages[@]}"; do
  # Without hyphenation, so that every option stays whole for the checks below.
  LC_ALL=C.UTF-8 MANWIDTH=100 MANROFFOPT=-rHY=0 man -l --warnings \
    "$prefix/share/man/man1/$page.1.gz" >"$work/$page.txt" 2>"$work/man.err" ||
    fail "man -l $page.1.gz exited with $?"
  [ -s "$work/man.err" ] && fail "man -l $page.1.gz warns: $(cat "$work/man.err")"
  for word in NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" ENVIRONMENT FILES \
    SHAREFETCH_HOST SHAREFETCH_CA_BUNDLE SHAREFETCH_RETRY_BASE_MS SHAREFETCH_STALL_SECONDS \
    .sfpart .sfctl Tavrin.ini; do
    grep -qF -- "$word" "$work/$page.txt" || fail "the manual page $page(1) lacks $word"
  done
done

# Lines of SECTION (a heading at the margin) or of a subsection (three spaces in) up to the
# next heading.
section() { awk -v head="$2" '
  $0 ~ "^" head "( |$)" { inside = 1; next }
  inside && /^( |  |   )?[^ ]/ { exit }
  inside' "$1"; }
completions() {
  bash -c 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _sharefetch_cli
           printf "%s\n" "${COMPREPLY[@]}"' _ "$completion" "$@"
}

# Every command of "sharefetch-cli --help" has a subsection of COMMANDS naming each of its
# options, and is offered by the completion with them; every global option is under OPTIONS.
help=$("$cli" --help)
commands=$(echo "$help" | sed -n 's/^  \([a-z][a-z-]*\) .*/\1/p')
[ -n "$commands" ] || fail "no command found in sharefetch-cli --help"
top=$(completions sharefetch-cli "")
for command in $commands; do
  block=$(section "$work/sharefetch-cli.txt" "   $command")
  [ -n "$block" ] || fail "sharefetch-cli(1) has no subsection for the command $command"
  grep -qx -- "$command" <<<"$top" || fail "the completion does not offer the command $command"
  offered=$(completions sharefetch-cli "$command" --)
  for option in $(echo "$help" | grep "^  $command " | grep -o -- '--[a-z][a-z-]*'); do
    grep -qF -- "$option" <<<"$block" ||
      fail "sharefetch-cli(1) does not describe $option under the command $command"
    grep -qx -- "$option" <<<"$offered" || fail "the completion does not offer $command $option"
  done
done
options=$(section "$work/sharefetch-cli.txt" OPTIONS)
for option in $(echo "$help" | sed -n 's/^  \(--[a-z][a-z-]*\).*/\1/p'); do
  grep -qF -- "$option" <<<"$options" || fail "sharefetch-cli(1) lacks $option under OPTIONS"
  grep -qx -- "$option" <<<"$top" || fail "the completion does not offer $option"
done
# The service's page: its own sections, and every option of its --help under OPTIONS.
LC_ALL=C.UTF-8 MANWIDTH=100 MANROFFOPT=-rHY=0 man -l --warnings \
  "$prefix/share/man/man1/sharefetchd.1.gz" >"$work/sharefetchd.txt" 2>"$work/man.err" ||
  fail "man -l sharefetchd.1.gz exited with $?"
[ -s "$work/man.err" ] && fail "man -l sharefetchd.1.gz warns: $(cat "$work/man.err")"
for word in NAME SYNOPSIS DESCRIPTION COMMANDS OPTIONS "EXIT STATUS" ENVIRONMENT FILES \
  STATE_DIRECTORY SHAREFETCH_HOST state.db initial-password sharefetchd.service; do
  grep -qF -- "$word" "$work/sharefetchd.txt" || fail "the manual page sharefetchd(1) lacks $word"
done
options=$(section "$work/sharefetchd.txt" OPTIONS)
for option in $("$daemon" --help | grep -o -- '^  --[a-z][a-z-]*'); do
  grep -qF -- "$option" <<<"$options" || fail "sharefetchd(1) lacks $option under OPTIONS"
done
if [ "$gui" = ON ]; then
  options=$(section "$work/sharefetch.txt" OPTIONS)
  for option in $(QT_QPA_PLATFORM=offscreen "$window" --help 2>/dev/null | grep -o -- '^  --[a-z][a-z-]*'); do
    grep -qF -- "$option" <<<"$options" || fail "sharefetch(1) lacks $option under OPTIONS"
  done
fi

if [ $failures -ne 0 ]; then
  echo "$failures failed" >&2
  exit 1
fi
echo "the installed tree passed every check"
