#!/bin/sh
# Installs the build in BUILD_DIR into a fresh temporary prefix, then builds
# and runs a separate small program against that copy: once found with
# CMake's find_package, once with pkg-config. The prefix is moved after the
# install, so nothing may depend on where it was installed.
set -eu
build_dir=$1
source_dir=$(cd "$(dirname "$0")" && pwd)/install
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build_dir" --prefix "$work/first" >/dev/null
mv "$work/first" "$work/prefix"
prefix=$work/prefix
expected="atom_client 0.1 found 1 tcp"
# A sanitizer build's archive needs the sanitizers' run-time libraries.
extra=""
if grep -q '^ATOM_SANITIZE:BOOL=ON' "$build_dir/CMakeCache.txt"; then
    extra="-fsanitize=address,undefined"
fi

cmake -S "$source_dir" -B "$work/user" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_EXE_LINKER_FLAGS="$extra" >/dev/null
cmake --build "$work/user" >/dev/null
got=$("$work/user/example")
[ "$got" = "$expected" ] || { echo "find_package build printed: $got"; exit 1; }
echo "find_package: $got"

if ! command -v pkg-config >/dev/null 2>&1; then
    echo "pkg-config is not installed: its half of the check is skipped"
    exit 0
fi
flags=$(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --cflags --libs atom_client)
${CXX:-c++} -std=c++17 $extra "$source_dir/example.cpp" $flags -o "$work/example_pc"
got=$("$work/example_pc")
[ "$got" = "$expected" ] || { echo "pkg-config build printed: $got"; exit 1; }
echo "pkg-config: $got"
