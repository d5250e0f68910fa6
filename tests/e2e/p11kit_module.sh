#!/usr/bin/env bash
# The installed layout and p11-kit: `cmake --install` into a temporary
# prefix places the module in <libdir>/pkcs11 and the p11-kit module file,
# naming that path, in <datarootdir>/p11-kit/modules. Inside the virtual
# reader's private mount namespace that folder is mounted over p11-kit's
# package folder (/usr/share/p11-kit/modules), as a package for /usr would
# install it, so the machine itself is left as it was (p11-kit reads no
# ~/.config/pkcs11/modules for root, and /etc/pkcs11/modules may not exist
# to mount over). Then `p11-kit list-modules` shows the module and its
# token, and p11tool, with no --provider, finds the token through p11-kit's
# proxy.
. "$(dirname "$0")/e2e_lib.sh"
e2e_require p11-kit p11tool cmake
p11kit_dir=/usr/share/p11-kit/modules
[ -d "$p11kit_dir" ] || e2e_skip "p11-kit has no package module folder $p11kit_dir"
e2e_workdir
prefix="$e2e_dir/prefix"

cmake --install "$ZORAD_BUILD_DIR" --prefix "$prefix" >"$e2e_dir/install.log" ||
  { cat "$e2e_dir/install.log" >&2; e2e_fail "cmake --install failed"; }
module_file="$prefix/share/p11-kit/modules/zorad_pkcs11.module"
[ -f "$module_file" ] || e2e_fail "no $module_file"
installed=$(sed -n 's/^module: //p' "$module_file")
case "$installed" in
  "$prefix"/lib*/pkcs11/zorad_pkcs11.so) ;;
  *) e2e_fail "the module file names '$installed'" ;;
esac
cmp -s "$installed" "$ZORAD_MODULE" || e2e_fail "$installed is not the built module"
if [ -n "${ZORAD_TOOL:-}" ]; then
  [ -x "$prefix/bin/zorad-tool" ] || e2e_fail "zorad-tool not installed in $prefix/bin"
fi

cat >"$e2e_dir/inside.sh" <<'EOF'
set -eu
# Only in a mount namespace of our own: the mount must not reach the machine.
[ "$(readlink /proc/self/ns/mnt)" != "$outside_ns" ] || { echo "not in a namespace" >&2; exit 1; }
mount --bind "$prefix/share/p11-kit/modules" "$p11kit_dir"
p11-kit list-modules >"$dir/modules.txt"
p11tool --list-tokens >"$dir/tokens.txt"
EOF
export dir="$e2e_dir" prefix p11kit_dir outside_ns
outside_ns=$(readlink /proc/self/ns/mnt)
e2e_reader --image "$e2e_dir/card.img" --new -- bash "$e2e_dir/inside.sh" ||
  e2e_fail "p11-kit run failed"

e2e_expect_line "$e2e_dir/modules.txt" "zorad_pkcs11: $installed"
e2e_expect_line "$e2e_dir/modules.txt" "library-manufacturer: Corvantix"
e2e_expect_line "$e2e_dir/modules.txt" "token: Zorad test token"
e2e_expect_line "$e2e_dir/modules.txt" "serial-number: 0123456789ABCD"
e2e_expect_line "$e2e_dir/tokens.txt" "Label: Zorad test token"
e2e_expect_line "$e2e_dir/tokens.txt" "Module: $installed"
[ "$(readlink -f "$p11kit_dir")" = "$p11kit_dir" ] && ! [ -e "$p11kit_dir/zorad_pkcs11.module" ] ||
  e2e_fail "the machine's p11-kit folder was changed"
echo "installed module through p11-kit: OK"
