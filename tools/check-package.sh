#!/usr/bin/env bash
# Installs the Debian package of quarvelin into a scratch root with dpkg
# (--root, with an empty dpkg database of its own: nothing on this system is
# touched), checks what it put in place, runs the installed program and reads
# its manual page, then removes the package and checks that nothing is left.
#
# Usage: tools/check-package.sh PACKAGE.deb     (no root rights needed)
# The libraries the package depends on are those of this system, which the
# scratch root does not hold: dpkg is told to install it all the same.
set -euo pipefail

deb=${1:?usage: tools/check-package.sh PACKAGE.deb}
[ -f "$deb" ] || { echo "check-package: no file $deb" >&2; exit 1; }
version=$(dpkg-deb -f "$deb" Version)
root=$(mktemp -d "${TMPDIR:-/tmp}/quarvelin-package.XXXXXX")
trap 'rm -rf "$root"' EXIT
admin=$root/var/lib/dpkg
mkdir -p "$admin/info" "$admin/updates" "$admin/triggers"
touch "$admin/status" "$admin/available"

fail() { echo "check-package: $*" >&2; exit 1; }
in_root() { dpkg --root="$root" --force-not-root --force-bad-path --log=/dev/null "$@"; }

echo "check-package: $(basename "$deb"): $(dpkg-deb -f "$deb" Depends)"
in_root --force-depends -i "$deb" > "$root.log" 2>&1 || { cat "$root.log" >&2; rm -f "$root.log"; fail "dpkg -i failed"; }
rm -f "$root.log"

expected=(usr/bin/quarvelin usr/share/man/man1/quarvelin.1.gz usr/share/doc/quarvelin/copyright
    usr/share/doc/quarvelin/README.md.gz usr/share/doc/quarvelin/changelog.gz)
for f in "${expected[@]}"; do
    [ -f "$root/$f" ] || fail "the package did not install /$f"
done
installed=$(find "$root" -path "$admin" -prune -o -type f -printf '%P\n' | sort)
[ "$installed" = "$(printf '%s\n' "${expected[@]}" | sort)" ] ||
    fail "the package installed other files than expected:"$'\n'"$installed"
[ "$(stat -c %a "$root/usr/bin/quarvelin")" = 755 ] || fail "/usr/bin/quarvelin is not mode 755"

out=$("$root/usr/bin/quarvelin" --version)
[ "$out" = "quarvelin $version" ] || fail "quarvelin --version printed '$out', not 'quarvelin $version'"
echo "check-package: /usr/bin/quarvelin --version: $out"

# The manual page as man shows it (man -l reads the gzipped file itself).
if command -v man >/dev/null; then
    page=$(MANWIDTH=80 man -P cat -l "$root/usr/share/man/man1/quarvelin.1.gz" 2>/dev/null)
else
    page=$(gzip -dc "$root/usr/share/man/man1/quarvelin.1.gz")
fi
grep -q "logarithmic slope images" <<< "$page" || fail "the manual page does not read as quarvelin's"
grep -q "quarvelin $version" <<< "$page" || fail "the manual page does not carry the version $version"
echo "check-package: the manual page reads ($(wc -l <<< "$page") lines)"

in_root -r quarvelin > /dev/null
left=$(find "$root" -path "$admin" -prune -o ! -type d -print)
[ -z "$left" ] || fail "files left after dpkg -r:"$'\n'"$left"
left=$(find "$root/usr" -mindepth 1 2>/dev/null || true)
[ -z "$left" ] || fail "folders left after dpkg -r:"$'\n'"$left"
status=$(dpkg-query --admindir="$admin" -W -f='${db:Status-Status}' quarvelin 2>/dev/null || true)
[ -z "$status" ] || [ "$status" = not-installed ] ||
    fail "dpkg still lists the package as $status"
echo "check-package: installed, ran, read and removed cleanly"
