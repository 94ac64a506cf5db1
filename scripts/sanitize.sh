#!/usr/bin/env bash
# Whole test suite against an ASan + UBSan build of the extension.
# usage: scripts/sanitize.sh [pytest arguments...]
# The build goes to build/asan (incremental); the sanitizer runtime is
# preloaded because the interpreter itself is not instrumented.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
py=${PYTHON:-$root/.venv/bin/python}
cxx=${CXX:-g++}
stage=$("$root/scripts/dev-build.sh" "$root/build/asan" -DZOPT_SANITIZE=ON | tail -1)

asan=$("$cxx" -print-file-name=libasan.so)
ubsan=$("$cxx" -print-file-name=libubsan.so)
for lib in "$asan" "$ubsan"; do
  [ -f "$lib" ] || { echo "sanitizer runtime not found: $lib" >&2; exit 2; }
done

log=$(mktemp -d)/sanitizer
# detect_leaks=0: the interpreter keeps its objects alive at exit on purpose.
# PYTHONMALLOC=malloc routes Python objects through ASan's allocator, so a
# use-after-free of a Python object is caught too.
# allocator_may_return_null=1: an impossible allocation fails as it does without ASan (MemoryError), as
# when Dask's client reads a non-Dask peer's bytes as a frame length.
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:strict_init_order=1:detect_stack_use_after_return=0:allocator_may_return_null=1:log_path=$log"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$log"
export PYTHONMALLOC=malloc
export PYTHONFAULTHANDLER=1
export PYTHONPATH="$stage${PYTHONPATH:+:$PYTHONPATH}"
cd "$root"
start=$(date +%s)
status=0
LD_PRELOAD="$asan $ubsan" "$py" -m pytest -q -p no:cacheprovider "$@" || status=$?
echo "sanitizer suite: exit $status in $(( $(date +%s) - start )) s"
if compgen -G "$log*" >/dev/null; then
  # An impossible allocation that returned null (see allocator_may_return_null) is noted, not a fault.
  if grep -qv 'WARNING: AddressSanitizer failed to allocate' "$log"*; then
    echo "sanitizer reports:" >&2
    status=1
  else
    echo "sanitizer notes (impossible allocations refused, as without ASan):" >&2
  fi
  cat "$log"* >&2
fi
exit $status
