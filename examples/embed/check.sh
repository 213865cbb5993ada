#!/usr/bin/env bash
# Installs cdedup into a scratch prefix and uses it the way an outside project
# would: builds the embedding example against the installed package only, with
# find_package and with cc and pkg-config (examples/embed/Makefile), then
# checks that the example and the installed command write the same encoded
# bytes and read each other's streams.
#   usage: check.sh BUILD_DIR SOURCE_DIR
set -euo pipefail

if [ $# -ne 2 ]; then
  echo "usage: $0 BUILD_DIR SOURCE_DIR" >&2
  exit 2
fi
build=$(cd "$1" && pwd)
src=$(cd "$2" && pwd)
tmp=$(mktemp -d "${TMPDIR:-/tmp}/cdedup-install-XXXXXX")
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix

fail() {
  echo "check.sh: $*" >&2
  exit 1
}

echo "--- install into $prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
# The library directory depends on how the build was configured (lib, lib64, lib/<triplet>).
for f in bin/cdedup include/cdedup/cdedup.h share/man/man1/cdedup.1 share/bash-completion/completions/cdedup; do
  [ -f "$prefix/$f" ] || fail "$f was not installed"
done
lib=$(find "$prefix" -name libcdedup.a -print -quit)
[ -n "$lib" ] || fail "libcdedup.a was not installed"
config=$(find "$prefix" -name cdedupConfig.cmake -print -quit)
[ -n "$config" ] || fail "cdedupConfig.cmake was not installed"
[ -f "$(dirname "$config")/cdedupConfigVersion.cmake" ] || fail "cdedupConfigVersion.cmake was not installed"
pc=$(find "$prefix" -name cdedup.pc -print -quit)
[ -n "$pc" ] || fail "cdedup.pc was not installed"
[ "$(dirname "$pc")" = "$(dirname "$lib")/pkgconfig" ] || fail "cdedup.pc is not in the library folder's pkgconfig: $pc"
# Written when installing, so it names the prefix installed into, not the one configured.
grep -qx "prefix=$prefix" "$pc" || { cat "$pc" >&2; fail "cdedup.pc does not name the prefix it was installed into"; }

# The same compilers as the build: an instrumented or clang-built library
# links only with its own toolchain's runtime, a cross-built one only for its
# target.
cache_value() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
cc=$(cache_value CMAKE_C_COMPILER)
cxx=$(cache_value CMAKE_CXX_COMPILER)
build_type=$(cache_value CMAKE_BUILD_TYPE)
toolchain=$(cache_value CMAKE_TOOLCHAIN_FILE)
cross=()
[ -z "$toolchain" ] || cross=(-DCMAKE_TOOLCHAIN_FILE="$toolchain")
# A cross build's programs start through the emulator its tests name.
read -ra emulator <<<"${CDEDUP_EMULATOR:-}"

echo "--- build the example against the installed package"
cmake -S "$src/examples/embed" -B "$tmp/embed" -DCMAKE_PREFIX_PATH="$prefix" "${cross[@]}" \
  -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE="${build_type:-Release}" \
  -DCMAKE_C_FLAGS=-Werror >"$tmp/configure.log" 2>&1 || { cat "$tmp/configure.log" >&2; fail "the example does not configure"; }
cmake --build "$tmp/embed" >"$tmp/build.log" 2>&1 || { cat "$tmp/build.log" >&2; fail "the example does not build"; }

echo "--- build the example with cc and pkg-config alone"
# The C compiler the example was configured with: a toolchain file may name it where the build's cache does not.
cc=$(sed -n 's/^CMAKE_C_COMPILER:[A-Z]*=//p' "$tmp/embed/CMakeCache.txt")
[ -n "$cc" ] || fail "no C compiler in the example's configuration"
# Only this package's .pc: the machine's own must not stand in for it.
export PKG_CONFIG_LIBDIR
PKG_CONFIG_LIBDIR=$(dirname "$pc")
[ "$(pkg-config --modversion cdedup)" = "$("${emulator[@]}" "$prefix/bin/cdedup" --version | cut -d' ' -f2)" ] ||
  fail "cdedup.pc's version is not the command's"
mkdir -p "$tmp/pc"
# The Makefile links with --static --libs; a plain --libs must link too, there being only static archives.
make -s -f "$src/examples/embed/Makefile" -C "$tmp/pc" CC="$cc" CFLAGS="-O2 -Werror" >"$tmp/make.log" 2>&1 ||
  { cat "$tmp/make.log" >&2; fail "the example does not build with its Makefile (pkg-config --static --libs)"; }
# shellcheck disable=SC2046 # pkg-config's words are meant to be split
"$cc" -std=c11 -Werror -o "$tmp/pc/embed-plain" "$src/examples/embed/main.c" $(pkg-config --cflags --libs cdedup) \
  >"$tmp/cc.log" 2>&1 || { cat "$tmp/cc.log" >&2; fail "the example does not build with cc and pkg-config --libs"; }
unset PKG_CONFIG_LIBDIR

embed=("${emulator[@]}" "$tmp/embed/embed")
cdedup=("${emulator[@]}" "$prefix/bin/cdedup")

# A consumer without C++ enabled is told why instead of failing at link time.
mkdir -p "$tmp/conly"
cat >"$tmp/conly/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(conly LANGUAGES C)
find_package(cdedup REQUIRED)
CMAKE
if cmake -S "$tmp/conly" -B "$tmp/conly/build" -DCMAKE_PREFIX_PATH="$prefix" "${cross[@]}" -DCMAKE_C_COMPILER="$cc" \
  >"$tmp/conly.log" 2>&1; then
  fail "a C-only consumer found the package; it would fail to link"
fi
grep -q "C++ library" "$tmp/conly.log" || { cat "$tmp/conly.log" >&2; fail "a C-only consumer got no explanation"; }

echo "--- round trip in memory, as built each way"
"${embed[@]}" check
"${emulator[@]}" "$tmp/pc/embed" check
"${emulator[@]}" "$tmp/pc/embed-plain" check

echo "--- the example and the installed command agree"
# Two copies of the installed tree: a repeat a few MiB back, as in a backup series.
tar -C "$prefix" -cf "$tmp/once.tar" .
cat "$tmp/once.tar" "$tmp/once.tar" >"$tmp/sample"
size=$(stat -c %s "$tmp/sample")

"${embed[@]}" e <"$tmp/sample" >"$tmp/by-embed.cdd" 2>"$tmp/embed.err"
"${cdedup[@]}" e "$tmp/sample" "$tmp/by-cdedup.cdd" >"$tmp/cdedup.out"
cmp "$tmp/by-embed.cdd" "$tmp/by-cdedup.cdd" || fail "the library and the command encode differently"
"${emulator[@]}" "$tmp/pc/embed" e <"$tmp/sample" 2>/dev/null | cmp -s - "$tmp/by-cdedup.cdd" ||
  fail "the example built with pkg-config encodes differently"
grep -q "^sum=$size " "$tmp/embed.err" || { cat "$tmp/embed.err" >&2; fail "the example's statistics line does not count $size bytes"; }
enc=$(stat -c %s "$tmp/by-embed.cdd")
[ "$enc" -lt $((size * 3 / 4)) ] || fail "$size bytes encoded to $enc: the repeat was not found"

"${cdedup[@]}" d "$tmp/by-embed.cdd" "$tmp/decoded-by-cdedup" >/dev/null
cmp "$tmp/sample" "$tmp/decoded-by-cdedup" || fail "the command does not decode the example's stream"
"${embed[@]}" d <"$tmp/by-cdedup.cdd" >"$tmp/decoded-by-embed" 2>/dev/null
cmp "$tmp/sample" "$tmp/decoded-by-embed" || fail "the example does not decode the command's stream"

echo "--- installed package ok: $size bytes -> $enc encoded"
