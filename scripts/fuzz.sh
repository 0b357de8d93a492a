#!/usr/bin/env bash
# A fuzzing campaign: every libFuzzer target (or the ones named) for a longer budget than the
# ctest runs, each from a fresh seed, two at a time.
#   scripts/fuzz.sh [seconds-per-target] [target...]      e.g. scripts/fuzz.sh 600 fuzz_rpc_pdu
# What a target finds is kept under build-asan/fuzz-campaign/<target>/ (crash-*, timeout-*, oom-*,
# plus the grown corpus and the log). A finding is worth a fix and a copy of its input in the
# target's seed corpus, where every build replays it from then on. Exits 1 if anything was found.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-300}
shift || true
bash scripts/build.sh sanitize >/dev/null

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:strict_string_checks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  mapfile -t targets < <(ctest --test-dir build-asan -N -L fuzz | sed -n 's/.*Test *#[0-9]*: fuzz\.//p')
fi

run_one() {
  local t=$1 dir=build-asan/fuzz-campaign/$1 seeds
  seeds=$(ctest --test-dir build-asan -N -V -R "^fuzz\.$t\$" | sed -n 's/.*Test command: //p' |
    awk '{print $NF}' | tr -d '"')
  mkdir -p "$dir/corpus"
  if build-asan/bin/"$t" -seed=0 -max_total_time="$seconds" -rss_limit_mb=2048 -max_len=65536 \
       -artifact_prefix="$dir/" "$dir/corpus" "$seeds" >"$dir/log" 2>&1; then
    echo "$t: nothing found"
  else
    echo "$t: FOUND something, see $dir/log and $(ls "$dir"/crash-* "$dir"/timeout-* "$dir"/oom-* 2>/dev/null | tr '\n' ' ')"
  fi
}

found=0
for ((i = 0; i < ${#targets[@]}; i += 2)); do
  pids=()
  for t in "${targets[@]:i:2}"; do
    run_one "$t" &
    pids+=($!)
  done
  for p in "${pids[@]}"; do wait "$p" || found=1; done
done
if ls build-asan/fuzz-campaign/*/{crash,timeout,oom}-* >/dev/null 2>&1; then found=1; fi
exit $found
