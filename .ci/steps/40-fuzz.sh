#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Fuzz targets: the fuzz preset (clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer, warnings as errors); every seed and past finding
# replayed by its tests, then each target below fuzzed for about a minute
# from the seed corpus. A crash, a leak or a broken round trip fails the step
# and leaves its input in ci-fuzz/.
set -euo pipefail
cd "$(dirname "$0")/../.."
. .ci/lib.sh
ci_install cmake clang libclang-rt-dev python3

# The targets of tests/fuzz/CMakeLists.txt, one per line.
targets=(
  fuzz_tokens
  fuzz_loop
  fuzz_input
  fuzz_scan
  fuzz_edit
)

cmake --preset fuzz -DQSH_WERROR=ON
cmake --build --preset fuzz
ctest --preset fuzz

# Every target with a replay test is fuzzed, and nothing else.
built=$(ctest --preset fuzz -N | sed -n 's/^ *Test *#[0-9]*: \(.*\)_replay$/\1/p' | sort)
listed=$(printf '%s\n' "${targets[@]}" | sort)
if [ "$built" != "$listed" ]; then
  printf 'CI: fuzz targets built:\n%s\nlisted in %s:\n%s\n' "$built" "$0" "$listed" >&2
  exit 1
fi

secs=${QSH_FUZZ_SECONDS:-60}
rm -rf ci-fuzz
for t in "${targets[@]}"; do
  mkdir -p ci-fuzz/$t/corpus
  cp build-fuzz/tests/fuzz/seed/* ci-fuzz/$t/corpus/
  echo "--- $t for ${secs}s"
  if ! build-fuzz/tests/fuzz/$t -max_total_time="$secs" -max_len=16384 -print_final_stats=1 \
      -dict=tests/fuzz/qsh.dict \
      -artifact_prefix=ci-fuzz/$t/ ci-fuzz/$t/corpus tests/fuzz/regress/$t \
      > ci-fuzz/$t/log 2>&1; then
    tail -n 60 ci-fuzz/$t/log
    for f in ci-fuzz/$t/crash-* ci-fuzz/$t/leak-* ci-fuzz/$t/timeout-* ci-fuzz/$t/oom-*; do
      [ -e "$f" ] && { echo "input $f:"; od -c "$f" | head -40; }
    done
    echo "CI: $t found a fault" >&2
    exit 1
  fi
  grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|Done)' ci-fuzz/$t/log || true
done
