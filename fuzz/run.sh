#!/usr/bin/env bash
# Runs every fuzz target of a VM_FUZZ build for a bounded time each.
#   fuzz/run.sh BUILD_DIR SECONDS [TARGET...]
# Each target starts from its committed corpus and kept crash inputs (read only) and
# collects new inputs in BUILD_DIR/fuzz-runs/<target>/corpus. It runs inside a scratch
# directory there, because the request targets write registry files under relative roots.
# A crash or failed check leaves its input in BUILD_DIR/fuzz-runs/<target>/artifacts/;
# copy it to fuzz/regressions/<target>/ so that the replay tests keep it.
set -uo pipefail
cd "$(dirname "$0")/.."
src=$PWD
build=$(cd "$1" && pwd)
seconds=$2
shift 2
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(config_record fact_record decompose fusion_seed fusion_apply fusion_receive
           decompress_request run_request batch_request parse_header b62_decode round_trip
           request_record registry_root direct_fact)
fi

dict_of() {
  case $1 in
    decompress_request|run_request|request_record|registry_root) echo requests.dict ;;
    *) echo records.dict ;;
  esac
}

# The request targets keep contexts in the process-wide cache from one input to the next,
# by design; libFuzzer's per-input leak check would rescan the heap after nearly every
# input (ten times slower). Leaks still show in the check at exit.
leak_check_of() {
  case $1 in
    decompress_request|run_request|batch_request|round_trip|registry_root) echo 0 ;;
    *) echo 1 ;;
  esac
}

failed=()
for t in "${targets[@]}"; do
  work=$build/fuzz-runs/$t
  rm -rf "$work"
  mkdir -p "$work/corpus" "$work/artifacts" "$work/scratch"
  log=$work/log
  (cd "$work/scratch" && "$build/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=3072 \
      -dict="$src/fuzz/dict/$(dict_of "$t")" -detect_leaks="$(leak_check_of "$t")" \
      -artifact_prefix="$work/artifacts/" -print_final_stats=1 \
      "$work/corpus" "$src/fuzz/corpus/$t" "$src/fuzz/regressions/$t") >"$log" 2>&1
  status=$?
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$')
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1)
  if [ $status -eq 0 ]; then
    echo "fuzz_$t: clean, ${runs:-?} runs, ${cov:-no coverage line}"
  else
    echo "fuzz_$t: FAILED (exit $status); log $log"
    grep -E 'ERROR|fuzz check failed|internal fault|runtime error' "$log" | head -5
    ls "$work/artifacts"
    failed+=("$t")
  fi
  rm -rf "$work/scratch"
done
if [ ${#failed[@]} -ne 0 ]; then
  echo "failed fuzz targets: ${failed[*]}" >&2
  exit 1
fi
