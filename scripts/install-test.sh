#!/usr/bin/env bash
# Installs the Debian package (scripts/package.sh) with apt-get, checks it as an
# ordinary user with a fresh home (presetctl cameras; presets on a private
# Xvfb, its caption checked; man presetctl; the desktop entry and metainfo
# validated), then purges it and checks that no file and no machine
# registration is left. Needs root on a throwaway machine (CI); the machine is
# left without the package, as it was found.
set -euo pipefail
cd "$(dirname "$0")/.."
say() { echo "install-test: $*"; }
[ "$(id -u)" -eq 0 ] || { say "needs root (it installs and purges the package)"; exit 1; }
if dpkg-query -W -f='${Status}' velquin 2>/dev/null | grep -q "ok installed"; then
  say "velquin is already installed here; refusing to replace it"; exit 1
fi
machine_dir=/var/lib/hostcom
[ ! -e "$machine_dir" ] || { say "$machine_dir exists already; refusing to touch it"; exit 1; }

need=(xvfb xdotool desktop-file-utils appstream man-db)
missing=()
for p in "${need[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

bash scripts/package.sh
debs=(build/packages/velquin_*_amd64.deb)
((${#debs[@]} == 1)) || { say "expected one package in build/packages, found ${#debs[@]}"; exit 1; }
deb=$PWD/${debs[0]}

work=$(mktemp -d /tmp/install-test.XXXXXX)
chmod 755 "$work"
installed=0 xvfb_pid="" app_pid=""
cleanup() {
  [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  if ((installed)); then
    DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq velquin >/dev/null 2>&1 || dpkg --purge velquin >/dev/null 2>&1 || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() { say "FAILED: $*" >&2; exit 1; }

seconds() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$(seconds)" 'BEGIN { printf "%.1f", b - a }'; }

start=$(seconds)
installed=1
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb" >"$work/install.log" 2>&1 || { cat "$work/install.log"; fail "apt-get install"; }
say "apt-get install took $(elapsed "$start") s ($(du -k "$deb" | cut -f1) KiB package)"
dpkg -L velquin >"$work/files"
[ -f "$machine_dir/registry.reg" ] || fail "no machine registration after install"
grep -q 'VELQUIN.so' "$machine_dir/registry.reg" || fail "the machine registry file does not name the library"

# An ordinary user with a fresh home and nothing of its own registered.
home=$work/home
mkdir -p "$home" && chown nobody:nogroup "$home"
as_user() {
  setpriv --reuid=nobody --regid=nogroup --clear-groups \
    env -i HOME="$home" PATH=/usr/bin:/bin LANG=C.UTF-8 XDG_RUNTIME_DIR="$home/run" ${DISPLAY:+DISPLAY=$DISPLAY} "$@"
}
as_user mkdir -m 700 "$home/run"
out=$(as_user presetctl cameras 2>&1) || fail "presetctl cameras: $out"
grep -q "KV7" <<<"$out" || fail "presetctl cameras lists no camera: $out"
say "presetctl cameras as nobody: $(head -1 <<<"$out")"

display=90
while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do display=$((display + 1)); done
setpriv --reuid=nobody --regid=nogroup --clear-groups Xvfb ":$display" -screen 0 1280x1024x24 -nolisten tcp \
  >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
export DISPLAY=":$display"
# A loaded machine may take seconds to bring the display up; the program
# starts only on a display that answers.
display_up=""
for _ in $(seq 300); do as_user xdotool getdisplaygeometry >/dev/null 2>&1 && { display_up=1; break; }; sleep 0.1; done
[ -n "$display_up" ] || { cat "$work/xvfb.log"; fail "the display :$display did not come up in 30 s"; }
as_user presets >"$work/presets.log" 2>&1 &
app_pid=$!
caption="Marrowfield KV7 Presets Manager"
found=""
for _ in $(seq 300); do
  found=$(as_user xdotool search --onlyvisible --name "^$caption\$" 2>/dev/null | head -1) && [ -n "$found" ] && break
  kill -0 "$app_pid" 2>/dev/null || { cat "$work/presets.log"; fail "presets ended early"; }
  sleep 0.1
done
[ -n "$found" ] || { cat "$work/presets.log"; fail "no window \"$caption\""; }
say "presets shows \"$caption\" as nobody"
kill "$app_pid"; wait "$app_pid" 2>/dev/null || true; app_pid=""
kill "$xvfb_pid"; wait "$xvfb_pid" 2>/dev/null || true; xvfb_pid=""
unset DISPLAY

page=$(as_user env MANPAGER=cat MANWIDTH=80 man presetctl 2>&1) || fail "man presetctl: $page"
grep -q "EXIT STATUS" <<<"$page" || fail "man presetctl does not render"
desktop-file-validate /usr/share/applications/io.velquin.presets.desktop || fail "desktop-file-validate"
appstreamcli validate --no-net --pedantic /usr/share/metainfo/io.velquin.presets.metainfo.xml >"$work/as.log" 2>&1 ||
  { cat "$work/as.log"; fail "appstreamcli validate"; }
say "man page, desktop entry and metainfo are valid"

start=$(seconds)
DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq velquin >"$work/purge.log" 2>&1 || { cat "$work/purge.log"; fail "apt-get purge"; }
installed=0
say "apt-get purge took $(elapsed "$start") s"
left=0
while IFS= read -r f; do
  if [ -e "$f" ] && [ ! -d "$f" ]; then say "left behind: $f"; left=1; fi
done <"$work/files"
[ ! -e "$machine_dir" ] || { say "left behind: $machine_dir"; ls -la "$machine_dir"; left=1; }
! dpkg-query -W velquin >/dev/null 2>&1 || { say "dpkg still knows velquin"; left=1; }
((left == 0)) || fail "purge left files behind"
say "passed: $(grep -c . "$work/files") paths installed, none left after purge"
