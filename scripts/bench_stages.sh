#!/usr/bin/env bash
# Generates a synthetic corpus (200 000 messages by default) and times every
# stage of the bake on it:  scripts/bench_stages.sh [MESSAGES] [extra generator args]
set -euo pipefail
cd "$(dirname "$0")/.."
messages=${1:-200000}
shift || true
data=build/bench-data/synth-$messages${*:+-$(echo "$*" | tr -c 'a-z0-9' '-')}
if [[ ! -d $data ]]; then
  /usr/bin/python3 tools/synth_scoring_graphs.py --messages "$messages" --files $((messages / 100)) \
    --seed 1 --out "$data" "$@"
fi
[[ -f build/release/build.ninja ]] || meson setup build/release -Dtests=true >/dev/null
ninja -C build/release graph/src/build_scoring_graph/pipeline_benchmark >/dev/null
build/release/graph/src/build_scoring_graph/pipeline_benchmark "$data" 3
