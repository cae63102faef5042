#!/usr/bin/env bash
# Installs the build tree into a fresh temporary prefix and uses it the way a host project
# would: the CMake package (C host and C++ host from examples/), the installed headers on their
# own, the pkg-config files with a plain compiler line, and the installed command-line program.
# Usage: install_check.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
src=$1
build=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/orvoaec-install.XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config
unset XDG_DOCUMENTS_DIR
mkdir -p "$HOME"
step() { echo "== $*"; }

step "install into $prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(cd "$prefix" && dirname "$(find . -name libORVOAEC.so -print -quit)")
for f in "$libdir/libORVOAEC.so" "$libdir/liborvoaec_static.a" bin/orvoaec \
         include/orvoaec/orvoaec.h include/orvoaec/engine.hpp \
         "$libdir/cmake/ORVOAEC/ORVOAECConfig.cmake" "$libdir/pkgconfig/orvoaec.pc" \
         "$libdir/pkgconfig/orvoaec-engine.pc" share/doc/ORVOAEC/LICENSE-weights.txt; do
  [[ -e "$prefix/$f" ]] || { echo "not installed: $f" >&2; exit 1; }
done
# Only the public headers, nothing of the engine's internals.
extra=$(find "$prefix/include" -type f ! -name orvoaec.h ! -name engine.hpp)
[[ -z "$extra" ]] || { echo "unexpected installed headers: $extra" >&2; exit 1; }

step "installed headers compile on their own"
echo '#include <orvoaec/orvoaec.h>' | cc -std=c99 -Wall -Wextra -Werror -fsyntax-only \
  -I"$prefix/include" -x c -
for h in orvoaec.h engine.hpp; do
  echo "#include <orvoaec/$h>" | c++ -std=c++20 -Wall -Wextra -Werror -fsyntax-only \
    -I"$prefix/include" -x c++ -
done

for host in c_host cpp_host; do
  step "find_package(ORVOAEC): examples/$host"
  cmake -S "$src/examples/$host" -B "$work/$host" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$work/$host" >/dev/null
  "$work/$host/$host"
done

step "pkg-config: plain compiler lines"
export PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig
[[ "$(pkg-config --modversion orvoaec)" == "$(pkg-config --modversion orvoaec-engine)" ]]
# shellcheck disable=SC2046
cc -o "$work/c_host_pc" "$src/examples/c_host/host.c" $(pkg-config --cflags --libs orvoaec) -lm
LD_LIBRARY_PATH=$prefix/$libdir "$work/c_host_pc"
# shellcheck disable=SC2046
c++ -std=c++20 -o "$work/cpp_host_pc" "$src/examples/cpp_host/host.cpp" \
  $(pkg-config --cflags --libs orvoaec-engine)
"$work/cpp_host_pc"

step "installed command-line program"
head -c 192000 /dev/urandom > "$work/noise.pcm"
"$prefix/bin/orvoaec" process --mic "$work/noise.pcm" --ref "$work/noise.pcm" \
  --out "$work/out.pcm" >/dev/null
[[ $(stat -c %s "$work/out.pcm") -eq 192000 ]]
echo "install check passed"
