#!/usr/bin/env bash
# run.sh BUILD_DIR C_COMPILER CXX_COMPILER: installs BUILD_DIR into a
# private prefix and builds consumers against the installed tree, with
# CMake's find_package(dfq) (C++ and C) and with pkg-config (C and C++17),
# then runs them.
set -euo pipefail
build=$(cd "$1" && pwd) cc=$2 cxx=$3
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

# Nothing below may find the library through the environment.
unset LD_LIBRARY_PATH

# CMake package, the compilers' default flags: a C++ program using dfq.hpp
# and a C-only project.
expected='select * from sales where amount > 100'
cmake -S "$here" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_CXX_COMPILER="$cxx" >/dev/null
cmake --build "$work/cmake" >/dev/null
out=$("$work/cmake/consumer")
[ "$out" = "$expected" ] || { echo "CMake consumer printed: $out"; exit 1; }
cmake -S "$here" -B "$work/cmake-c" -DCMAKE_PREFIX_PATH="$prefix" -DDFQ_CONSUMER_C_ONLY=ON \
  -DCMAKE_C_COMPILER="$cc" >/dev/null
cmake --build "$work/cmake-c" >/dev/null
check_c() {
  case $1 in
    "table node "[0-9]*", ret_code 0") ;;
    *) echo "$2 printed: $1"; exit 1 ;;
  esac
}
check_c "$("$work/cmake-c/consumer_c")" "CMake C consumer"

# pkg-config, exactly as the README shows it: the programs start without
# help (dfq.pc carries the library's folder as an rpath). The C++ one is
# built as C++17 with every warning an error.
pc=$(dirname "$(find "$prefix" -name dfq.pc)")
export PKG_CONFIG_PATH=$pc
# shellcheck disable=SC2046
"$cc" -o "$work/consumer_c" "$here/consumer.c" $(pkg-config --cflags --libs dfq)
check_c "$("$work/consumer_c")" "pkg-config C consumer"
# shellcheck disable=SC2046
"$cxx" -std=c++17 -Wall -Wextra -Wpedantic -Werror -o "$work/consumer_cpp" "$here/consumer.cpp" \
  $(pkg-config --cflags --libs dfq)
out=$("$work/consumer_cpp")
[ "$out" = "$expected" ] || { echo "pkg-config C++ consumer printed: $out"; exit 1; }
# The installed runner finds the installed library by itself.
"$prefix/bin/dfq-run" --help >/dev/null
echo "installed package: ok"
