#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Memory check: a representative part of the end-to-end suite with every qsh
# run under valgrind memcheck (the children qsh starts are not traced): every
# case file in pipe mode, the executor's special tests, and scripts whose
# commands read the shell's own input. Any memory error or definite leak
# makes valgrind end qsh with status 97, which fails the case.
# Memory still held at exit is expected (qsh may exit, or fail to exec in
# place, in the middle of a line without freeing it); whether valgrind calls
# a block of it reachable or possibly lost depends on where the compiler
# kept the pointer, so only definite leaks are shown.
# libc's final clean-up is not run: it would flush the shell's
# stdio buffers in a child whose exec failed, which qsh itself never does.
# Left out: tests that limit descriptors or processes (valgrind needs its own)
# and timing tests (valgrind slows start-up by a second or more).
set -euo pipefail
cd "$(dirname "$0")/../.."
. .ci/lib.sh
ci_install cmake g++ libgtest-dev libgmock-dev make python3 findutils valgrind

# The release build of qsh and the end-to-end program (up to date already
# when .ci/run built build/ before).
cmake --preset release
cmake --build --preset release --target qsh_e2e

export QSH_WRAPPER="valgrind -q --error-exitcode=97 --leak-check=full \
--show-leak-kinds=definite --errors-for-leak-kinds=definite \
--run-libc-freeres=no"
# Forks of a process under valgrind are slow, more so on a busy machine: the
# 2,000-stage pipeline and the hundreds of background commands would run
# into the timeouts meant to catch a hung shell.
export QSH_TIMEOUT_SCALE=10
build/tests/qsh_e2e --gtest_brief=1 \
  --gtest_filter='*/pipe:Exec*:*ScriptInput.*:-ExecFailures.*:ExecTiming.*'
