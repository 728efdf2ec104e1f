#!/usr/bin/env bash
# Guards the hot paths against regressions by their instruction counts under
# callgrind, which repeat exactly however busy the machine is (a time would
# not). Each count is the difference of two run lengths divided by the
# difference, so that the process's start and end cancel out, and is compared
# with its limit in instruction-limits.txt beside this script.
#
# Usage: count_guard.sh BENCH   (BENCH: the dvrcore_bench program)
# Exit status: 0 when every count is within its limit, 1 otherwise.
set -euo pipefail

bench=$1
limits=$(dirname "${BASH_SOURCE[0]}")/instruction-limits.txt

# count FILTER ARGS...: instructions callgrind collected (inside FILTER's
# function when FILTER is not "-").
count() {
  local filter=$1
  shift
  local options=(--tool=callgrind --callgrind-out-file=/dev/null)
  [[ $filter == - ]] || options+=("--toggle-collect=$filter")
  valgrind "${options[@]}" "$bench" "$@" 2>&1 | sed -n 's/.*Collected : //p'
}

failed=0
while read -r name limit filter n args; do
  [[ -z $name || $name == \#* ]] && continue
  # shellcheck disable=SC2086  # args is a list of words by design
  a=$(count "$filter" $args "$n")
  # shellcheck disable=SC2086
  b=$(count "$filter" $args "$((2 * n))")
  if ! [[ $a =~ ^[0-9]+$ && $b =~ ^[0-9]+$ ]] || ((b <= a)); then
    echo "FAILED: $name: no count from $bench $args ('$a', '$b')"
    failed=1
    continue
  fi
  value=$(((b - a) / n))
  if ((value > limit)); then
    echo "FAILED: $name: $value instructions, limit $limit"
    failed=1
  else
    echo "ok: $name: $value instructions, limit $limit"
  fi
done <"$limits"
exit "$failed"
