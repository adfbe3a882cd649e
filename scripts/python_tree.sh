#!/usr/bin/env bash
# Builds what python/ defines (the two extension modules and the
# embedded-interpreter binding test) against another CPython into OUT, whose
# python/ folder then imports like an installation; graph/'s suites are left
# out. Extra arguments go to meson setup when OUT is new (CC and CXX from the
# environment too). Also links Debian's pure-Python test tools into
# build/py-tools, for interpreters that have none.
#   scripts/python_tree.sh PYTHON OUT [MESON SETUP OPTION...]
set -euo pipefail
cd "$(dirname "$0")/.."
python=$1 out=$2
shift 2

# For Meson 1.0, which reads an interpreter's settings through distutils
# (gone from 3.12 on), the copy that setuptools carries. Of the tools, PyYAML
# and protobuf fall back to their pure-Python implementations without their
# compiled parts; numpy and mypy are left out: their tests skip.
dist=/usr/lib/python3/dist-packages
tools=$PWD/build/py-tools
distutils=$PWD/build/py-distutils
rm -rf "$tools" "$distutils" && mkdir -p "$tools" "$distutils"
ln -s "$dist/setuptools/_distutils" "$distutils/distutils"
for name in pytest _pytest py.py pluggy iniconfig packaging attr attrs hypothesis _hypothesis_pytestplugin.py yaml google \
    _hypothesis_ftz_detector.py sortedcontainers tomli exceptiongroup; do
  [[ -e $dist/$name ]] && ln -s "$dist/$name" "$tools/"
  # the metadata too, through which pytest finds hypothesis's plugin
  [[ $name == *.py ]] || for info in "$dist/$name"-[0-9]*-info; do [[ -e $info ]] && ln -s "$info" "$tools/"; done
done

if [[ ! -f $out/build.ninja ]]; then
  rm -rf "$out"  # what a failed setup left
  printf "[binaries]\npython = '%s'\n" "$python" > "$out.ini"
  PYTHONPATH=$distutils meson setup "$out" --native-file "$out.ini" -Dtests=true -Ddevel=false "$@" >/dev/null
fi
targets=$(meson introspect "$out" --targets | /usr/bin/python3 -c '
import json, os, sys
python_dir = os.path.abspath("python")
for target in json.load(sys.stdin):
    if (os.path.dirname(target["defined_in"]) + os.sep).startswith(python_dir + os.sep):
        print(*(os.path.relpath(f, sys.argv[1]) for f in target["filename"]))' "$out")
# shellcheck disable=SC2086  # one target per word
PYTHONPATH=$distutils ninja -C "$out" -j"$(nproc)" $targets >/dev/null
