#!/usr/bin/env bash
# Every speed and memory figure of the module next to its baseline, measured
# in the same run, with the ratio:
#
#   build_graph end to end   libyaml's bare event scan of the same bytes
#   the reader alone         the same scan (as a share of its throughput)
#   peak memory of a bake    the input bytes (the caller's documents)
#   build_fds_index          pickle.dumps of the same four dictionaries
#   Index lookups            dict.get on the dictionaries they were built from
#   the graph encoder        a warm memcpy of as many bytes
#   minimisation             the 2 s target (1 000 000-state random automaton)
#
#   scripts/bench.sh [EXTRA_CORPUS_DIR | DESCRIPTOR_SET.pb ...]
#
# Builds the release configuration, generates the synthetic corpus
# (200 000 messages, 2 000 documents, --wide-alphabet 3000 --seed 7),
# unpacks the corpora of testdata/corpora into build/bench-data and, where
# google-cloud-sdk is installed, converts the schemas compiled into it; a
# descriptor set given as an argument is converted the same way (for
# example the googleapis schemas of the npm package google-proto-files,
# some 8 000 documents). It starts with the machine it runs on (processor,
# kernel, date): figures from another machine are not comparable. Times are
# processor time (user + system), best of three rounds, every corpus in each
# round and the two sides of a ratio one after the other, so that other work
# on the machine disturbs them alike; the module starts no threads. Takes
# ten minutes or so; never part of the tests.
set -euo pipefail
cd "$(dirname "$0")/.."

PY=/usr/bin/python3
build=build/release
data=build/bench-data
echo "machine: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'), $(nproc) cores," \
  "$(awk '/MemTotal/ {printf "%.0f GiB", $2 / 1048576}' /proc/meminfo); kernel $(uname -r); $(date -u '+%Y-%m-%d %H:%M UTC')"
[[ -f $build/build.ninja ]] || meson setup "$build" --buildtype=release -Dtests=true >/dev/null
ninja -C "$build" >/dev/null
mkdir -p "$data"

synth=$data/synth-200000-wide3000-seed7
[[ -d $synth ]] || $PY tools/synth_scoring_graphs.py --messages 200000 --files 2000 --wide-alphabet 3000 \
  --seed 7 --out "$synth" >/dev/null
if [[ ! -d $data/synth-20k ]]; then
  mkdir -p "$data/synth-20k.tmp" && tar -xzf testdata/corpora/synth-20k.tar.gz -C "$data/synth-20k.tmp"
  mv "$(dirname "$(find "$data/synth-20k.tmp" -name '*.yaml' | head -1)")" "$data/synth-20k" && rm -rf "$data/synth-20k.tmp"
fi
corpora=("$synth" "$data/synth-20k")
# A real-schema corpus from the descriptors compiled into installed _pb2
# modules, where Debian's google-cloud-sdk package provides them.
if [[ -d /usr/lib/google-cloud-sdk && ! -d $data/gcloud ]]; then
  $PY tools/installed_pb2_descriptors.py "$data/gcloud.pb" /usr/lib/google-cloud-sdk /usr/lib/python3/dist-packages >/dev/null
  $PY tools/descriptors_to_scoring_graphs.py "$data/gcloud.pb" --out "$data/gcloud" >/dev/null 2>&1
fi
[[ -d $data/gcloud ]] && corpora+=("$data/gcloud")
for extra in "$@"; do
  if [[ -f $extra ]]; then
    out=$data/$(basename "${extra%.*}")
    [[ -d $out ]] || $PY tools/descriptors_to_scoring_graphs.py "$extra" --out "$out" >/dev/null 2>&1
    corpora+=("$out")
  else
    corpora+=("$extra")
  fi
done
corpora+=(testdata/corpora/grpc-proto testdata/corpora/opentelemetry testdata/corpora/wkt)

export PYTHONPATH=$PWD/$build/python
stages=$build/graph/src/build_scoring_graph/pipeline_benchmark

