#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# 64-bit ARM (arm64): qsh cross-compiled with Debian's g++-aarch64-linux-gnu
# (the arm64 preset, warnings as errors) and run on this machine under
# qemu-user. No binfmt handler is registered or needed: qemu-aarch64 is always
# named (and qemu-user-binfmt, which qemu-user recommends, is not installed).
# - The unit tests, built for arm64 with GoogleTest compiled from its sources
#   in /usr/src/googletest, run under qemu-aarch64 through ctest.
# - The end-to-end tests, built for this machine, drive the arm64 qsh:
#   run_qsh starts it after QSH_WRAPPER's words (qemu-aarch64 -L ...), and
#   whatever starts qsh by itself ({QSH} in the case files: a #! line, make's
#   SHELL, Python's subprocess, find -exec, sh -c; the tests that exec qsh)
#   gets QSH_EXEC, a two-line script that execs qemu-aarch64 on it (run_qsh
#   does without it: under the limit of 4 descriptors that
#   ExecFailures.PipeFailureEndsTheShellWithStatus1 sets, the /bin/sh running
#   the script fails before qsh starts).
# qsh is linked dynamically, as a user's arm64 build is; qemu takes the ARM
# loader and libraries from the cross compiler's tree (-L, not QEMU_LD_PREFIX,
# which every program qsh starts would inherit).
# Left out:
# - the tests labelled slow, as in the quick set: under qemu they take
#   minutes, and OutOfMemory.* cannot work there (under their address-space
#   limit qemu cannot allocate its 128 MB translation buffer);
# - ExecFailures.ForkFailureEndsTheShellWithStatus1: with the process limit at
#   1, qemu cannot start a thread of its own and ends before qsh runs
#   ("qemu: qemu_thread_create: Resource temporarily unavailable").
set -euo pipefail
cd "$(dirname "$0")/../.."
. .ci/lib.sh
ci_install --no-install-recommends cmake g++ libgtest-dev libgmock-dev make python3 findutils \
  g++-aarch64-linux-gnu qemu-user

cmake --preset arm64 -DQSH_WERROR=ON
cmake --build --preset arm64
# EM_AARCH64 (183) in the ELF header: not a build for this machine by mistake.
machine=$(od -An -tu2 -j18 -N2 build-arm64/qsh | tr -d ' ')
[ "$machine" = 183 ] || { echo "arm64: build-arm64/qsh is for ELF machine $machine" >&2; exit 1; }
ctest --preset arm64

# The end-to-end program of the release build (up to date already when
# .ci/run built build/ before).
cmake --preset release
cmake --build --preset release --target qsh_e2e

root=/usr/aarch64-linux-gnu
qemu=$(command -v qemu-aarch64)  # a full path: some cases run with PATH=/nonexistent
printf '#!/bin/sh\nexec %s -L %s %s "$@"\n' "$qemu" "$root" "$PWD/build-arm64/qsh" \
  > build-arm64/qsh-qemu
chmod +x build-arm64/qsh-qemu
export QSH_BIN=$PWD/build-arm64/qsh QSH_WRAPPER="$qemu -L $root" QSH_EXEC=$PWD/build-arm64/qsh-qemu

slow=$(ctest --test-dir build -N -L slow | sed -n 's/^ *Test *#[0-9]*: \(.*\..*\)$/\1/p' | paste -sd:)
build/tests/qsh_e2e --gtest_brief=1 \
  --gtest_filter="-$slow:ExecFailures.ForkFailureEndsTheShellWithStatus1"
