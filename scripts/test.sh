#!/usr/bin/env bash
# Builds everything and runs every test:
#   1. the core's GoogleTest suites (release build),
#   2. the pytest suite against the module installed with pip into a venv,
#      then (skipped with --quick) against the modules built for the other
#      CPython versions found and for a free-threaded CPython, the GIL off,
#   3. both again against an AddressSanitizer + UndefinedBehaviorSanitizer
#      build (skipped with --quick), the module loaded into Python with the
#      sanitizer runtime preloaded; any sanitizer report fails the run,
#   the threads stress test under ThreadSanitizer, and a short run of every
#   fuzz target (FUZZ_SECONDS each, default 20).
set -euo pipefail
cd "$(dirname "$0")/.."

quick=0
[[ "${1:-}" == "--quick" ]] && quick=1

if [[ $quick -eq 1 ]]; then scripts/deps.sh; else scripts/deps.sh --sanitizers; fi

PY=/usr/bin/python3   # Debian's interpreter: the one the packages above serve
jobs=$(nproc)

echo "== core tests (release build)"
[[ -f build/release/build.ninja ]] || meson setup build/release -Dtests=true >/dev/null
ninja -C build/release -j"$jobs" >/dev/null
meson test -C build/release --print-errorlogs -q

echo "== C++ readers as installed (meson install --destdir, pkg-config, the README example)"
stage="$PWD/build/stage"
rm -rf "$stage" && mkdir -p "$stage"
meson install -C build/release --destdir "$stage" --quiet >/dev/null
pcdir=$(dirname "$(find "$stage" -name korvex_readers.pc)")
awk '/<!-- example: graph_roots.cpp -->/ {on = 1; next} on && /^```cpp/ {next} on && /^```/ {exit} on' \
  README.md > "$stage/graph_roots.cpp"
# shellcheck disable=SC2046  # the flags are meant to split
c++ -std=c++23 "$stage/graph_roots.cpp" -o "$stage/graph_roots" \
  $(PKG_CONFIG_PATH="$pcdir" PKG_CONFIG_SYSROOT_DIR="$stage" pkg-config --cflags --libs korvex_readers)
"$stage/graph_roots" testdata/expected/wkt/graph.rkyv | grep -qx "google.protobuf.Any: 2 fields" ||
  { echo "the README example printed something else" >&2; exit 1; }
# The readers stand on the formats alone: no writer header, no writer code.
if find "$stage" -name writer.hpp | grep -q . || nm -C "$(find "$stage" -name libkorvex_readers.a)" | grep -q Serializer; then
  echo "the installed readers carry the archive writer" >&2; exit 1
fi

echo "== module tests (pip install into a venv)"
[[ -x build/venv/bin/python ]] || $PY -m venv --system-site-packages build/venv
build/venv/bin/pip install -q --no-build-isolation --no-deps . >/dev/null
(cd build && venv/bin/python -m pytest -q -p no:cacheprovider ../python/tests)

[[ $quick -eq 1 ]] && exit 0

echo "== module tests on the other CPython versions found"
# The newest pyenv build of each minor version the package supports
# (requires-python in pyproject.toml), Debian's own version aside. Only the
# two extension modules and the embedded-interpreter binding test are built
# for each, into build/py<version>, whose python/ folder imports like an
# installation.
floor=$(sed -n 's/^requires-python = ">=3\.\([0-9]*\)"$/\1/p' pyproject.toml)
own_minor=$($PY -c 'import sys; print(sys.version_info[1])')
pyenv_root=$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")
declare -A newest=()
too_old=()
for dir in $(ls -d "$pyenv_root"/versions/3.* 2>/dev/null | sort -V); do
  [[ $(basename "$dir") =~ ^3\.([0-9]+)\.[0-9]+$ && -x $dir/bin/python3 ]] || continue
  minor=${BASH_REMATCH[1]}
  if (( minor < floor )); then too_old+=("$(basename "$dir")"); continue; fi
  (( minor == own_minor )) || newest[$minor]=$dir/bin/python3
