#!/usr/bin/env bash
# Writes the synthetic corpus (200 000 messages by default) as .proto files,
# compiles it into one descriptor set with protoc, converts that set into
# YAML, and times baking the set next to baking the YAML (processor time,
# least of 3 alternating runs; the set should take at most half as long):
#   scripts/bench_descriptor_set.sh [MESSAGES]
set -euo pipefail
cd "$(dirname "$0")/.."
messages=${1:-200000}
data=build/bench-data/protos-$messages
if [[ ! -f $data/set.pb ]]; then
  /usr/bin/python3 tools/synth_protos.py --messages "$messages" --files $((messages / 100 > 0 ? messages / 100 : 1)) \
    --seed 1 --out "$data"
fi
[[ -f build/release/build.ninja ]] || meson setup build/release -Dtests=true >/dev/null
ninja -C build/release graph/src/descriptor_set/descriptor_set_benchmark >/dev/null
build/release/graph/src/descriptor_set/descriptor_set_benchmark "$data/set.pb" "$data/yaml" 3
