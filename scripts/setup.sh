#!/usr/bin/env bash
# Installs what the build needs on Debian 12 (nothing when everything is there).
# With "cross": also the MinGW-w64 compilers, the IDL compiler, Wine and NSIS.
set -euo pipefail
packages=(build-essential cmake googletest libgtest-dev libgmock-dev libbenchmark-dev
  pkg-config libxcb1-dev libxcb-res0-dev xvfb)  # the preview draws with XCB; its tests run under Xvfb
# The presets program's windows (Qt 6 Widgets, QtTest included) and what their
# tests need: a private X display, its authority tool, the font the windows
# are laid out for and a tool that types and clicks into the real program.
packages+=(qt6-base-dev xauth fonts-dejavu-core xdotool)
if [ "${1:-}" = cross ]; then
  packages+=(g++-mingw-w64-x86-64 g++-mingw-w64-i686 mingw-w64-tools libwine-dev wine wine64 nsis)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
