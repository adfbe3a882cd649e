#!/usr/bin/env bash
# The package as a user receives it:
#   1. a wheel from `pip wheel --no-build-isolation --no-deps .`, installed
#      into a fresh venv; its extension modules must need nothing beyond the
#      C library, libm and the loader (libyaml and the C++ runtime are linked
#      in), and the korvex-graph it installs must bake, index, verify and
#      extract, giving the archive expected for the bundled corpus;
#   2. the source distribution (the build backend's own sdist hook, which
#      runs `meson dist`), from which pip must build a wheel again.
# Slow (two release builds of the modules): scripts/test.sh runs it, not
# scripts/test.sh --quick.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=/usr/bin/python3
out=$PWD/build/wheel
rm -rf "$out" && mkdir -p "$out"

allowed='^(libc\.so\.6|libm\.so\.6|ld-linux-x86-64\.so\.2|linux-vdso\.so\.1)$'
check_modules() {  # every extension module below $1 needs only what $allowed names
  local so bad=0
  while IFS= read -r so; do
    for lib in $(readelf -d "$so" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p') \
               $(ldd "$so" | awk '{print $1}'); do
      [[ $lib =~ $allowed || $lib == /* ]] || { echo "$so needs $lib" >&2; bad=1; }
    done
  done < <(find "$1" -name '*.so')
  return $bad
}

echo "== wheel (pip wheel, fresh venv, shared libraries, the command line)"
$PY -m pip wheel -q --no-build-isolation --no-deps . -w "$out/dist" >/dev/null
wheel=$(ls "$out"/dist/korvex_graph_lib-*.whl)
$PY -m venv --system-site-packages "$out/venv"
"$out/venv/bin/pip" install -q --no-deps "$wheel" >/dev/null
site=$("$out/venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')
[[ $(find "$site" -name '*.so' | wc -l) -eq 2 ]] || { echo "expected two extension modules in the wheel" >&2; exit 1; }
check_modules "$site"

work="$out/work"
mkdir -p "$work"
cp testdata/expected/wkt/graph.rkyv "$work/expected.rkyv"
protoc --include_imports --descriptor_set_out="$work/set.pb" -I/usr/include \
  google/protobuf/timestamp.proto google/protobuf/descriptor.proto google/protobuf/struct.proto
kg="$out/venv/bin/korvex-graph"
(
  cd "$work"  # away from the source tree, so that only the installed package can be imported
  "$kg" bake "$OLDPWD/testdata/corpora/wkt" -o wkt.rkyv -q
  cmp wkt.rkyv expected.rkyv
  "$kg" bake set.pb -o graph.rkyv -q
  "$kg" index set.pb -o index.rkyv -q
  "$kg" verify graph.rkyv index.rkyv >/dev/null
  "$kg" extract index.rkyv set.pb google.protobuf.Timestamp -o slice.pb -q
  "$out/venv/bin/python" -m korvex_graph inspect graph.rkyv --json >/dev/null
)

echo "== source distribution (the backend's sdist hook, then pip wheel from it)"
mkdir -p "$out/sdist"
$PY -c 'import mesonpy, sys; mesonpy.build_sdist(sys.argv[1])' "$out/sdist" >"$out/sdist.log" 2>&1 ||
  { cat "$out/sdist.log" >&2; exit 1; }
sdist=$(ls "$out"/sdist/korvex_graph_lib-*.tar.gz)
$PY -m pip wheel -q --no-build-isolation --no-deps "$sdist" -w "$out/sdist" >/dev/null
$PY -m zipfile -e "$(ls "$out"/sdist/korvex_graph_lib-*.whl)" "$out/sdist/unpacked"
[[ $(find "$out/sdist/unpacked" -name '*.so' | wc -l) -eq 2 ]] || { echo "the sdist's wheel lacks a module" >&2; exit 1; }
check_modules "$out/sdist/unpacked"
echo "wheel and sdist: ok"
