#!/usr/bin/env bash
# The Debian package as installed: inside the virtual reader's private mount
# namespace, a throw-away root (an overlay over / whose changes live in a
# tmpfs) gets the package with dpkg -i; there dpkg -L lists its files,
# p11-kit finds the module, zorad-tool reaches the virtual card through the
# installed module by default, and dpkg -r leaves none of the files. The
# machine's own root and package database are never written.
. "$(dirname "$0")/e2e_lib.sh"
e2e_require dpkg dpkg-deb chroot
deb="${ZORAD_DEB:-}"
[ -f "$deb" ] || e2e_skip "no package ${deb:-(ZORAD_DEB unset)}: scripts/package builds it"
version=$(dpkg-deb -f "$deb" Version)
e2e_workdir
before=$(dpkg-query -W -f='${db:Status-Abbrev}' zorad-pkcs11 2>/dev/null || true)

cat >"$e2e_dir/inside.sh" <<'EOF'
set -eu
# Only in a mount namespace of our own: the mounts must not reach the machine.
[ "$(readlink /proc/self/ns/mnt)" != "$outside_ns" ] || { echo "not in a namespace" >&2; exit 1; }
root="$dir/root" layers="$dir/layers"
mkdir -p "$root" "$layers"
mount -t tmpfs tmpfs "$layers"
mkdir "$layers/upper" "$layers/work"
mount -t overlay overlay -o "lowerdir=/,upperdir=$layers/upper,workdir=$layers/work" "$root"
for m in proc dev run/pcscd; do mkdir -p "$root/$m" && mount --rbind "/$m" "$root/$m"; done
in_root() { chroot "$root" "$@"; }
in_root dpkg -i "$deb" >"$dir/install.log"
in_root dpkg -L zorad-pkcs11 >"$dir/files.txt"
in_root p11-kit list-modules >"$dir/modules.txt"
in_root zorad-tool slots >"$dir/slots.txt"
in_root zorad-tool --version >"$dir/version.txt"
in_root dpkg -r zorad-pkcs11 >>"$dir/install.log"
in_root dpkg-query -W -f='${db:Status-Abbrev}\n' zorad-pkcs11 >"$dir/status.txt" 2>&1 || true
# Every file the package listed is gone (the folders it shares may stay).
while read -r path; do
  if [ -e "$root$path" ] && ! [ -d "$root$path" ]; then echo "$path"; fi
done <"$dir/files.txt" >"$dir/left.txt"
EOF
outside_ns=$(readlink /proc/self/ns/mnt)
export dir="$e2e_dir" deb outside_ns
e2e_reader --image "$e2e_dir/card.img" --new -- bash "$e2e_dir/inside.sh" ||
  { cat "$e2e_dir/install.log" >&2 || true; e2e_fail "the install run failed"; }

module=/usr/lib/x86_64-linux-gnu/pkcs11/zorad_pkcs11.so
for path in "$module" /usr/share/p11-kit/modules/zorad_pkcs11.module /usr/bin/zorad-tool \
            /usr/share/man/man1/zorad-tool.1.gz /usr/share/doc/zorad-pkcs11/copyright; do
  grep -qx -- "$path" "$e2e_dir/files.txt" || e2e_fail "dpkg -L does not list $path"
done
e2e_expect_line "$e2e_dir/modules.txt" "zorad_pkcs11: $module"
e2e_expect_line "$e2e_dir/modules.txt" "token: Zorad test token"
e2e_expect_line "$e2e_dir/slots.txt" 'token: "Zorad test token", serial 0123456789ABCD'
[ "$(cat "$e2e_dir/version.txt")" = "zorad-tool $version" ] ||
  e2e_fail "zorad-tool --version says '$(cat "$e2e_dir/version.txt")', the package $version"
grep -q '^un\|^pn\|no packages found' "$e2e_dir/status.txt" ||
  e2e_fail "after dpkg -r the package is '$(cat "$e2e_dir/status.txt")'"
[ ! -s "$e2e_dir/left.txt" ] || e2e_fail "dpkg -r left: $(cat "$e2e_dir/left.txt")"
after=$(dpkg-query -W -f='${db:Status-Abbrev}' zorad-pkcs11 2>/dev/null || true)
[ "$before" = "$after" ] || e2e_fail "the machine's package database changed"
echo "Debian package $version installed, used and removed in a throw-away root: OK"
