#!/usr/bin/env bash
# The box's file tree as one tarball: what the install rules put in component
# "box" (stripped), and a manifest with each file's size and SHA-256.
#
#   tools/dist.sh <build dir> <arch name> <output dir>
#
# Prints the tarball's path.  Entries are relative to the module's root
# ("iot/lib/libTelAgent.so", ...), owned by root, dated 0, in name order, so the
# same build gives the same bytes.
set -euo pipefail

build=${1:?usage: tools/dist.sh <build dir> <arch name> <output dir>}
arch=${2:?usage: tools/dist.sh <build dir> <arch name> <output dir>}
out=${3:?usage: tools/dist.sh <build dir> <arch name> <output dir>}
[ -f "$build/CMakeCache.txt" ] || { echo "dist: $build is not a configured build" >&2; exit 1; }

# Exactly these, nothing more: a file the rules grow without this list knowing
# stops the packing.
files=(iot/bin/telagent-host iot/conf/iot.ini iot/lib/libTelAgent.so)

stage=$(mktemp -d "${TMPDIR:-/tmp}/telagent-dist-XXXXXX")
trap 'rm -rf "$stage"' EXIT
cmake --install "$build" --component box --prefix "$stage/root" --strip >"$stage/install.log" ||
  { cat "$stage/install.log" >&2; exit 1; }

found=$(cd "$stage/root" && find . -mindepth 1 ! -type d | sed 's|^\./||' | sort)
want=$(printf '%s\n' "${files[@]}" | sort)
if [ "$found" != "$want" ]; then
  echo "dist: the install rules gave" >&2
  echo "$found" | sed 's/^/  /' >&2
  echo "dist: expected" >&2
  echo "$want" | sed 's/^/  /' >&2
  exit 1
fi
for f in iot/lib/libTelAgent.so iot/bin/telagent-host; do
  if readelf -S "$stage/root/$f" | grep '\.symtab' >/dev/null; then  # grep -q would end readelf early
    echo "dist: $f is not stripped" >&2
    exit 1
  fi
done
if grep -qiE '^(MqttUserName|MqttUserPass)[[:space:]]*=' "$stage/root/iot/conf/iot.ini"; then
  echo "dist: iot/conf/iot.ini carries a broker account" >&2
  exit 1
fi

# One line a file: size in bytes, SHA-256, path below the root.
manifest="$stage/root/iot/MANIFEST"
{
  echo "# telagent box tree, $arch: size sha256 path"
  for f in "${files[@]}"; do
    printf '%s %s %s\n' "$(stat -c %s "$stage/root/$f")" "$(sha256sum "$stage/root/$f" | cut -d' ' -f1)" "$f"
  done
} >"$manifest"

mkdir -p "$out"
tarball="$(realpath "$out")/telagent-box-$arch.tar.gz"
chmod 0755 "$stage/root/iot/bin/telagent-host" "$stage/root/iot/lib/libTelAgent.so"
chmod 0644 "$stage/root/iot/conf/iot.ini" "$manifest"
tar -C "$stage/root" --sort=name --owner=0 --group=0 --numeric-owner --mtime=@0 --format=gnu -cf - \
  "${files[@]}" iot/MANIFEST | gzip -9n >"$tarball.tmp"
mv "$tarball.tmp" "$tarball"
echo "$tarball"
