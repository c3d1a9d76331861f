#!/bin/sh
# Installs the build into a temporary prefix, builds a project outside the tree
# against it and runs that project.
set -e
build=$1
source_dir=$(cd "$(dirname "$0")" && pwd)/app
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
cmake -S "$source_dir" -B "$work/app" -DCMAKE_PREFIX_PATH="$work/prefix" \
      -DCMAKE_CXX_FLAGS="$2" -DCMAKE_EXE_LINKER_FLAGS="$2" >/dev/null
cmake --build "$work/app" >/dev/null
mkdir "$work/data"
"$work/app/app" "$work/data"
test -f "$work/prefix/include/qza_wdir/CDosFile.h"
test -x "$work/prefix/bin/qza_wdir"
test -x "$work/prefix/bin/qza_mkalarm"