done
[[ ${#too_old[@]} -eq 0 ]] || echo "-- not tested, the package requires 3.$floor or newer: ${too_old[*]}"
# The binding test and the pytest suite on a tree that scripts/python_tree.sh
# built for another interpreter, with Debian's pure-Python pytest and
# hypothesis; pytest 7.2 predates 3.12's deprecation of ast.Str and friends.
test_tree() {
  local python=$1 out=$PWD/$2
  "$out/python/binding_test" --gtest_brief=1
  (cd build && PYTHONPATH="$out/python:$PWD/py-tools" $python -m pytest -q -p no:cacheprovider \
    -W "ignore::DeprecationWarning:_pytest.assertion.rewrite" ../python/tests)
}
for minor in $(printf '%s\n' "${!newest[@]}" | sort -n); do
  python=${newest[$minor]}
  echo "-- $($python -c 'import platform; print(platform.python_version())') ($python)"
  scripts/python_tree.sh "$python" "build/py3.$minor"
  test_tree "$python" "build/py3.$minor"
done

echo "== module tests on free-threaded CPython, the GIL off"
# Debian 13's CPython 3.13 built --disable-gil, once per version (5 minutes
# or more on two cores; see the script).
ft_start=$SECONDS
ft_python=$(scripts/free_threaded_python.sh)
ft_out=build/py$($ft_python -c 'import platform; print(platform.python_version())')t
echo "-- $($ft_python -VV) ($ft_python)"
scripts/python_tree.sh "$ft_python" "$ft_out"
# Both modules declare that they need no GIL; an interpreter turns it back on,
# with a warning, for a module that does not. Checked before PYTHON_GIL=0
# forces it off for the tests.
(unset PYTHON_GIL; PYTHONPATH=$ft_out/python $ft_python -W error -c '
import sys, korvex_graph_lib, korvex_graph._native
sys.exit("importing the modules turned the GIL on" if sys._is_gil_enabled() else 0)')
PYTHON_GIL=0 test_tree "$ft_python" "$ft_out"
echo "-- free-threaded part: $((SECONDS - ft_start)) s"

echo "== core tests (AddressSanitizer + UndefinedBehaviorSanitizer)"
if [[ ! -f build/asan/build.ninja ]]; then
  CC=clang-19 CXX=clang++-19 meson setup build/asan -Dtests=true -Dbuildtype=debugoptimized \
    -Db_sanitize=address,undefined -Db_lundef=false \
    -Dcpp_args='-fno-sanitize-recover=all -fno-omit-frame-pointer' >/dev/null
fi
ninja -C build/asan -j"$jobs" >/dev/null
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
# The sanitizer runtimes do not find Debian's llvm-symbolizer through its
# symbolic link on PATH; named by its real path, reports name functions.
symbolizer_option=""
if symbolizer=$(command -v llvm-symbolizer); then
  symbolizer_option=external_symbolizer_path=$(readlink -f "$symbolizer")
  ASAN_OPTIONS+=":$symbolizer_option"
fi
meson test -C build/asan --print-errorlogs -q --timeout-multiplier 4

echo "== threads under ThreadSanitizer (bakes, index encodes and reads on 8 threads at once)"
# Only the stress test and the libraries it links: the suites above already
# ran under the other sanitizers.
if [[ ! -f build/tsan/build.ninja ]]; then
  CC=clang-19 CXX=clang++-19 meson setup build/tsan -Dtests=true -Dmodule=false -Ddevel=false \
    -Dbuildtype=debugoptimized -Db_sanitize=thread -Db_lundef=false -Dcpp_args=-fno-omit-frame-pointer >/dev/null
fi
ninja -C build/tsan -j"$jobs" graph/stress/threads_test >/dev/null
# The test captures standard error (it compares the warnings), so reports
# go to files, shown here when there are any.
rm -f build/tsan/report.*
TSAN_OPTIONS="halt_on_error=1:log_path=$PWD/build/tsan/report:$symbolizer_option" build/tsan/graph/stress/threads_test --gtest_brief=1 ||
  { cat build/tsan/report.* >&2 2>/dev/null || true; echo "the threads test failed under ThreadSanitizer" >&2; exit 1; }

echo "== fuzz targets"
scripts/fuzz.sh "${FUZZ_SECONDS:-20}" 1

echo "== module tests (sanitizer build, runtime preloaded)"
asan_rt=$(clang++-19 -print-file-name=libclang_rt.asan-x86_64.so)
# The interpreter itself is not instrumented and keeps memory alive until
# exit by design, so leak detection is off here; the core's own suites run
# with it on above.
(cd build && LD_PRELOAD="$asan_rt" ASAN_OPTIONS=detect_leaks=0 PYTHONPATH=asan/python \
  KORVEX_SANITIZED=1 $PY -m pytest -q -p no:cacheprovider ../python/tests)

# The wheel a user installs and the source distribution (slow: two release
# builds of the modules), as a fresh venv sees them.
echo "== wheel (fresh venv, shared-library needs, the command line) and source distribution"
scripts/test_wheel.sh
