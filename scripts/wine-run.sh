#!/usr/bin/env bash
# Runs one Windows program of the x86_64 cross build under Wine against the
# virtual camcorder, as a user would try it:
#   bash scripts/wine-run.sh presetctl.exe slots
#   bash scripts/wine-run.sh camfiles.exe --library build/mingw64/storage/microdriver/torwen.dll tree
# The private prefix build/mingw64/wine-run-prefix is prepared on first use
# (VELQUIN.dll registered, the imaging-service stand-in installed). Each run
# starts the virtual storage driver and its service, registers the cameras of
# the virtual camcorder's root with the virtual DV camera (a KV7 named
# "default" is made when the root has none) and stops the prefix when the
# program ends. The root is the Linux tools' own ($VCAM_HOME, else
# $XDG_STATE_HOME/vcam, else ~/.local/state/vcam), so `vcam trace NAME print`
# shows what the program sent. Builds what is missing first.
set -uo pipefail
if [ $# -lt 1 ]; then
  echo "usage: bash scripts/wine-run.sh PROGRAM.exe [ARGS...]" >&2
  exit 2
fi
repo=$(cd "$(dirname "$0")/.." && pwd)
out=$repo/build/mingw64
wine=/usr/lib/wine/wine64
find_program() {
  [ -f "$1" ] && { printf '%s\n' "$1"; return; }
  find "$out" -path "$out/wine*" -prune -o -type f -iname "$1" -print 2>/dev/null | head -n 1
}
needed=("$out/camctl/object/VELQUIN.dll" "$out/sim/windows/vcamdv.dll" "$out/sim/windows/vcamstor.sys"
        "$out/sim/windows/vcamstor_service.exe" "$out/sim/vcam.exe" "$out/tests/windows/imaging_double.exe")
missing=0
for file in "${needed[@]}"; do [ -f "$file" ] || missing=1; done
[ -n "$(find_program "$1")" ] || missing=1
if [ "$missing" = 1 ]; then
  echo "wine-run: building the Windows programs first (scripts/cross-build.sh)" >&2
  (cd "$repo" && bash scripts/cross-build.sh) >&2 || exit 1
fi
program=$(find_program "$1")
[ -n "$program" ] || { echo "wine-run: no program $1 in the cross build" >&2; exit 2; }
shift

export WINEPREFIX="$out/wine-run-prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
source "$repo/scripts/wine-prefix.sh"
log=$(mktemp)
trap 'timeout 60 wineserver -k 2>/dev/null; rm -f "$log"' EXIT
if [ ! -f "$WINEPREFIX/.velquin-prepared" ]; then
  echo "wine-run: preparing the prefix $WINEPREFIX (once)" >&2
  timeout 300 "$wine" wineboot -i >/dev/null 2>&1
  timeout 60 wineserver -w
  timeout 60 "$wine" regsvr32 /s "$out/camctl/object/VELQUIN.dll" || { echo "wine-run: VELQUIN.dll did not register" >&2; exit 1; }
  errors=$(prefix_install_imaging_double)
  [ -z "$errors" ] || { echo "wine-run: the imaging-service stand-in was not installed:$errors" >&2; exit 1; }
  touch "$WINEPREFIX/.velquin-prepared"
fi

if [ -n "${VCAM_HOME:-}" ]; then root=$VCAM_HOME
elif [[ "${XDG_STATE_HOME:-}" == /* ]]; then root=$XDG_STATE_HOME/vcam
else root=$HOME/.local/state/vcam; fi
mkdir -p "$root"
root_win=$(winepath -w "$root" 2>/dev/null)
if [ -z "$(find "$root" -mindepth 2 -maxdepth 2 -name identity -print -quit)" ]; then
  VCAM_HOME=$root_win timeout 60 "$wine" "$out/sim/vcam.exe" create default >&2 || exit 1
fi
prefix_start_storage "$log" || { echo "wine-run: the virtual storage driver did not start: $(cat "$log")" >&2; exit 1; }
VCAM_HOME=$root_win timeout 60 "$wine" regsvr32 /s "$out/sim/windows/vcamdv.dll" || {
  echo "wine-run: the cameras of $root were not registered" >&2; exit 1; }
VCAM_HOME=$root_win "$wine" "$program" "$@"
