#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the Debian package and installs it into a clean Debian 12 root, as a new user's machine would
# get it, then checks what the package promises: `tarnwick --help`, the menu entry and icon, the manual
# pages, the licence, changelog and AppStream description, the capture helper's group, mode and
# capabilities, capture on lo by a member of the group tarnwick, and the advice a non-member gets.
#
#   bash scripts/check-package.sh [BUILD_DIR] [CLEAN_ROOT]
#
# CLEAN_ROOT (default /work/fresh/root) is a minimal Debian 12 root (debootstrap); it is copied, never
# changed. The packages the copy lacks are fetched by this machine's apt, so the copy needs no network.
# Needs root.
set -euo pipefail

build=$(cd "${1:-build}" && pwd)
clean=${2:-/work/fresh/root}
[ "$(id -u)" -eq 0 ] || { echo "check-package: needs root (chroot, mounts)" >&2; exit 1; }
[ -d "$clean/usr" ] || { echo "check-package: no Debian root at $clean" >&2; exit 1; }

(cd "$build" && cpack -G DEB >/dev/null)
package=$(ls -t "$build"/tarnwick_*_amd64.deb | head -1)
echo "package: $package ($(du -k "$package" | cut -f1) KiB)"

work=$(mktemp -d /tmp/tarnwick-package.XXXXXX)
root=$work/root
mounted=()
cleanup() {
  local point
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount -l "${mounted[$i]}" 2>/dev/null || true; done
  for point in proc sys dev/pts dev; do mountpoint -q "$root/$point" 2>/dev/null && umount -l "$root/$point"; done
  rm -rf --one-file-system "$work"
}
trap cleanup EXIT

# Only the root's own file system: whatever is mounted inside it (a live /proc) is not copied.
cp -a --one-file-system "$clean" "$root"
for point in proc sys dev dev/pts; do
  mkdir -p "$root/$point"
  case $point in
    proc) mount -t proc proc "$root/proc" ;;
    sys) mount -t sysfs sys "$root/sys" ;;
    *) mount --bind "/$point" "$root/$point" ;;
  esac
  mounted+=("$root/$point")
done
in_root() { chroot "$root" /usr/bin/env -i -C / PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive "$@"; }

# This machine's package lists, so the root's apt knows the same versions without a network.
rm -f "$root"/etc/apt/sources.list "$root"/etc/apt/sources.list.d/*
cp /etc/apt/sources.list.d/debian.sources "$root/etc/apt/sources.list.d/"
cp /etc/apt/apt.conf.d/docker-gzip-indexes "$root/etc/apt/apt.conf.d/" 2>/dev/null || true
cp /var/lib/apt/lists/*_InRelease /var/lib/apt/lists/*_Packages* "$root/var/lib/apt/lists/"
cp "$package" "$root/tmp/"
name=$(basename "$package")

# What the package pulls in (without Recommends), fetched here into the root's cache.
# "Inst NAME (VERSION ...)", or "Inst NAME [INSTALLED] (VERSION ...)" for a package the root has older.
wanted=$(in_root apt-get -s -qq --no-install-recommends install "/tmp/$name" |
  awk '/^Inst / && $2 != "tarnwick" { v = ($3 ~ /^\[/) ? $4 : $3; gsub(/[()]/, "", v); print $2 "=" v }')
echo "dependencies to install: $(echo "$wanted" | wc -w)"
[ -z "$wanted" ] || (cd "$root/var/cache/apt/archives" && apt-get download -qq $wanted >/dev/null)
in_root apt-get install -y -qq --no-install-recommends "/tmp/$name" >"$work/install.log" 2>&1 ||
  { tail -20 "$work/install.log"; echo "check-package: installing failed" >&2; exit 1; }
grep -i "tarnwick:" "$work/install.log" || true

failed=0
check() {  # check DESCRIPTION COMMAND...: runs it, prints ok or FAILED with its output
  local what=$1 output
  shift
  if output=$("$@" 2>&1); then echo "ok: $what"; else echo "FAILED: $what"; echo "$output" | tail -5; failed=1; fi
}
check "tarnwick --help" in_root sh -c 'tarnwick --help | grep -q "Usage: tarnwick"'
check "menu entry" in_root sh -c 'grep -q "^Exec=tarnwick$" /usr/share/applications/tarnwick.desktop && grep -q "^Icon=tarnwick$" /usr/share/applications/tarnwick.desktop'
check "icons" in_root sh -c 'for s in 16 32 48 128 256; do test -s /usr/share/icons/hicolor/${s}x${s}/apps/tarnwick.png; done; test -s /usr/share/icons/hicolor/scalable/apps/tarnwick.svg'
check "manual pages" in_root sh -c 'zcat /usr/share/man/man1/tarnwick.1.gz | grep -q "^.SH NAME" && zcat /usr/share/man/man1/tarnwick-capture.1.gz | grep -q "^.SH NAME"'
check "help page" in_root test -s /usr/share/tarnwick/help/index.html
check "licence and changelog" in_root sh -c \
  'grep -q "^License: GPL-3+" /usr/share/doc/tarnwick/copyright && zcat /usr/share/doc/tarnwick/changelog.gz | grep -q "^tarnwick ("'
check "AppStream description" in_root grep -q "<launchable type=\"desktop-id\">tarnwick.desktop<" \
  /usr/share/metainfo/io.github.tarnwick.Tarnwick.metainfo.xml
echo "getcap: $(in_root getcap /usr/lib/tarnwick/tarnwick-capture)"
check "helper capabilities" in_root sh -c 'getcap /usr/lib/tarnwick/tarnwick-capture | grep -q "cap_net_admin,cap_net_raw=eip"'
echo "helper: $(in_root stat -c '%U:%G %a' /usr/lib/tarnwick/tarnwick-capture)"
check "helper owner and mode" in_root sh -c 'test "$(stat -c "%U:%G %a" /usr/lib/tarnwick/tarnwick-capture)" = "root:tarnwick 754"'

# A member of the group captures through the helper; anyone else is told how to become one.
in_root useradd --create-home --groups tarnwick member
in_root useradd --create-home outsider
check "member captures on lo" in_root sh -c \
  'runuser -u member -- timeout -s INT 2 tarnwick --headless --json --interface lo 2>&1 | grep -q "capturing on lo"'
check "outsider is told to join the group" in_root sh -c \
  'runuser -u outsider -- tarnwick --headless --interface lo 2>&1 | grep -q "Add your user to it (sudo adduser"'
check "purge" in_root sh -c 'apt-get purge -y -qq tarnwick >/dev/null && ! test -e /usr/bin/tarnwick && ! dpkg-statoverride --list /usr/lib/tarnwick/tarnwick-capture'
[ "$failed" = 0 ] && echo "package check: every check passed" || { echo "package check: some checks failed" >&2; exit 1; }
