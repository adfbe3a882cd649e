#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan + UBSan, coverage-instrumented
# core) and fuzzes every target that graph/fuzz/meson.build defines.
#
#   scripts/fuzz.sh [SECONDS [JOBS]] [--merge] [TARGET...]
#
# Each target runs SECONDS (default 60; 0 only replays the inputs), JOBS
# targets at a time (default 1; more than one per core does not pay),
# starting from its committed corpus
# graph/fuzz/corpus/TARGET/ and from seeds made out of testdata/, with its
# dictionary from graph/fuzz/dict/. What it finds goes to
# build/fuzz/corpus/TARGET/, its log to build/fuzz/logs/TARGET.log. The run
# ends with a table per target: executions, executions per second, coverage
# (libFuzzer's final "cov", edges reached, and "ft", features: edges with
# their hit counts and the like), and corpus size.
#
# --merge then rewrites each committed corpus as the smallest subset of it,
# of the new finds and of the seeds that reaches every edge reached
# (libFuzzer's -merge=1, counting edges without their hit counts, which
# would keep thousands of files). Files named like libFuzzer's artifacts
# (crash-*, timeout-*, oom-*, leak-*, slow-unit-*) are regression inputs and
# stay as they are.
#
# An input that fails is written to build/fuzz/artifacts/TARGET/ and the run
# fails (after the other targets finish). Reproduce it with
#   build/fuzz/graph/fuzz/TARGET_fuzz build/fuzz/artifacts/TARGET/crash-...
# and once it is fixed, copy the file into graph/fuzz/corpus/TARGET/ under
# its own name and commit it: every later run, the short one in
# scripts/test.sh included, replays it first.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=60
parallel=1
merge=0
numbers=0
wanted=()
for arg in "$@"; do
  case $arg in
    --merge) merge=1 ;;
    -h | --help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    -*) echo "unknown option $arg (see --help)" >&2; exit 2 ;;
    *)
      if [[ $arg =~ ^[0-9]+$ ]]; then
        if ((numbers == 0)); then seconds=$arg; else parallel=$arg; fi
        numbers=$((numbers + 1))
      else
        wanted+=("$arg")
      fi
      ;;
  esac
done
((parallel >= 1)) || { echo "JOBS must be at least 1" >&2; exit 2; }

scripts/deps.sh --sanitizers
if [[ ! -f build/fuzz/build.ninja ]]; then
  CC=clang-19 CXX=clang++-19 meson setup build/fuzz -Dfuzzers=true -Dtests=false -Dmodule=false \
    -Dbuildtype=debugoptimized -Db_sanitize=address,undefined -Db_lundef=false \
    -Dcpp_args='-fsanitize=fuzzer-no-link -fno-sanitize-recover=all' >/dev/null
fi
ninja -C build/fuzz >/dev/null

