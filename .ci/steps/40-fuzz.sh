# Fuzz targets: built with clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer; every seed and past finding replayed, then each
# target fuzzed for about a minute from the seed corpus. A crash, a leak or a
# broken round trip fails the step and leaves its input in ci-fuzz/.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive

need=()
command -v clang++ >/dev/null || need+=(clang)
compgen -G '/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a' >/dev/null ||
  need+=(libclang-rt-dev)
command -v python3 >/dev/null || need+=(python3)
if [ ${#need[@]} -gt 0 ]; then
  apt-get update -qq && apt-get install -y -qq "${need[@]}"
fi

CC=clang CXX=clang++ cmake -S . -B build-fuzz -DQSH_FUZZ=ON -DQSH_SANITIZE=ON -DQSH_TESTS=OFF \
  2>&1 | tee ci-fuzz.log
cmake --build build-fuzz -j2 2>&1 | tee -a ci-fuzz.log
if grep -E 'warning:' ci-fuzz.log; then echo "CI: compiler warnings in ci-fuzz.log" >&2; exit 1; fi

ctest --test-dir build-fuzz/tests/fuzz --output-on-failure

secs=${QSH_FUZZ_SECONDS:-60}
rm -rf ci-fuzz
for t in fuzz_tokens fuzz_loop fuzz_scan; do
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
