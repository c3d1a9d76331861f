#!/bin/sh
# Installs the build into a temporary prefix, builds a project outside the tree
# against it and runs that project. For a cross build, the toolchain file, the
# program that runs its executables and their suffix follow (all three or none).
set -e
build=$1
toolchain=${3:-}
emulator=${4:-}
suffix=${5:-}
source_dir=$(cd "$(dirname "$0")" && pwd)/app
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
if [ -n "$toolchain" ]; then
  # The toolchain finds packages only under its roots: the prefix is one.
  cmake -S "$source_dir" -B "$work/app" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
        -DQZA_WINDOWS_PREFIX="$work/prefix" -DCMAKE_PREFIX_PATH="$work/prefix" \
        -DCMAKE_EXE_LINKER_FLAGS="-static" >/dev/null
else
  cmake -S "$source_dir" -B "$work/app" -DCMAKE_PREFIX_PATH="$work/prefix" \
        -DCMAKE_CXX_FLAGS="$2" -DCMAKE_EXE_LINKER_FLAGS="$2" >/dev/null
fi
cmake --build "$work/app" >/dev/null
mkdir "$work/data"
$emulator "$work/app/app$suffix" "$work/data"
test -f "$work/prefix/include/qza_wdir/CDosFile.h"
test -x "$work/prefix/bin/qza_wdir$suffix"
test -x "$work/prefix/bin/qza_mkalarm$suffix"
