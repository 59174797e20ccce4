#!/usr/bin/env bash
# Builds the Debian package build/packages/velquin_<version>_amd64.deb from the
# native build: `cmake --install` into a staging tree, the package's own files
# added (man pages compressed, the 48 px icon rendered from the SVG, changelog,
# copyright, maintainer scripts), dependencies computed by dpkg-shlibdeps,
# then dpkg-deb and lintian (which must report no error).
# dpkg-deb over a staged tree rather than CPack: the maintainer scripts,
# modes and the shlibs step stay plain and visible here.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

need=(dpkg-dev file lintian librsvg2-bin groff-base)
missing=()
for p in "${need[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

build=build/native
if [ ! -f "$build/CMakeCache.txt" ]; then
  bash scripts/setup.sh
  cmake --preset native >/dev/null
fi
cmake --build --preset native -j2 --target VELQUIN hostcom torwen presets presetctl campreview vcam_tool regsvr camfiles >"$build/package-build.log" || { cat "$build/package-build.log"; exit 1; }

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
arch=$(dpkg --print-architecture)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
pkg=velquin
work=build/package
stage=$work/$pkg
rm -rf "$work"
mkdir -p "$stage" build/packages
DESTDIR="$root/$stage" cmake --install "$build" --prefix /usr --component velquin --strip >/dev/null

private=$stage/usr/lib/$multiarch/velquin
[ -f "$private/VELQUIN.so" ] || { echo "package: $private/VELQUIN.so missing (is the library arch dir $multiarch?)" >&2; exit 1; }
# The icon at 48 px beside the scalable one.
mkdir -p "$stage/usr/share/icons/hicolor/48x48/apps"
rsvg-convert -w 48 -h 48 packaging/linux/icon.svg -o "$stage/usr/share/icons/hicolor/48x48/apps/io.velquin.presets.png"
# Man pages: checked (warnings are errors), then compressed.
for page in "$stage"/usr/share/man/man1/*.1; do
  warnings=$(LC_ALL=C.UTF-8 groff -man -Tutf8 -ww -z "$page" 2>&1)
  [ -z "$warnings" ] || { echo "package: $page: $warnings" >&2; exit 1; }
  gzip -9n "$page"
done
doc=$stage/usr/share/doc/$pkg
mkdir -p "$doc"
cp packaging/linux/debian/copyright "$doc/copyright"
date=$(date -R -d "@$(git log -1 --format=%ct 2>/dev/null || date +%s)")
printf '%s (%s) unstable; urgency=medium\n\n  * Release %s.\n\n -- VELQUIN maintainers <maintainers@velquin.io>  %s\n' \
  "$pkg" "$version" "$version" "$date" | gzip -9n >"$doc/changelog.gz"

# Dependencies of every ELF file, the private folder searched for our own libraries.
mkdir -p "$work/debian"
printf 'Source: %s\n\nPackage: %s\nArchitecture: any\n' "$pkg" "$pkg" >"$work/debian/control"
elves=()
while IFS= read -r f; do
  if file -b "$f" | grep -q '^ELF'; then
    objcopy --remove-section=.comment "$f"  # the compiler's banner, as dh_strip drops it
    elves+=("${f#"$work"/}")
  fi
done < <(find "$stage" -type f)
depends=$(cd "$work" && dpkg-shlibdeps -O -l"${private#"$work"/}" "${elves[@]}" 2>/dev/null | sed -n 's/^shlibs:Depends=//p')
[ -n "$depends" ] || { echo "package: dpkg-shlibdeps found no dependencies" >&2; exit 1; }

mkdir -p "$stage/DEBIAN"
for script in postinst prerm postrm; do
  sed "s|@MULTIARCH@|$multiarch|g" "packaging/linux/debian/$script" >"$stage/DEBIAN/$script"
  chmod 755 "$stage/DEBIAN/$script"
done
size=$(du -sk --exclude=DEBIAN "$stage" | cut -f1)
cat >"$stage/DEBIAN/control" <<CONTROL
Package: $pkg
Version: $version
Architecture: $arch
Maintainer: VELQUIN maintainers <maintainers@velquin.io>
Installed-Size: $size
Depends: $depends
Section: video
Priority: optional
Homepage: https://velquin.io
Description: picture preset manager for DV camcorders
 The preset manager reads, changes, clears and locks the custom picture
 presets of a DV camcorder, with the camera control library (an in-process
 COM server, registered for every user at install), the storage microdriver,
 command-line tools for presets, media and preview, and a virtual camcorder.
CONTROL
(cd "$stage" && find usr -type f -print0 | sort -z | xargs -0 md5sum) >"$stage/DEBIAN/md5sums"
find "$stage" -type d -exec chmod 755 {} +

deb=build/packages/${pkg}_${version}_${arch}.deb
dpkg-deb --root-owner-group --build -Zxz "$stage" "$deb" >/dev/null
echo "package: $deb ($(du -k "$deb" | cut -f1) KiB, installed $size KiB)"
lintian_out=$(lintian --tag-display-limit 0 "$deb" 2>&1 || true)
[ -z "$lintian_out" ] || echo "$lintian_out"
if grep -q '^E:' <<<"$lintian_out"; then
  echo "package: lintian reports errors" >&2
  exit 1
fi
