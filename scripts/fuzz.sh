#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan + UBSan, coverage-instrumented
# core) and runs each for SECONDS (default 60), seeded with the real schemas.
#   scripts/fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
scripts/deps.sh --sanitizers
if [[ ! -f build/fuzz/build.ninja ]]; then
  CC=clang-19 CXX=clang++-19 meson setup build/fuzz -Dfuzzers=true -Dtests=false -Dmodule=false \
    -Dbuildtype=debugoptimized -Db_sanitize=address,undefined -Db_lundef=false \
    -Dcpp_args='-fsanitize=fuzzer-no-link -fno-sanitize-recover=all' >/dev/null
fi
ninja -C build/fuzz >/dev/null

seeds=build/fuzz/seeds
rm -rf "$seeds" && mkdir -p "$seeds/read" "$seeds/pipeline" "$seeds/fds_index" "$seeds/descriptor_set" "$seeds/graph_view" "$seeds/index_view"
cp testdata/corpora/{wkt,opentelemetry}/*.yaml testdata/expected/warnings/input/*.yaml "$seeds/read/"
cp "$seeds"/read/*.yaml "$seeds/pipeline/"
# one multi-document seed: the warnings case in one input
awk 'FNR==1 && NR>1 {print "---8<---"} {print}' testdata/expected/warnings/input/*.yaml > "$seeds/pipeline/warnings.txt"
printf 'a.B\ta.proto\n\na.proto\t0\n\na.proto\tb.protoc.proto\n\nx.Y/100\ta.proto\n' > "$seeds/fds_index/one"
# descriptor sets compiled from the test protos (groups, extensions, proto3)
protoc --include_imports --descriptor_set_out="$seeds/descriptor_set/own.pb" -Itestdata/protos -I/usr/include \
  korvex/test/groups.proto korvex/test/three.proto nopackage.proto
protoc --descriptor_set_out="$seeds/descriptor_set/small.pb" -Itestdata/protos nopackage.proto
cat "$seeds"/descriptor_set/{own,small}.pb > "$seeds/descriptor_set/concatenated.pb"

for case in wkt opentelemetry grpc-proto warnings; do cp "testdata/expected/$case/graph.rkyv" "$seeds/graph_view/$case"; done
# the empty index and the one-entry index {"a.B": "a.proto"}, byte for byte
header='VELDRANE\x04\0\0\0\0\0\0\0\x18\0\0\0\0\0\0\0'
empty_map='\x01\0\0\0\0\0\0\0\0\0\0\0'
printf "$header$empty_map$empty_map$empty_map$empty_map" > "$seeds/index_view/empty"
zeros16=$(printf '\\0%.0s' $(seq 16))
fill27=$(printf '\\xff%.0s' $(seq 27))
printf "${header}a.B\xff\xff\xff\xff\xffa.proto\xff${zeros16}\xff\x23\xff\x23${fill27}\0\xe0\xff\xff\xff\x01\0\0\0\x02\0\0\0$empty_map$empty_map$empty_map" \
  > "$seeds/index_view/one"
# identify: payloads generated for the roots of the bundled graphs, each
# behind the byte that picks its graph (0 wkt, 1 opentelemetry, 2 grpc-proto)
mkdir -p "$seeds/identify"
/usr/bin/python3 tools/identify_eval.py testdata/corpora/{wkt,opentelemetry,grpc-proto} --payloads 40 \
  --emit "$seeds/identify-raw"
for pick in 0:wkt 1:opentelemetry 2:grpc-proto; do
  for f in "$seeds/identify-raw/${pick#*:}"-*; do
    { printf "\\x0${pick%%:*}"; cat "$f"; } > "$seeds/identify/$(basename "$f")"
  done
done

export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
for target in read pipeline fds_index descriptor_set graph_view index_view identify; do
  echo "== fuzzing ${target} for ${seconds}s"
  mkdir -p "build/fuzz/corpus-$target"
  build/fuzz/graph/fuzz/${target}_fuzz -max_total_time="$seconds" -max_len=65536 -timeout=10 \
    -rss_limit_mb=4096 -print_final_stats=0 "build/fuzz/corpus-$target" "$seeds/$target" 2>&1 |
    grep -E '^(#[0-9]+ +DONE|==[0-9]+==ERROR|SUMMARY|Done)' || true
  [[ ${PIPESTATUS[0]} -eq 0 ]] || { echo "fuzzer ${target} found a failure" >&2; exit 1; }
done
