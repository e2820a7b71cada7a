#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# The plain byte-at-a-time paths: qsh built with QSH_SIMD=OFF, as on a
# machine without SSE2 (the text scan, the tokenizer's word loop and the
# output path), in its own build directory, and the quick test set run on it.
set -euo pipefail
cd "$(dirname "$0")/../.."
. .ci/lib.sh
ci_install cmake g++ libgtest-dev libgmock-dev make python3 findutils groff-base tmux

export CTEST_OUTPUT_ON_FAILURE=1
cmake -S . -B build-plain -DQSH_SIMD=OFF && cmake --build build-plain -j2 && ctest --test-dir build-plain -LE slow
