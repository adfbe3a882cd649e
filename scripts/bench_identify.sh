#!/usr/bin/env bash
# Identification on real payloads beside python3-protobuf parsing the same
# payloads with their known types, in the same rounds, and the generated
# payload table of the bundled corpora:
#
#   scripts/bench_identify.sh [K8S_DIR [HAYSTACK.pb...]]
#
# K8S_DIR (default ../shared/corpora/k8s) holds truth.tsv, payloads/ and
# k8s.pb. Its schemas are baked with the largest real haystack at hand:
# the descriptor sets given (each converted to YAML and baked with the
# rest, so that files defined twice do not collide), else the schemas
# compiled into google-cloud-cli where it is installed. The second real set
# is every descriptor record of those sets (many small binary records),
# 2000 of them drawn with seed 1, judged in the same graph; both sets are
# then judged again with the synthetic corpus of scripts/bench.sh (200 000
# messages) baked in too. Everything is made in build/bench-data; never
# part of the tests.
set -euo pipefail
cd "$(dirname "$0")/.."

PY=/usr/bin/python3
build=build/release
out=build/bench-data/identify
k8s=${1:-../shared/corpora/k8s}
shift || true
[[ -f $build/build.ninja ]] || meson setup "$build" --buildtype=release -Dtests=true >/dev/null
ninja -C "$build" >/dev/null
export PYTHONPATH=$build/python
mkdir -p "$out"

if [[ ! -f $k8s/truth.tsv ]]; then
  echo "== identification on real payloads: $k8s/truth.tsv not found, skipped"
  exit 0
fi
sets=("$@")
if [[ ${#sets[@]} -eq 0 ]]; then
  if [[ ! -f $out/gcloud.pb ]]; then
    $PY tools/installed_pb2_descriptors.py "$out/gcloud.pb" /usr/lib/google-cloud-sdk /usr/lib/python3/dist-packages \
      >/dev/null 2>&1 || true
  fi
  [[ -f $out/gcloud.pb ]] && sets=("$out/gcloud.pb")
fi
docs=()
for set in "$k8s/k8s.pb" "${sets[@]}"; do
  name=$(basename "$set" .pb)
  [[ -d $out/yaml-$name ]] || $PY tools/descriptors_to_scoring_graphs.py "$set" --out "$out/yaml-$name" >/dev/null 2>&1
  docs+=("$out/yaml-$name")
done
$PY -m korvex_graph bake "${docs[@]}" -o "$out/haystack.rkyv" >/dev/null 2>&1
roots=$($PY -c "import korvex_graph, sys; print(len(korvex_graph.Graph.open(sys.argv[1]).roots))" "$out/haystack.rkyv")
$PY tools/identify_eval.py --records "$k8s/k8s.pb" "${sets[@]}" --out "$out/records" --payloads 2000 --seed 1 >/dev/null

echo "== identification on real payloads among $roots real root types (processor time, best of 3 rounds)"
grep -m1 'model name' /proc/cpuinfo | sed 's/^.*: /cpu: /'
echo "-- Kubernetes objects ($k8s)"
$PY tools/identify_eval.py --truth "$k8s/truth.tsv" --graph "$out/haystack.rkyv" --descriptors "$k8s/k8s.pb" --summary
echo "-- lists of Kubernetes objects (each type's first object repeated as the items of its List type)"
$PY tools/identify_lists.py --truth "$k8s/truth.tsv" --graph "$out/haystack.rkyv" --items 100 --items 1000
echo "-- descriptor records (many small binary records)"
descriptor_args=()
for set in "$k8s/k8s.pb" "${sets[@]}"; do descriptor_args+=(--descriptors "$set"); done
$PY tools/identify_eval.py --truth "$out/records/truth.tsv" --graph "$out/haystack.rkyv" "${descriptor_args[@]}" --summary
echo
# The same sets once more among 200 000 synthetic types besides: how the
# search grows with the haystack (the synthetic types, many of them close
# to small records, make each answer weigh many more candidates).
synth=build/bench-data/synth-200000-wide3000-seed7
[[ -d $synth ]] || $PY tools/synth_scoring_graphs.py --messages 200000 --files 2000 --wide-alphabet 3000 \
  --seed 7 --out "$synth" >/dev/null 2>&1
$PY -m korvex_graph bake "${docs[@]}" "$synth" -o "$out/haystack-synth.rkyv" >/dev/null 2>&1
roots=$($PY -c "import korvex_graph, sys; print(len(korvex_graph.Graph.open(sys.argv[1]).roots))" "$out/haystack-synth.rkyv")
echo "== the same among $roots root types, the real ones and those of 200 000 synthetic messages"
echo "-- Kubernetes objects"
$PY tools/identify_eval.py --truth "$k8s/truth.tsv" --graph "$out/haystack-synth.rkyv" --descriptors "$k8s/k8s.pb" --summary
echo "-- descriptor records"
$PY tools/identify_eval.py --truth "$out/records/truth.tsv" --graph "$out/haystack-synth.rkyv" "${descriptor_args[@]}" --summary
echo
echo "== generated payloads (2000 per corpus)"
$PY tools/identify_eval.py testdata/corpora/{wkt,opentelemetry,grpc-proto} testdata/corpora/synth-20k.tar.gz --payloads 2000