# Every executable of graph/fuzz/meson.build, named without "_fuzz".
mapfile -t targets < <(meson introspect build/fuzz --targets | /usr/bin/python3 -c '
import json, os, sys
for t in json.load(sys.stdin):
    if t["type"] == "executable" and t["defined_in"].endswith(os.path.join("graph", "fuzz", "meson.build")):
        print(t["name"].removesuffix("_fuzz"))' | sort)
if [[ ${#wanted[@]} -gt 0 ]]; then
  for t in "${wanted[@]}"; do
    [[ " ${targets[*]} " == *" $t "* ]] || { echo "no fuzz target $t (there are: ${targets[*]})" >&2; exit 2; }
  done
  targets=("${wanted[@]}")
fi

# Seeds from the real inputs in testdata/, rebuilt each run.
seeds=build/fuzz/seeds
rm -rf "$seeds"
for t in "${targets[@]}"; do mkdir -p "$seeds/$t"; done
mkdir -p "$seeds/read" "$seeds/pipeline" "$seeds/fds_index" "$seeds/descriptor_set" "$seeds/graph_view" "$seeds/index_view"
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

# Dictionaries (graph/fuzz/dict/NAME.dict, several joined): YAML and schema
# tokens for the text targets, protobuf wire tokens for descriptor sets,
# archive bytes for the readers. A new target uses dict/TARGET.dict if there
# is one.
declare -A dictionaries=(
  [read]="yaml" [pipeline]="yaml pipeline" [fds_index]="fds_index"
  [descriptor_set]="protobuf" [graph_view]="archive" [index_view]="archive"
  [identify]="protobuf"
)
rm -rf build/fuzz/dict && mkdir -p build/fuzz/dict build/fuzz/logs
for t in "${targets[@]}"; do
  for name in ${dictionaries[$t]:-$t}; do
    [[ -f graph/fuzz/dict/$name.dict ]] && cat "graph/fuzz/dict/$name.dict" >> "build/fuzz/dict/$t.dict"
  done
done

export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# The sanitizer runtime does not find Debian's llvm-symbolizer through its
# symbolic link on PATH; named by its real path, it gives function names.
if symbolizer=$(command -v llvm-symbolizer); then
  export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}external_symbolizer_path=$(readlink -f "$symbolizer")"
fi

fuzz() {
  local t=$1 status=0
  local dirs=("build/fuzz/corpus/$t")
  [[ -d graph/fuzz/corpus/$t ]] && dirs+=("graph/fuzz/corpus/$t")
  dirs+=("$seeds/$t")
  # An input is a hang after 30 s: on a machine that two fuzzers and a
  # build share, the whole box stalls for 10 s now and then (every fuzzer
  # shows it at once, and the input it blamed runs in 0.2 s); an input slower
  # than 10 s is still reported as a slow unit.
  local options=(-max_len=65536 -timeout=30 -rss_limit_mb=4096 -print_final_stats=1
    -artifact_prefix="build/fuzz/artifacts/$t/")
  if ((seconds > 0)); then options+=(-max_total_time="$seconds"); else options+=(-runs=0); fi
  [[ -s build/fuzz/dict/$t.dict ]] && options+=(-dict="build/fuzz/dict/$t.dict")
  mkdir -p "build/fuzz/corpus/$t" "build/fuzz/artifacts/$t"
  "build/fuzz/graph/fuzz/${t}_fuzz" "${options[@]}" "${dirs[@]}" > "build/fuzz/logs/$t.log" 2>&1 || status=$?
  echo "$status" > "build/fuzz/logs/$t.status"
}

echo "fuzzing ${targets[*]}: ${seconds}s each, $parallel at a time"
for t in "${targets[@]}"; do
  while (($(jobs -rp | wc -l) >= parallel)); do wait -n || true; done
  fuzz "$t" &
done
wait

# The table. The final "#N DONE cov: ... ft: ... corp: n/size" line and the
# stat:: lines of -print_final_stats give the figures; a run that failed has
# no DONE line, so cov and ft are the last ones it printed. (grep -a: a
# target's log may hold raw bytes its library printed, which would make
# grep print "binary file matches" instead of the figures.)
final_stat() { sed -n "s/^stat::$1: *//p" "$log" | tail -1; }
last_figures() { { grep -a -o "$1" "$log" || true; } | tail -1 | awk '{print $2, $4}'; }
failed=()
printf '%-16s %7s %12s %8s %7s %8s %7s  %s\n' target seconds executions exec/s cov ft corpus result
for t in "${targets[@]}"; do
  log=build/fuzz/logs/$t.log
  cov=$(last_figures 'cov: [0-9]* ft: [0-9]*')
  corpus=$(last_figures 'corp: [0-9]*')
  if [[ $(cat "build/fuzz/logs/$t.status") == 0 ]]; then
    result=ok
  else
    artifact=$(sed -n 's/.*Test unit written to \(.*\)$/\1/p' "$log" | tail -1)
    result="FAILED: ${artifact:-see $log}"
    failed+=("$t")
  fi
  # shellcheck disable=SC2086  # cov holds two words
  printf '%-16s %7s %12s %8s %7s %8s %7s  %s\n' "$t" "$seconds" "$(final_stat number_of_executed_units)" \
    "$(final_stat average_exec_per_sec)" ${cov:-- -} "${corpus:--}" "$result"
done

if [[ ${#failed[@]} -gt 0 ]]; then
  for t in "${failed[@]}"; do
    echo "== $t failed; the end of build/fuzz/logs/$t.log:" >&2
    grep -a -E '^(==[0-9]+== ?ERROR|SUMMARY|    #[0-9]+ )' "build/fuzz/logs/$t.log" | head -20 >&2 || tail -20 "build/fuzz/logs/$t.log" >&2
  done
  echo "fuzzing found failures in: ${failed[*]}. Reproduce with build/fuzz/graph/fuzz/TARGET_fuzz FILE;" \
    "once fixed, copy FILE into graph/fuzz/corpus/TARGET/ as a regression input." >&2
  exit 1
fi

if ((merge)); then
  echo "merging into graph/fuzz/corpus/"
  for t in "${targets[@]}"; do
    committed=graph/fuzz/corpus/$t
    work=build/fuzz/merge/$t
    rm -rf "$work" && mkdir -p "$work/in" "$work/out" "$work/kept"
    if [[ -d $committed ]]; then
      find "$committed" -maxdepth 1 -type f \( -name 'crash-*' -o -name 'timeout-*' -o -name 'oom-*' \
        -o -name 'leak-*' -o -name 'slow-unit-*' \) -exec cp {} "$work/kept/" \;
      find "$committed" -maxdepth 1 -type f ! -name 'crash-*' ! -name 'timeout-*' ! -name 'oom-*' \
        ! -name 'leak-*' ! -name 'slow-unit-*' -exec cp {} "$work/in/" \;
    fi
    "build/fuzz/graph/fuzz/${t}_fuzz" -merge=1 -use_counters=0 -max_len=65536 -timeout=30 -rss_limit_mb=4096 \
      "$work/out" "$work/in" "build/fuzz/corpus/$t" "$seeds/$t" > "build/fuzz/logs/$t.merge.log" 2>&1 ||
      { echo "merging $t failed, see build/fuzz/logs/$t.merge.log" >&2; exit 1; }
    rm -rf "$committed" && mkdir -p "$committed"
    cp "$work"/out/* "$work"/kept/* "$committed/" 2>/dev/null || true
    echo "  $t: $(find "$committed" -type f | wc -l) files, $(du -sk "$committed" | cut -f1) KiB"
  done
fi
