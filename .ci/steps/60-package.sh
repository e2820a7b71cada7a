#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Packaging, as a user meets it: the release preset, `cmake --install`, the
# Debian package built by CPack, installed with dpkg, the installed
# /usr/bin/qsh registered in /etc/shells, printing the project's version and
# running one command line, its manual page read with man, and the package
# removed and purged again, each time leaving /etc/shells without qsh.
set -euo pipefail
cd "$(dirname "$0")/../.."
. .ci/lib.sh
ci_install cmake g++ dpkg-dev groff-base man-db debianutils

fail() { echo "package: $*" >&2; exit 1; }
in_shells() { grep -qx /usr/bin/qsh /etc/shells; }
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
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/CMakeCache.txt)
[ -n "$version" ] || fail "no project version in build/CMakeCache.txt"

# cmake --install into a staging prefix.
cmake --install build --prefix "$tmp/stage"
[ -x "$tmp/stage/bin/qsh" ] || fail "cmake --install put no bin/qsh"
[ -f "$tmp/stage/share/man/man1/qsh.1.gz" ] || fail "cmake --install put no share/man/man1/qsh.1.gz"
cmp -s cmake/debian/copyright "$tmp/stage/share/doc/qsh/copyright" || fail "cmake --install put no share/doc/qsh/copyright"

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
grep -q ' \./usr/share/doc/qsh/copyright$' <<<"$contents" || fail "the package has no copyright file"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version is not $version"
dpkg-deb -f "$deb" Depends | grep -q 'debianutils' || fail "the package does not depend on debianutils"

# Otherwise the check after installing would prove nothing.
! in_shells || fail "/usr/bin/qsh is in /etc/shells before the package is installed"

installed=1
dpkg -i "$deb"
[ -x /usr/bin/qsh ] || fail "dpkg -i installed no /usr/bin/qsh"
[ -f /usr/share/man/man1/qsh.1.gz ] || fail "dpkg -i installed no manual page"
in_shells || fail "dpkg -i did not add /usr/bin/qsh to /etc/shells"
echo "package: /usr/bin/qsh is in /etc/shells"
got=$(/usr/bin/qsh --version) || fail "/usr/bin/qsh --version failed"
[ "$got" = "qsh $version" ] || fail "/usr/bin/qsh --version printed '$got', not 'qsh $version'"
echo "package: /usr/bin/qsh --version printed '$got'"

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
for heading in NAME SYNOPSIS DESCRIPTION OPTIONS GRAMMAR PROMPT 'AT A TERMINAL' 'PROCESS-ID LINES' \
               'EXIT STATUS' FILES 'DIFFERENCES FROM A POSIX SH' EXAMPLES; do
  grep -q "^$heading\$" "$tmp/man.txt" || fail "the rendered page has no $heading section"
done
grep -q 'qsh - a small command interpreter for Linux' "$tmp/man.txt" || fail "the rendered page has no NAME line"
echo "package: man -l rendered $(wc -l <"$tmp/man.txt") lines"

dpkg -r qsh
installed=0
[ ! -e /usr/bin/qsh ] || fail "dpkg -r left /usr/bin/qsh"
! in_shells || fail "dpkg -r left /usr/bin/qsh in /etc/shells"

# Purging an installed package takes it out of /etc/shells as well.
installed=1
dpkg -i "$deb" >/dev/null
in_shells || fail "dpkg -i (again) did not add /usr/bin/qsh to /etc/shells"
dpkg -P qsh
installed=0
! in_shells || fail "dpkg -P left /usr/bin/qsh in /etc/shells"
echo "package: built, installed, run, removed and purged $deb"
