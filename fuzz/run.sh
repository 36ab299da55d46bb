#!/usr/bin/env bash
# Runs the fuzz targets built by the fuzz preset (cmake --preset fuzz && cmake --build
# --preset fuzz), each for SECONDS, on the seed corpus that make_fuzz_corpus writes.
#   fuzz/run.sh [SECONDS [JOBS [TARGET...]]]   defaults: 60 s, 1 process, every target
# JOBS > 1 runs each target in libFuzzer's fork mode on that many processes. Any finding
# (crash, sanitizer report, abort, timeout, excessive memory) stops the run with a non-zero
# status; the input that caused it is kept in build/fuzz/artifacts/. Inputs that reached new
# code are kept in build/fuzz/corpus/TARGET and seed the next run.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
jobs=${2:-1}
shift $(($# > 2 ? 2 : $#))
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(wav_parse decode differential recover report capi)

build=${FUZZ_BUILD_DIR:-build/fuzz}
bin=$build/fuzz
rm -rf "$build/seeds"
"$bin/make_fuzz_corpus" "$build/seeds"
mkdir -p "$build/artifacts" "$build/logs"

for target in "${targets[@]}"; do
  mkdir -p "$build/corpus/$target"
  parallel=()
  [ "$jobs" -gt 1 ] && parallel=(-fork="$jobs")
  echo "== fuzz_$target: ${seconds} s, ${jobs} process(es)"
  "$bin/fuzz_$target" "${parallel[@]}" \
    -max_total_time="$seconds" -max_len=16384 -timeout=10 -rss_limit_mb=2048 \
    -dict=fuzz/wav.dict -print_final_stats=1 \
    -artifact_prefix="$build/artifacts/$target-" \
    "$build/corpus/$target" "$build/seeds/$target" >"$build/logs/$target.log" 2>&1 ||
    status=$?
  if [ "${status:-0}" -ne 0 ]; then
    tail -n 80 "$build/logs/$target.log"
    echo "fuzz_$target: finding (exit status $status); inputs in $build/artifacts/"
    exit 1
  fi
  grep -E '^(Done [0-9]+ runs|stat::number_of_executed_units|#[0-9]+ +(DONE|INITED))' \
    "$build/logs/$target.log" | tail -n 3
done
echo "fuzzing: no findings"
