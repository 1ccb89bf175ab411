#!/usr/bin/env bash
# Installs the library into a scratch prefix and builds a client against it twice: through
# the CMake package and through pkg-config.
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
