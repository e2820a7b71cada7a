#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause
# Formatting: every C++ source and header under src/ and tests/ must be left
# unchanged by clang-format with the repository's .clang-format. Versions of
# clang-format differ in their output, so version 14 (Debian 12's) is used.
set -euo pipefail
cd "$(dirname "$0")/../.."
. .ci/lib.sh
ci_install clang-format-14

cf=$(command -v clang-format-14)
"$cf" --version

mapfile -t files < <(find src tests -type f \( -name '*.cpp' -o -name '*.h' \) | sort)
if [ ${#files[@]} -eq 0 ]; then
  echo "format: no C++ files found under src/ and tests/" >&2
  exit 1
fi

bad=()
for f in "${files[@]}"; do
  "$cf" --style=file --dry-run --Werror "$f" >/dev/null 2>&1 || bad+=("$f")
done
if [ ${#bad[@]} -gt 0 ]; then
  echo "format: these files are not formatted:" >&2
  printf '  %s\n' "${bad[@]}" >&2
  { "$cf" --style=file --dry-run "${bad[@]}" 2>&1 || true; } | head -n 60 >&2 || true
  echo "format: run  clang-format-14 -i ${bad[*]}" >&2
  exit 1
fi
echo "format: ${#files[@]} files formatted"
