#!/usr/bin/env bash
# Installs the library into a scratch prefix and builds a client against it twice, as C++17:
# through the CMake package and through pkg-config. Also checks that the project configures
# without GoogleTest and Google Benchmark, leaving their parts out.
set -euo pipefail
build_dir=$1
source_dir=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build_dir" --prefix "$work/prefix" > /dev/null
cmake -S "$source_dir/tests/install/consumer" -B "$work/consumer" -G Ninja \
  -DCMAKE_PREFIX_PATH="$work/prefix" > /dev/null
cmake --build "$work/consumer" > /dev/null
LD_LIBRARY_PATH="$work/prefix/lib" "$work/consumer/consumer"

libdir=$(ls -d "$work"/prefix/lib*/pkgconfig | head -n 1)
export PKG_CONFIG_PATH=$libdir
# shellcheck disable=SC2046
g++ -o "$work/consumer-pc" "$source_dir/tests/install/consumer/main.cpp" $(pkg-config --cflags --libs vtfc4)
LD_LIBRARY_PATH="$(dirname "$libdir")" "$work/consumer-pc"

cmake -S "$source_dir" -B "$work/plain" -G Ninja -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON \
  -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON > /dev/null
grep -q '^VTFC4_BUILD_TESTS:BOOL=OFF' "$work/plain/CMakeCache.txt"
grep -q '^VTFC4_BUILD_BENCH:BOOL=OFF' "$work/plain/CMakeCache.txt"
test -f "$work/prefix/share/doc/vtfc4/examples/quickstart.cpp"
test -f "$work/prefix/share/doc/vtfc4/LICENSE"
test -f "$(ls -d "$work"/prefix/lib*/ | head -n 1)/vtfc4.tlb"
test -x "$work/prefix/bin/vtfc4-regsvr"

# The installed examples build against the installed SDK, and the one that needs no
# connection runs.
cmake -S "$work/prefix/share/doc/vtfc4/examples" -B "$work/examples" -G Ninja \
  -DCMAKE_PREFIX_PATH="$work/prefix" > /dev/null
cmake --build "$work/examples" > /dev/null
written=$(LD_LIBRARY_PATH="$work/prefix/lib" "$work/examples/write_customer")
grep -q '<Name>Ames &amp; Sons &lt;Lyon&gt;</Name>' <<<"$written"
