#!/usr/bin/env bash
# make dist's tarball, checked from the outside: exactly the box's files, each
# as its manifest line says, stripped, with no path into the build tree and no
# broker account, and the same bytes when packed twice.
#   check_dist.sh <source dir> <build dir> <scratch dir>
set -eu  # no pipefail: grep -q ends its readers early
src=$1 build=$2 work=$3
rm -rf "$work" && mkdir -p "$work/a" "$work/b" "$work/x"
fail() { echo "FAIL: $*" >&2; exit 1; }

a=$("$src/tools/dist.sh" "$build" test "$work/a")
b=$("$src/tools/dist.sh" "$build" test "$work/b")
cmp -s "$a" "$b" || fail "two packings of one build differ"

list=$(tar tzf "$a" | sort | tr '\n' ' ')
[ "$list" = "iot/MANIFEST iot/bin/telagent-host iot/conf/iot.ini iot/lib/libTelAgent.so " ] || fail "entries: $list"
tar xzf "$a" -C "$work/x"
tar tvzf "$a" | awk '$2 != "0/0" { exit 1 }' || fail "entries not owned by root"

n=0
while read -r size sum path; do
  case "$size" in '#'*) continue ;; esac
  n=$((n + 1))
  [ "$(stat -c %s "$work/x/$path")" = "$size" ] || fail "$path: size is not $size"
  [ "$(sha256sum "$work/x/$path" | cut -d' ' -f1)" = "$sum" ] || fail "$path: SHA-256 is not $sum"
done <"$work/x/iot/MANIFEST"
[ "$n" = 3 ] || fail "manifest has $n files, not 3"

for f in iot/lib/libTelAgent.so iot/bin/telagent-host; do
  readelf -S "$work/x/$f" | grep -q '\.symtab' && fail "$f keeps its symbol table"
  readelf -d "$work/x/$f" | grep -E 'RPATH|RUNPATH' && fail "$f looks for libraries in the build tree"
  [ -x "$work/x/$f" ] || fail "$f is not executable"
done
readelf -h "$work/x/iot/lib/libTelAgent.so" | grep -q 'DYN' || fail "libTelAgent.so is not a shared object"
readelf --dyn-syms -W "$work/x/iot/lib/libTelAgent.so" | grep -qw call_iotmain || fail "call_iotmain is not exported"
grep -qiE '^(MqttUserName|MqttUserPass)' "$work/x/iot/conf/iot.ini" && fail "iot.ini carries the broker account"
grep -q '^\[IotCfg\]' "$work/x/iot/conf/iot.ini" || fail "iot.ini has no [IotCfg] section"
rm -rf "$work"
echo "dist: $list"
