#!/usr/bin/env bash
# Runs every libFuzzer target of a fuzz build (make fuzz) for a set time,
# under ASan and UBSan, from its seed corpus in fuzz/corpus/<target>/.  New
# inputs go to <build>/corpus/<target>/, crashes to <build>/artifacts/.
#
#   scripts/fuzz.sh BUILD SECONDS [TARGET...]
#
# Prints one line per target with libFuzzer's last coverage figures and
# exits non-zero when a target found a fault.
set -uo pipefail

build=$1
seconds=$2
shift 2
src=$(cd "$(dirname "$0")/.." && pwd)
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for d in "$src"/fuzz/corpus/*/; do targets+=("$(basename "$d")"); done
fi

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
mkdir -p "$build/artifacts"
failed=0
for t in "${targets[@]}"; do
  bin="$build/bin/$t"
  if [ ! -x "$bin" ]; then
    echo "fuzz: $t: no program at $bin" >&2
    failed=1
    continue
  fi
  mkdir -p "$build/corpus/$t"
  logf="$build/artifacts/$t.log"
  "$bin" -max_total_time="$seconds" -malloc_limit_mb=128 -rss_limit_mb=1024 -print_final_stats=1 \
    -artifact_prefix="$build/artifacts/$t-" "$build/corpus/$t" "$src/fuzz/corpus/$t" >"$logf" 2>&1
  rc=$?
  last=$(grep -E '^#[0-9]+' "$logf" | tail -1)
  runs=$(grep -E '^stat::number_of_executed_units' "$logf" | awk '{print $2}')
  if [ $rc -ne 0 ]; then
    echo "fuzz: $t FAILED after ${runs:-?} runs (see $logf)"
    grep -E 'ERROR|SUMMARY|Test unit written' "$logf" | head -5
    failed=1
  else
    echo "fuzz: $t ok, ${runs:-?} runs: ${last#*	}"
  fi
done
exit $failed
