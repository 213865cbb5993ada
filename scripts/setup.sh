#!/usr/bin/env bash
# Installs the Debian packages that building and testing cdedup need, and
# only those that are missing: with everything in place it changes nothing
# and reaches no network.  Runs apt-get as root, or through sudo.
#
#   scripts/setup.sh            what the README's two commands need: the
#                               build, the demo and the test suite
#   scripts/setup.sh --package  that, and what building the Debian packages
#                               needs (dpkg-shlibdeps, file)
#   scripts/setup.sh --bench    that, and what bench/measure.sh and bench/chart
#                               need: GNU time, xz, lrzip, gnuplot
#   scripts/setup.sh --ci       that, the packages' needs, and what CI adds:
#                               clang for the fuzzers, Google Benchmark, the
#                               aarch64 cross build with qemu-user to run it,
#                               man and bash-completion to check the
#                               installed packages
# The options may be combined.
set -euo pipefail

packages=(cmake g++ make pkg-config python3 tar zstd libzstd-dev libxxhash-dev libgtest-dev libgmock-dev)
package_deb=(dpkg-dev file)
foreign_archs=()
for option in "$@"; do
  case $option in
    --package) packages+=("${package_deb[@]}") ;;
    --bench) packages+=(time xz-utils lrzip gnuplot-nox) ;;
    --ci)
      packages+=(clang libclang-rt-14-dev llvm libbenchmark-dev "${package_deb[@]}" man-db bash-completion)
      # The aarch64 step cross-builds against arm64 libraries and runs on arm64's
      # own C and C++ runtime under qemu-user, so dpkg must know that architecture.
      foreign_archs+=(arm64)
      packages+=(g++-aarch64-linux-gnu qemu-user libzstd-dev:arm64 libstdc++6:arm64 libgtest-dev:arm64
        libgmock-dev:arm64)
      ;;
    *)
      echo "usage: scripts/setup.sh [--package] [--bench] [--ci]" >&2
      exit 1
      ;;
  esac
done

# A name without an architecture means the machine's own (or "all"): with
# arm64 added, libzstd-dev:arm64 alone must not pass for libzstd-dev.
native=$(dpkg --print-architecture)
installed() {
  local name=${1%%:*} arch=${1#*:}
  [ "$arch" = "$1" ] && arch=$native
  dpkg-query -W -f='${Status} ${Architecture}\n' "$name" 2> /dev/null |
    grep -Eq "^install ok installed ($arch|all)\$"
}
missing=()
for p in "${packages[@]}"; do installed "$p" || missing+=("$p"); done
new_archs=()
for a in "${foreign_archs[@]}"; do
  dpkg --print-foreign-architectures | grep -qx "$a" || new_archs+=("$a")
done
[ ${#missing[@]} -eq 0 ] && [ ${#new_archs[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
  as_root=()
elif command -v sudo > /dev/null; then
  as_root=(sudo)
else
  echo "setup: these Debian packages are missing and installing them needs root or sudo: ${missing[*]}" >&2
  exit 1
fi
echo "setup: installing ${missing[*]}" >&2
for a in "${new_archs[@]}"; do "${as_root[@]}" dpkg --add-architecture "$a"; done
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -qq
"${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
