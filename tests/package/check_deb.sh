#!/usr/bin/env bash
# Builds the two Debian packages, installs them on this machine the way a user
# would (apt-get install ./cdedup_*.deb), checks what each promises, and
# removes them again, also when a check fails.  Run by .ci/run on its fresh
# machine; it changes the system, so it is no ctest test.  Needs root or sudo,
# and refuses to start where a cdedup package is installed already.
#   usage: tests/package/check_deb.sh
set -euo pipefail
src=$(cd "$(dirname "$0")/../.." && pwd)
cd "$src"

fail() {
  echo "check_deb.sh: $*" >&2
  exit 1
}
if [ "$(id -u)" -eq 0 ]; then as_root=(); else as_root=(sudo); fi
installed() { dpkg-query -W -f='${Status}\n' "$1" 2>/dev/null | grep -q '^install ok installed$'; }
for p in cdedup libcdedup-dev; do
  ! installed "$p" || fail "the package $p is installed already; this check installs and removes its own"
done

tmp=$(mktemp -d "${TMPDIR:-/tmp}/cdedup-deb-XXXXXX")
remove() {
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq cdedup libcdedup-dev > /dev/null 2>&1 || true
  rm -rf "$tmp"
}
trap remove EXIT

echo "--- build the packages"
rm -f build/package/*.deb
cmake --workflow --preset package > "$tmp/build.log" 2>&1 || { cat "$tmp/build.log" >&2; fail "the packages do not build"; }
version=$(sed -n 's/^project(cdedup VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
arch=$(dpkg --print-architecture)
tool=build/package/cdedup_${version}_${arch}.deb
dev=build/package/libcdedup-dev_${version}_${arch}.deb
[ -f "$tool" ] && [ -f "$dev" ] || { ls build/package >&2; fail "expected $tool and $dev"; }
dpkg-deb -f "$tool" Depends | grep -q 'libzstd1' || fail "cdedup's Depends has no libzstd1: $(dpkg-deb -f "$tool" Depends)"
dpkg-deb -f "$dev" Depends | grep -q 'libstdc++-dev' || fail "libcdedup-dev's Depends has no C++ runtime"
echo "cdedup depends on: $(dpkg-deb -f "$tool" Depends)"

echo "--- install them"
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
  "$src/$tool" "$src/$dev" > "$tmp/apt.log" 2>&1 || { cat "$tmp/apt.log" >&2; fail "apt-get install failed"; }

echo "--- the command"
[ "$(command -v cdedup)" = /usr/bin/cdedup ] || fail "cdedup is not /usr/bin/cdedup: $(command -v cdedup)"
[ "$(cdedup --version)" = "cdedup $version" ] || fail "cdedup --version says $(cdedup --version)"
head -c 3000000 /dev/urandom > "$tmp/once"
cat "$tmp/once" "$tmp/once" > "$tmp/twice"
cdedup -z < "$tmp/twice" > "$tmp/twice.cdz"
cdedup -d < "$tmp/twice.cdz" | cmp -s - "$tmp/twice" || fail "the installed cdedup does not give its input back"
[ "$(stat -c %s "$tmp/twice.cdz")" -lt 4000000 ] || fail "the installed cdedup did not find the repeat"

# listed FILE PACKAGE: FILE is among the package's files, and on the disk.
listed() {
  dpkg -L "$2" | grep -qx "$1" || fail "dpkg -L $2 does not list $1"
  [ -f "$1" ] || fail "$1 is listed but not there"
}
listed /usr/bin/cdedup cdedup
man_page=$(dpkg -L cdedup | grep '/man1/cdedup\.1')
listed "$man_page" cdedup
[ "$(man -w cdedup)" = "$man_page" ] || fail "man -w cdedup finds $(man -w cdedup), not $man_page"
MANPAGER=cat MANWIDTH=80 man cdedup 2> /dev/null | grep -q 'EXIT STATUS' || fail "man cdedup does not show the page"
completion=/usr/share/bash-completion/completions/cdedup
listed "$completion" cdedup
# bash-completion finds it by the command's name, as an interactive shell would.
if [ -f /usr/share/bash-completion/bash_completion ]; then
  # shellcheck disable=SC2016 # expanded by the inner bash
  got=$(bash -c 'source /usr/share/bash-completion/bash_completion
    __load_completion cdedup && complete -p cdedup >&2
    COMP_WORDS=(cdedup --zs); COMP_CWORD=1; _cdedup; printf "%s " "${COMPREPLY[@]}"' 2>&1) ||
    fail "bash-completion does not load the completion: $got"
  case $got in *"-F _cdedup cdedup"*"--zstd --zstd="*) ;; *) fail "completion through bash-completion: $got" ;; esac
  echo "bash-completion loads it: ${got%%$'\n'*}"
else
  echo "(bash-completion is not installed: its loader not tried)"
fi

echo "--- the development package"
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch)
for f in /usr/include/cdedup/cdedup.h /usr/lib/$multiarch/libcdedup.a /usr/lib/$multiarch/libcdedup_dedup.a \
  /usr/lib/$multiarch/libcdedup_platform.a /usr/lib/$multiarch/pkgconfig/cdedup.pc \
  /usr/lib/$multiarch/cmake/cdedup/cdedupConfig.cmake; do
  listed "$f" libcdedup-dev
done
libs=$(pkg-config --static --libs cdedup)
echo "pkg-config --static --libs cdedup: $libs"
[ "$(pkg-config --modversion cdedup)" = "$version" ] || fail "cdedup.pc says version $(pkg-config --modversion cdedup)"
for want in -lcdedup -lstdc++ -pthread; do
  case " $libs " in *" $want "*) ;; *) fail "pkg-config --static --libs cdedup lacks $want" ;; esac
done
mkdir -p "$tmp/make"
make -s -f "$src/examples/embed/Makefile" -C "$tmp/make" CC=cc CFLAGS="-O2 -Werror" ||
  fail "the example does not build with cc and pkg-config"
# shellcheck disable=SC2046 # pkg-config's words are meant to be split
cc -std=c11 -Werror -o "$tmp/embed-plain" "$src/examples/embed/main.c" $(pkg-config --cflags --libs cdedup) ||
  fail "the example does not build with cc and pkg-config --cflags --libs"
cmake -S "$src/examples/embed" -B "$tmp/cmake" -DCMAKE_C_FLAGS=-Werror > "$tmp/cmake.log" 2>&1 &&
  cmake --build "$tmp/cmake" >> "$tmp/cmake.log" 2>&1 || { cat "$tmp/cmake.log" >&2; fail "the example does not build with find_package"; }
for embed in "$tmp/make/embed" "$tmp/embed-plain" "$tmp/cmake/embed"; do
  "$embed" check > /dev/null || fail "$embed check failed"
  "$embed" e < "$tmp/twice" 2> /dev/null | cmp -s - <(cdedup e - - < "$tmp/twice" 2> /dev/null) ||
    fail "$embed and the installed cdedup encode differently"
done
echo "the example, built with make, with cc and with cmake against the package, agrees with cdedup"

echo "--- remove them"
trap - EXIT
remove
! installed cdedup && ! installed libcdedup-dev || fail "the packages are still installed"
[ ! -e /usr/bin/cdedup ] && [ ! -e "$completion" ] && [ ! -e "/usr/lib/$multiarch/pkgconfig/cdedup.pc" ] ||
  fail "files of the packages are left behind"
echo "packages ok: $(basename "$tool"), $(basename "$dev")"
