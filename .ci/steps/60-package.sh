#!/usr/bin/env bash
# Packaging, as a user meets it: the release preset, `cmake --install`, the
# Debian package built by CPack, installed with dpkg, one command line run
# through the installed /usr/bin/qsh, its manual page read with man, and the
# package removed again.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive

need=()
command -v dpkg-shlibdeps >/dev/null || need+=(dpkg-dev)
command -v groff >/dev/null || need+=(groff-base)
command -v man >/dev/null || need+=(man-db)
if [ ${#need[@]} -gt 0 ]; then
  apt-get update -qq && apt-get install -y -qq "${need[@]}"
fi

fail() { echo "package: $*" >&2; exit 1; }
tmp=$(mktemp -d)
installed=0
cleanup() {
  if [ "$installed" = 1 ]; then dpkg -r qsh >/dev/null || true; fi
  rm -rf "$tmp"
}
trap cleanup EXIT

# The presets parse, and the release preset (re)configures and builds build/.
cmake --list-presets=all >/dev/null
cmake --preset release >/dev/null
cmake --build --preset release

# cmake --install into a staging prefix.
cmake --install build --prefix "$tmp/stage"
[ -x "$tmp/stage/bin/qsh" ] || fail "cmake --install put no bin/qsh"
[ -f "$tmp/stage/share/man/man1/qsh.1.gz" ] || fail "cmake --install put no share/man/man1/qsh.1.gz"

# The Debian package.
rm -f build/qsh_*.deb
(cd build && cpack -G DEB)
debs=(build/qsh_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "expected one build/qsh_*.deb, found: ${debs[*]}"
deb=${debs[0]}
dpkg-deb --info "$deb"
contents=$(dpkg-deb --contents "$deb")
echo "$contents"
grep -q ' \./usr/bin/qsh$' <<<"$contents" || fail "the package has no /usr/bin/qsh"
grep -q ' \./usr/share/man/man1/qsh\.1\.gz$' <<<"$contents" || fail "the package has no manual page"

installed=1
dpkg -i "$deb"
[ -x /usr/bin/qsh ] || fail "dpkg -i installed no /usr/bin/qsh"
[ -f /usr/share/man/man1/qsh.1.gz ] || fail "dpkg -i installed no manual page"

# One command line through the installed shell: sequence, conditionals,
# quoting and an escaped operator.
line="echo one; false || echo 'two | three' && echo four\\;five"
expected=$'one\ntwo | three\nfour;five'
status=0
got=$(printf '%s\n' "$line" | /usr/bin/qsh) || status=$?
[ "$status" -eq 0 ] || fail "qsh exited with status $status for: $line"
if [ "$got" != "$expected" ]; then
  printf 'package: qsh printed\n%s\nexpected\n%s\n' "$got" "$expected" >&2
  exit 1
fi
echo "package: the installed qsh ran: $line"

# The manual page: found by name and rendered by man, with no warnings.
export LC_ALL=C.UTF-8 MANWIDTH=80
page=$(man -w qsh)
[ "$page" = /usr/share/man/man1/qsh.1.gz ] || fail "man -w qsh gave '$page'"
man --warnings=w -l "$page" >"$tmp/man.txt" 2>"$tmp/man.err" || fail "man -l failed: $(cat "$tmp/man.err")"
[ ! -s "$tmp/man.err" ] || fail "man -l warned: $(cat "$tmp/man.err")"
for heading in NAME SYNOPSIS DESCRIPTION OPTIONS GRAMMAR PROMPT 'PROCESS-ID LINES' \
               'EXIT STATUS' 'DIFFERENCES FROM A POSIX SH' EXAMPLES; do
  grep -q "^$heading\$" "$tmp/man.txt" || fail "the rendered page has no $heading section"
done
grep -q 'qsh - a small command interpreter for Linux' "$tmp/man.txt" || fail "the rendered page has no NAME line"
echo "package: man -l rendered $(wc -l <"$tmp/man.txt") lines"

dpkg -r qsh
installed=0
[ ! -e /usr/bin/qsh ] || fail "dpkg -r left /usr/bin/qsh"
echo "package: built, installed, run and removed $deb"