echo
echo "== build_graph end to end against libyaml's event scan (processor time, best of 3 rounds)"
# Each round runs every corpus, the C++ stages, then build_graph from Python.
# Small corpora get more tries per round (the best counts), so that a figure
# rests on tens of megabytes read.
declare -A scan read_ms bake graph_ms peak documents
for round in 1 2 3; do
  for dir in "${corpora[@]}"; do
    bytes=$(cat "$dir"/*.yaml | wc -c)
    repeats=$(( bytes > 20000000 ? 1 : 20000000 / bytes + 1 ))
    repeats=$(( repeats > 50 ? 50 : repeats ))
    out=$("$stages" "$dir" "$repeats" --scan)
    scan[$dir]+=" $(awk '/^libyaml scan/ {print $3}' <<<"$out")"
    read_ms[$dir]+=" $(awk '/^read / {print $2}' <<<"$out")"
    bake[$dir]+=" $(awk '/^whole bake/ {print $3}' <<<"$out")"
    line=$($PY python/bench/bench_build_graph.py "$dir" "$repeats")
    eval "$line"  # documents= bytes= build_graph_ms= peak_over_documents=
    graph_ms[$dir]+=" $build_graph_ms"
    peak[$dir]+=" $peak_over_documents"
    documents[$dir]=$documents
  done
done
best() { tr ' ' '\n' <<<"$1" | awk 'NF && (m == "" || $1 + 0 < m + 0) {m = $1} END {print m}'; }
most() { tr ' ' '\n' <<<"$1" | awk 'NF && (m == "" || $1 + 0 > m + 0) {m = $1} END {print m}'; }
printf '%-30s %6s %8s %10s %10s %6s %10s %10s %7s %10s %7s\n' corpus docs MB "scan ms" "read ms" "read" \
  "bake ms" "build ms" ratio "peak MiB" /input
for dir in "${corpora[@]}"; do
  awk -v c="$(basename "$dir")" -v d="${documents[$dir]}" -v b="$(cat "$dir"/*.yaml | wc -c)" \
    -v s="$(best "${scan[$dir]}")" -v r="$(best "${read_ms[$dir]}")" -v k="$(best "${bake[$dir]}")" \
    -v g="$(best "${graph_ms[$dir]}")" -v p="$(most "${peak[$dir]}")" 'BEGIN {
      printf "%-30s %6d %8.1f %10.1f %10.1f %5.0f%% %10.1f %10.1f %6.2fx %10.1f %6.2fx\n",
        c, d, b / 1e6, s, r, 100 * s / r, k, g, g / s, p / 1048576, p / b }'
done
echo "(read: the scan's share of the reader's time; bake: the whole bake in C++; build: build_graph from Python,"
echo " whose time the ratio compares with the scan's; peak: the largest of the rounds, over the documents held as str)"
echo
echo "-- growth with size: the synthetic corpora of 14 MB and 141 MB (the same generator, ten times the messages)"
for dir in "$data/synth-20k" "$synth"; do
  awk -v c="$(basename "$dir")" -v b="$(cat "$dir"/*.yaml | wc -c)" -v s="$(best "${scan[$dir]}")" \
    -v r="$(best "${read_ms[$dir]}")" -v k="$(best "${bake[$dir]}")" -v g="$(best "${graph_ms[$dir]}")" 'BEGIN {
      printf "%-30s %6.1f MB   reader %3.0f%% of the scan'\''s throughput   bake %.2fx the scan   build_graph %.2fx\n",
        c, b / 1e6, 100 * s / r, k / s, g / s }'
done

echo
echo "== build_fds_index against pickle.dumps of the same four dictionaries (processor time, best of 3)"
for n in 50000 1000000; do
  $PY python/bench/bench_fds_index.py "$n" | awk -v n="$n" '
    /^pickle.dumps/ {p = $2} /^build_fds_index/ {b = $2}
    END {printf "%8d entries per map   pickle.dumps %8.0f ms   build_fds_index %8.0f ms   %.2fx\n", n, p, b, b / p}'
done

echo
echo "== Index lookups against dict.get of the same dictionaries, 1 000 000 entries per map (processor time, best of 3)"
$PY python/bench/bench_index_lookup.py --against-dicts 1000000

echo
echo "== graph encoder against a warm memcpy of as many bytes (wall time, best of 3 repetitions)"
$build/graph/src/build_scoring_graph/serial/encode_benchmark --benchmark_repetitions=3 \
  --benchmark_report_aggregates_only=false --benchmark_format=csv 2>/dev/null | awk -F, '
    $1 ~ /^"BM_GraphToBytes/ && $1 !~ /_(mean|median|stddev|cv)"$/ {if (!e || $3 < e) e = $3}
    $1 ~ /^"BM_MemcpyWarm/ && $1 !~ /_(mean|median|stddev|cv)"$/ {if (!m || $3 < m) m = $3}
    END {printf "encode %.2f ms   warm memcpy %.2f ms   %.2fx\n", e, m, e / m}'

echo
echo "== minimisation of the 1 000 000-state random automaton (target under 2 s)"
$build/graph/src/build_scoring_graph/hopcroft/minimize_benchmark dfa 1000000 |
  awk '{for (i = 1; i < NF; ++i) if ($i == "cpu") c = $(i + 1)} END {printf "minimise %.2f s cpu   target 2.00 s   %.2fx\n", c, c / 2}'
echo && scripts/bench_identify.sh
