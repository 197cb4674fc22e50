#!/bin/bash
# tools/armhf_root.sh --fix-links on a made-up root: Debian's .debs carry
# absolute symlinks (libfoo.so -> /usr/lib/<triplet>/libfoo.so.1, ld-linux ->
# /lib/<triplet>/...), which the linker under --sysroot and qemu-arm -L would
# follow into this machine's /usr.  After the fix each one resolves inside the
# root, relative ones are left alone, and a target the root lacks stays
# dangling instead of landing on a host file.
set -u
tool=$1 work=$2
rm -rf "$work"; mkdir -p "$work"
r=$work/root
fails=0
check() { if [ "$2" = "$3" ]; then :; else echo "FAIL: $1: got '$2', want '$3'"; fails=$((fails + 1)); fi; }

mkdir -p "$r/usr/lib/tri/deep" "$r/lib/tri" "$r/usr/share/x" "$r/etc"
echo lib >"$r/usr/lib/tri/libfoo.so.1"
echo ld >"$r/lib/tri/ld.so.3"
ln -s /usr/lib/tri/libfoo.so.1 "$r/usr/lib/tri/libfoo.so"          # same folder
ln -s /lib/tri/ld.so.3 "$r/lib/ld.so.3"                            # up and down
ln -s /usr/lib/tri/libfoo.so.1 "$r/usr/lib/tri/deep/libfoo.so"     # from below
ln -s /usr/share/x "$r/usr/lib/tri/xdir"                           # a folder
ln -s libfoo.so.1 "$r/usr/lib/tri/librel.so"                       # relative already
ln -s /etc/hostname "$r/usr/lib/tri/host"                          # exists on the host only
ln -s "/usr/lib/tri/with space" "$r/usr/lib/tri/spaced"
echo sp >"$r/usr/lib/tri/with space"

"$tool" --fix-links "$r" || { echo "FAIL: --fix-links exited $?"; exit 1; }

check "absolute links left" "$(find "$r" -type l -lname '/*' | wc -l)" 0
check "same folder" "$(readlink "$r/usr/lib/tri/libfoo.so")" libfoo.so.1
check "same folder reads the root's file" "$(cat "$r/usr/lib/tri/libfoo.so")" lib
check "up and down" "$(readlink "$r/lib/ld.so.3")" tri/ld.so.3
check "from below" "$(cat "$r/usr/lib/tri/deep/libfoo.so")" lib
check "folder" "$(readlink -f "$r/usr/lib/tri/xdir")" "$(realpath "$r/usr/share/x")"
check "relative untouched" "$(readlink "$r/usr/lib/tri/librel.so")" libfoo.so.1
check "host-only target stays in the root" "$(readlink -m "$r/usr/lib/tri/host")" "$(realpath "$r")/etc/hostname"
check "host-only target dangles" "$(test -e "$r/usr/lib/tri/host" && echo exists || echo dangling)" dangling
check "space in the target" "$(cat "$r/usr/lib/tri/spaced")" sp

# A second pass changes nothing.
before=$(find "$r" -type l -printf '%p %l\n' | sort)
"$tool" --fix-links "$r"
check "second pass" "$(find "$r" -type l -printf '%p %l\n' | sort)" "$before"

"$tool" --fix-links "$work/none" 2>/dev/null
check "missing folder is refused" "$?" 2
[ "$fails" -eq 0 ] && echo "armhf root links: all resolve inside the root"
exit "$fails"
