#!/usr/bin/env bash
# Incremental development build of the extension, staged as an importable
# package tree: PYTHONPATH=<build-dir>/stage python -m pytest
# usage: scripts/dev-build.sh [build-dir] [extra cmake arguments...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bdir=$(realpath -m "${1:-$root/build/dev}")
shift || true
py=${PYTHON:-$root/.venv/bin/python}
if [ ! -f "$bdir/CMakeCache.txt" ] || [ "$#" -gt 0 ]; then
  cmake -S "$root" -B "$bdir" -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE="$py" \
    -Dpybind11_DIR="$("$py" -m pybind11 --cmakedir)" "$@" >/dev/null
fi
cmake --build "$bdir" -j "$(nproc)" 2>&1 | grep -v '^\[' || true
test -f "$(ls "$bdir"/positions*.so | head -1)"
test -f "$(ls "$bdir"/indicators*.so | head -1)"
test -f "$(ls "$bdir"/replay*.so | head -1)"
stage=$bdir/stage
rm -rf "$stage"
mkdir -p "$stage"
# Symlinks keep the Python files and the static data live; the module is a copy.
cp -rs "$root/src/zopt_kelv_backtest" "$stage/"
find "$stage" -name '*.so' -delete
cp "$bdir"/positions*.so "$stage/zopt_kelv_backtest/modules/positions/"
cp "$bdir"/indicators*.so "$stage/zopt_kelv_backtest/modules/indicators/"
cp "$bdir"/replay*.so "$stage/zopt_kelv_backtest/modules/replay/"
echo "$stage"
