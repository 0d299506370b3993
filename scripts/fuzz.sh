#!/usr/bin/env bash
# Builds the libFuzzer harnesses (fuzz preset: clang-14, ASan + UBSan) and runs
# each for FUZZ_SECONDS (default 60) from its seed corpus. Exits non-zero on the
# first crash, leak, time-out or spin; the input that found it is left in
# build/fuzz/findings/.
set -euo pipefail
cd "$(dirname "$0")/.."
GARVEL_WITH_FUZZ=1 scripts/setup.sh
seconds=${FUZZ_SECONDS:-60}
cmake --preset fuzz -DGARVEL_WERROR=ON
cmake --build --preset fuzz
mkdir -p build/fuzz/findings
status=0
for target in ucp smpp cimd2 sema text verinfo; do
  corpus=build/fuzz/corpus/$target
  mkdir -p "$corpus"
  echo "fuzz_$target: ${seconds}s"
  if ! build/fuzz/fuzz/fuzz_$target -max_total_time="$seconds" -max_len=8192 -timeout=10 \
      -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix=build/fuzz/findings/ \
      "$corpus" fuzz/corpus/$target >build/fuzz/fuzz_$target.log 2>&1; then
    tail -n 60 build/fuzz/fuzz_$target.log
    echo "fuzz_$target: FAILED" >&2
    status=1
  else
    grep -E 'stat::number_of_executed_units|cov:' build/fuzz/fuzz_$target.log | tail -n 2 || true
  fi
done
exit $status
