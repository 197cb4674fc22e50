#!/bin/bash
# A project-local armhf root: Debian's armhf builds of the libraries the
# cross-build links and the emulator loads, unpacked into ROOT without
# installing anything on this machine.
#
#   tools/armhf_root.sh ROOT DEBS PACKAGE...
#   tools/armhf_root.sh --fix-links DIR      only the symlink step, on DIR
#
# PACKAGE names without an architecture (libssl-dev, libc6, ...).  The armhf
# closure of their Depends/PreDepends comes from apt-cache (the armhf indexes
# that loaded; dpkg only needs to know the architecture), each .deb is fetched
# once into DEBS with apt-get download (checked against the index's SHA256 on
# a rerun) and unpacked with dpkg-deb -x.  Absolute symlinks inside the root
# (libfoo.so -> /usr/lib/arm-linux-gnueabihf/libfoo.so.1) are made relative,
# so the linker under --sysroot and qemu-arm -L ROOT resolve them inside ROOT,
# never in this machine's /usr.  ROOT/.debs lists what it was made from: the
# same list again leaves it as it is.
set -euo pipefail

# Every absolute symlink under $1 made relative to its own folder, aimed at the
# same path inside $1 (a target missing there stays missing: never this
# machine's copy).
fix_links() {
  find "$1" -type l -lname '/*' -print0 | while IFS= read -r -d '' link; do
    ln -sfn "$(realpath -m --relative-to="$(dirname "$link")" "$1$(readlink "$link")")" "$link"
  done
}

if [ "${1:-}" = --fix-links ]; then
  [ $# -eq 2 ] && [ -d "$2" ] || { echo "usage: $0 --fix-links DIR" >&2; exit 2; }
  fix_links "$(realpath "$2")"
  exit 0
fi

[ $# -ge 3 ] || { echo "usage: $0 ROOT DEBS PACKAGE..." >&2; exit 2; }
root=$1 debs=$2; shift 2
arch=armhf
mkdir -p "$debs"
root=$(realpath -m "$root") debs=$(realpath "$debs")

# Each PACKAGE as its armhf build, or as itself when it is Architecture: all
# (a header-only library such as libjsmn-dev: one build serves every
# architecture, and the system mode sees the native install's copy).
pkgs=() indep=()
for p in "$@"; do
  if apt-cache show "$p:$arch" >/dev/null 2>&1; then
    pkgs+=("$p:$arch")
  elif info=$(apt-cache show --no-all-versions "$p" 2>/dev/null) && grep -qx 'Architecture: all' <<<"$info"; then
    pkgs+=("$p") indep+=("$p")
  else
    echo "armhf-root: no armhf index knows $p (is the armhf architecture added and its index loaded?)" >&2
    exit 1
  fi
done

# Real packages of the armhf closure: virtual names come as <name>, and the
# native or Architecture: all ones pulled in (tools, sources, configuration)
# are not wanted; the Architecture: all ones named above are.
mapfile -t closure < <({ apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts \
  --no-breaks --no-replaces --no-enhances "${pkgs[@]}" | grep -E "^[^ <].*:$arch\$"
  printf '%s\n' "${indep[@]}"; } | grep . | sort -u)

# 'URI' FILE SIZE SHA256:hash for each candidate, fetched only when the cache
# lacks it or holds something else (from an empty folder: apt leaves out the
# files the current one already has).
scratch=$(mktemp -d)
uris=$(cd "$scratch" && apt-get download --print-uris "${closure[@]}")
rmdir "$scratch"
want=() fetch=()
while read -r uri file size sum; do
  [ -n "$file" ] || continue
  want+=("$file")
  if [ -f "$debs/$file" ] && [ "$(stat -c %s "$debs/$file")" = "$size" ] &&
     { [ "${sum%%:*}" != SHA256 ] || [ "$(sha256sum "$debs/$file" | cut -d' ' -f1)" = "${sum#SHA256:}" ]; }; then
    continue
  fi
  a=${file##*_}
  fetch+=("${file%%_*}$([ "${a%.deb}" = all ] || echo ":$arch")")
done <<<"$uris"
[ ${#want[@]} -eq ${#closure[@]} ] || { echo "armhf-root: apt gave ${#want[@]} downloads for ${#closure[@]} packages" >&2; exit 1; }
if [ ${#fetch[@]} -gt 0 ]; then
  echo "armhf-root: downloading ${#fetch[@]} of ${#want[@]} packages into $debs"
  # As root apt cannot drop to its _apt user in a folder that user cannot
  # write, and says so for every file: one warning too many.
  (cd "$debs" && apt-get download -qq "${fetch[@]}" 2>&1 | { grep -v 'unsandboxed as root' || true; }; exit "${PIPESTATUS[0]}")
fi

stamp=$(printf '%s\n' "${want[@]}" | sort)
if [ -f "$root/.debs" ] && [ "$(cat "$root/.debs")" = "$stamp" ]; then
  echo "armhf-root: $root is up to date (${#want[@]} packages)"
  exit 0
fi
rm -rf "$root.tmp"
mkdir -p "$root.tmp"
for f in "${want[@]}"; do dpkg-deb -x "$debs/$f" "$root.tmp"; done
fix_links "$root.tmp"
printf '%s\n' "$stamp" >"$root.tmp/.debs"
rm -rf "$root"
mv "$root.tmp" "$root"
echo "armhf-root: $root made from ${#want[@]} packages"
