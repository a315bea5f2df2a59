#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the program need, but only those that
# are missing, so a machine that has everything is not touched (and needs no network).
# Usage: tools/deps.sh [extra-package ...]
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  clang libclang-rt-14-dev clang-format
  libgtest-dev libgmock-dev
  libcurl4-openssl-dev libssl-dev
  nlohmann-json3-dev libpcre2-dev
  libpng-dev libjpeg62-turbo-dev zlib1g-dev
  libcpp-httplib-dev openssl
  # the service: its HTTP server and its state
  libmicrohttpd-dev libsqlite3-dev
  qt6-base-dev libgl-dev
  # Qt's own dialogs in Chinese
  qt6-translations-l10n
  fonts-noto-cjk
  xvfb xauth
  # the install test's validators and local server, and the package's dependency finder
  desktop-file-utils appstream man-db dpkg-dev bash-completion python3
  # Debian's checker of the package, run by tools/test.sh
  lintian
  # the downloader that shares are handed to, for the tests of that hand-off
  aria2
  # the service's page, tested in a real headless browser
  chromium chromium-driver python3-selenium
  "$@"
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
echo "Installing: ${missing[*]}" >&2
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
