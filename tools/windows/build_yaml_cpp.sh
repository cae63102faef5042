#!/usr/bin/env bash
# Builds yaml-cpp for 64-bit Windows from Debian's own source package with the MinGW-w64
# toolchain, as a static library, and prints the install prefix (the folder to hand to
# find_package through yaml-cpp_DIR=<prefix>/lib/cmake/yaml-cpp).
#
# The build lives outside the source tree, in ${ORVO_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/orvoaec},
# keyed by the source version, the compiler version and this script, so that local runs reuse
# it; a fresh machine builds it once. Nothing is downloaded besides the Debian source package.
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
toolchain="$root/cmake/mingw-w64-x86_64.cmake"
cache="${ORVO_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/orvoaec}"
jobs="${JOBS:-2}"

log() { echo "yaml-cpp (windows): $*" >&2; }

# The source of the yaml-cpp the Linux build uses, so that both builds parse and emit alike;
# else the suite's current source.
version=$(dpkg-query -W -f='${source:Version}' libyaml-cpp-dev 2>/dev/null || true)
known() { apt-cache showsrc "yaml-cpp" 2>/dev/null | awk '/^Version:/ {print $2}'; }
if [[ -z "$(known)" && $(id -u) -eq 0 ]]; then
  apt-get update -qq >/dev/null  # a deb-src entry added without refreshing the lists
fi
if [[ -z "$version" ]] || ! known | grep -qxF "$version"; then
  version=$(known | head -n 1)
fi
if [[ -z "$version" ]]; then
  log "no source package for yaml-cpp is known to apt (run tools/windows/add_deb_src.sh as root)"
  exit 1
fi
compiler=$(x86_64-w64-mingw32-g++-posix -dumpfullversion)
key=$(printf '%s\n%s\n' "$version" "$compiler" | cat - "$0" "$toolchain" | sha256sum | cut -c1-16)
prefix="$cache/yaml-cpp-mingw64-$key"
if [[ -f "$prefix/.complete" ]]; then
  echo "$prefix"
  exit 0
fi

log "building $version with MinGW-w64 g++ $compiler into $prefix"
work=$(mktemp -d "${TMPDIR:-/tmp}/orvo-yaml-cpp.XXXXXX")
trap 'rm -rf "$work"' EXIT
(cd "$work" && apt-get source -qq "yaml-cpp=$version" >/dev/null 2>"$work/source.log") || {
  cat "$work/source.log" >&2
  log "apt-get source failed"
  exit 1
}
src=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'yaml-cpp-*' | head -n 1)
[[ -n "$src" ]] || { log "no unpacked source in $work"; exit 1; }

rm -rf "$prefix"
cmake -S "$src" -B "$work/build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_INSTALL_PREFIX="$prefix" -DYAML_BUILD_SHARED_LIBS=OFF -DBUILD_SHARED_LIBS=OFF \
  -DYAML_CPP_BUILD_TESTS=OFF -DYAML_CPP_BUILD_TOOLS=OFF -DYAML_CPP_BUILD_CONTRIB=OFF \
  -DYAML_CPP_INSTALL=ON -DCMAKE_POSITION_INDEPENDENT_CODE=ON >"$work/configure.log" 2>&1 || {
  cat "$work/configure.log" >&2
  exit 1
}
cmake --build "$work/build" -j"$jobs" >"$work/build.log" 2>&1 || {
  tail -n 50 "$work/build.log" >&2
  exit 1
}
cmake --install "$work/build" >/dev/null
touch "$prefix/.complete"
# Builds for other versions, compilers or scripts are not used any more.
find "$cache" -mindepth 1 -maxdepth 1 -type d -name 'yaml-cpp-mingw64-*' ! -path "$prefix" \
  -exec rm -rf {} +
echo "$prefix"
