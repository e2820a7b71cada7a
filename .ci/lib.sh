# SPDX-License-Identifier: BSD-2-Clause
# Shared by .ci/run and the steps in .ci/steps/ (sourced, not run).

export DEBIAN_FRONTEND=noninteractive

# Installs those of the named Debian packages that are not installed yet.
# The names are the ones the README gives, so that both stay the same.
# Arguments starting with - are options for apt-get install
# (--no-install-recommends).
ci_install() {
  local missing=() opts=() p status
  for p in "$@"; do
    case $p in -*) opts+=("$p"); continue ;; esac
    status=$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null || true)
    [ "$status" = installed ] || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "CI: installing ${missing[*]}"
    apt-get update -qq
    apt-get install -y -qq "${opts[@]}" "${missing[@]}" </dev/null
  fi
}

# A heading with the time, so that the log shows how long each part took.
ci_section() {
  echo "=== $* ($(date +%T))"
}
