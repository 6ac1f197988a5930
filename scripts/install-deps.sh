#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, and only
# those that are missing. Runs as root, or through sudo.
set -euo pipefail

packages=(cmake make g++ googletest libgtest-dev libcurl4-openssl-dev libarchive-dev libssl-dev
          python3 zip unzip libarchive-tools curl clang clang-format libclang-rt-14-dev openssl
          g++-mingw-w64-i686 binutils-mingw-w64-i686 wine wine32:i386 xvfb x11-utils x11-apps)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "install-deps: need root or sudo for: ${missing[*]}" >&2; exit 1; }
  sudo="sudo"
fi
echo "install-deps: installing ${missing[*]}"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
