#!/usr/bin/env bash
# run.sh BUILD_DIR C_COMPILER CXX_COMPILER: installs BUILD_DIR into a
# private prefix and builds two consumers against the installed tree, one
# with CMake's find_package(dfq) and one with pkg-config, then runs them.
set -euo pipefail
build=$1 cc=$2 cxx=$3
here=$(cd "$(dirname "$0")" && pwd)
work=$build/consumer-test
prefix=$work/prefix
rm -rf "$work"

cmake --install "$build" --prefix "$prefix" >/dev/null

# Only the public headers are installed.
headers=$(ls "$prefix/include")
if [ "$headers" != "$(printf 'dfq.h\ndfq.hpp')" ]; then
  echo "unexpected installed headers: $headers"; exit 1
fi
ls "$prefix"/lib*/libdfq.so.1 >/dev/null

# CMake package.
cmake -S "$here" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_CXX_COMPILER="$cxx" >/dev/null
cmake --build "$work/cmake" >/dev/null
out=$("$work/cmake/consumer")
expected='select * from sales where amount > 100'
[ "$out" = "$expected" ] || { echo "CMake consumer printed: $out"; exit 1; }

# pkg-config.
pc=$(dirname "$(find "$prefix" -name dfq.pc)")
flags=$(PKG_CONFIG_PATH=$pc pkg-config --cflags --libs dfq)
libdir=$(PKG_CONFIG_PATH=$pc pkg-config --variable=libdir dfq)
# shellcheck disable=SC2086
"$cc" -o "$work/consumer_c" "$here/consumer.c" $flags -Wl,-rpath,"$libdir"
out=$("$work/consumer_c")
case $out in
  "table node "[0-9]*", ret_code 0") ;;
  *) echo "pkg-config consumer printed: $out"; exit 1 ;;
esac
# The installed runner finds the installed library by itself.
"$prefix/bin/dfq-run" --help >/dev/null
echo "installed package: ok"
