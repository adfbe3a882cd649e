#!/usr/bin/env bash
# The free-threaded stress test (python/tests/test_free_threaded.py) under
# ThreadSanitizer: a free-threaded CPython built by clang-19 with
# --with-thread-sanitizer (scripts/free_threaded_python.sh --tsan: a build of
# 10 minutes or more on two cores, kept for later runs), both extension
# modules and the core built with -fsanitize=thread into build/tsan-ft, the
# test run there with the GIL off. Any report fails the run; reports go to
# build/tsan-ft/report.*. Only races inside CPython itself are suppressed
# (scripts/tsan_free_threaded.supp, each with its reason). Not part of
# scripts/test.sh: too slow for every run.
#   scripts/tsan_free_threaded.sh [PYTEST ARGUMENT...]
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh --sanitizers
python=$(scripts/free_threaded_python.sh --tsan)
out=build/tsan-ft
echo "-- $($python -VV) ($python)"
CC=clang-19 CXX=clang++-19 scripts/python_tree.sh "$python" "$out" -Dbuildtype=debugoptimized \
  -Db_sanitize=thread -Db_lundef=false -Dcpp_args=-fno-omit-frame-pointer

# The sanitizer runtime does not find Debian's llvm-symbolizer through its
# symbolic link on PATH; named by its real path, reports name functions.
options="suppressions=$PWD/scripts/tsan_free_threaded.supp:halt_on_error=0:exitcode=66:log_path=$PWD/$out/report"
if symbolizer=$(command -v llvm-symbolizer); then options+=":external_symbolizer_path=$(readlink -f "$symbolizer")"; fi
rm -f "$out"/report.*
status=0
(cd build && TSAN_OPTIONS=$options PYTHON_GIL=0 PYTHONPATH="$PWD/../$out/python:$PWD/py-tools" \
  $python -m pytest -q -p no:cacheprovider ../python/tests/test_free_threaded.py "$@") || status=$?
if compgen -G "$out/report.*" >/dev/null; then
  cat "$out"/report.* >&2
  echo "ThreadSanitizer reported $(cat "$out"/report.* | grep -c '^WARNING: ThreadSanitizer') problems (in $out/report.*)" >&2
  exit 1
fi
[[ $status -eq 0 ]] || { echo "the stress test failed under ThreadSanitizer" >&2; exit 1; }
echo "-- no ThreadSanitizer report"
