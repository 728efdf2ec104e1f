#!/usr/bin/env bash
# Installs what is missing, then builds and tests the core in each
# configuration that matters, every stage in its own directory under build/:
#   native  RelWithDebInfo, the whole suite and the instruction-count guard
#   asan    AddressSanitizer + UndefinedBehaviorSanitizer, leaks included (clang)
#   tsan    ThreadSanitizer (GCC)
#   armhf   32-bit ARM cross build, tests run under qemu-user (not sanitized:
#           the sanitizers do not run under qemu-user)
#   board   the same armhf build on Debian's ARM kernel in qemu-system-arm (two
#           CPUs, 512 MiB), its suite run as root with nothing skipped, and the
#           armhf packages run with the example plugins (scripts/board.sh)
#   fuzz    libFuzzer targets (clang), each for a bounded time on a copy of
#           its seed corpus
#   packages  the Debian packages for amd64 and armhf (scripts/build-packages.sh),
#           checked by lintian, then installed into a throwaway root, used
#           with the example plugins (armhf under qemu) and purged
#           (tests/packaging/packages_test.sh)
# It ends with a summary and the line "N passed, N failed", and exits non-zero
# when anything failed. A stage that does not configure or build counts as one
# failure. Sanitizer reports go to log files, not only to the exit status, so
# that a report from a child process (the core or the stand-in parent started
# by a test) fails the run even if the test did not look at how it exited;
# every process with a report counts as one failure.
#
#   scripts/test.sh                    every stage
#   scripts/test.sh --quick            native only, for day-to-day work
#   scripts/test.sh --stages a,b,...   the named stages only, in the order above
# DVRCORE_BUILD_DIR moves the stage directories elsewhere (default: build).
set -uo pipefail
shopt -s nullglob

cd "$(dirname "$0")/.."
# Nothing here reads the terminal, and a closed standard input (as in some CI
# runners) would hand descriptor 0 to the first socket a test opens.
exec </dev/null
all_stages=(native asan tsan armhf board fuzz packages)
usage="usage: $0 [--quick | --stages $(IFS=,; echo "${all_stages[*]}")]"
case "${1:-}" in
  "") stages=("${all_stages[@]}") ;;
  --quick) stages=(native) ;;
  --stages)
    IFS=, read -ra stages <<<"${2:-}"
    ((${#stages[@]})) || { echo "$usage" >&2; exit 2; }
    for name in "${stages[@]}"; do
      [[ " ${all_stages[*]} " == *" $name "* ]] || { echo "$usage" >&2; exit 2; }
    done
    ;;
  *) echo "$usage" >&2; exit 2 ;;
esac
selected() { [[ " ${stages[*]} " == *" $1 "* ]]; }

if [[ ${stages[*]} == native ]]; then
  deps=()
elif selected board; then
  deps=(--packaging --board)
else
  deps=(--packaging)
fi
# A package that cannot be installed (install-deps.sh names it and why) is
# one failure; the stages go on, and those that need it fail in their turn.
deps_failed=0
bash scripts/install-deps.sh "${deps[@]}" || deps_failed=1

# Absolute, because sanitizer log paths must not depend on a test's directory.
build_root=$(realpath -m "${DVRCORE_BUILD_DIR:-build}")
jobs=$(nproc)
summary=()
total_passed=0
total_failed=0
if ((deps_failed)); then
  summary+=("$(printf '%-12s %s' install-deps FAIL)")
  total_failed=1
fi
# The armhf stages take the target's libraries from a sysroot of unpacked
# armhf packages (scripts/armhf-sysroot.sh says why); the toolchain file, the
# package build and the board read it from the environment.
if selected armhf || selected board || selected packages; then
  if sysroot_log=$(DVRCORE_BUILD_DIR=$build_root bash scripts/armhf-sysroot.sh 2>&1); then
    export DVRCORE_SYSROOT=${sysroot_log##*$'\n'}
  else
    echo "$sysroot_log"
    summary+=("$(printf '%-12s %s' armhf-sysroot FAIL)")
    total_failed=$((total_failed + 1))
  fi
fi
# Counts of the stage being run, and what it adds to its summary line.
passed=0
failed=0
note=""

# configure_and_build <dir> <target> <cmake args...>; the output goes to
# <dir>/build.log and its end is shown on failure.
configure_and_build() {
  local dir=$1 target=$2
  shift 2
  mkdir -p "$dir"
  # Every stage's build fails on a warning (DVRCORE_WERROR).
  if cmake -S . -B "$dir" -DDVRCORE_WERROR=ON "$@" >"$dir/build.log" 2>&1 &&
     cmake --build "$dir" --target "$target" -j "$jobs" >>"$dir/build.log" 2>&1; then
    return 0
  fi
  tail -n 60 "$dir/build.log"
  echo "build failed; full log: $dir/build.log"
  failed=$((failed + 1))
  return 1
}

# run_ctest <test dir> [NAME=value ...] [ctest options ...]: runs the tests
# with the given environment and adds their counts to the stage's.
run_ctest() {
  local dir=$1 vars=() log
  shift
  while (($#)) && [[ $1 == [A-Z]*=* ]]; do
    vars+=("$1")
    shift
  done
  log=$dir/ctest.log
  env "${vars[@]}" ctest --test-dir "$dir" -j2 --output-on-failure --no-tests=error "$@" \
    2>&1 | tee "$log"
  local counts
  counts=$(grep -Eo '[0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1)
  if [[ -z $counts ]]; then
    echo "ctest gave no result"
    failed=$((failed + 1))
    return
  fi
  local f t
  read -r f _ _ _ _ t <<<"$counts"
  passed=$((passed + t - f))
  failed=$((failed + f))
}

# count_reports <log dir>: shows every sanitizer log and counts those that hold
# a report (each ends with a SUMMARY line) as failures.
count_reports() {
  local file
  for file in "$1"/*; do
    echo "---- $file"
    cat "$file"
    if grep -q '^SUMMARY: ' "$file"; then failed=$((failed + 1)); fi
  done
}

# stage <title> <function>: runs one stage and records its line of the summary.
stage() {
  local title=$1 start=$SECONDS
  passed=0
  failed=0
  note=""
  echo
  echo "======== $title ========"
  "$2"
  local seconds=$((SECONDS - start)) verdict=PASS
  ((failed)) && verdict=FAIL
  summary+=("$(printf '%-12s %s  %4d passed, %3d failed  %3dm%02ds%s' \
    "$title" "$verdict" "$passed" "$failed" $((seconds / 60)) $((seconds % 60)) "${note:+  $note}")")
  total_passed=$((total_passed + passed))
  total_failed=$((total_failed + failed))
}

native() {
  local dir=$build_root/native
  # With the benchmark program, whose hot paths' instruction counts are
  # checked against their limits under callgrind (bench/count_guard.sh).
  configure_and_build "$dir" all -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DDVRCORE_BENCH=ON -DDVRCORE_COUNT_GUARD=ON || return
  run_ctest "$dir"
}

# sanitized_ctest <dir> <NAME=value ...>: runs the tests of a sanitizer build
# whose options send every report to <dir>/sanitizer-logs, then checks there.
sanitized_ctest() {
  local dir=$1
  shift
  rm -rf "$dir/sanitizer-logs"
  mkdir -p "$dir/sanitizer-logs"
  run_ctest "$dir" "$@"
  count_reports "$dir/sanitizer-logs"
}

# Built with clang: its UBSan lives in the ASan runtime and honours log_path,
# while GCC's separate libubsan writes to standard error whatever the options
# say, so a report from a child process could go unnoticed.
asan() {
  local dir=$build_root/asan
  configure_and_build "$dir" all -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DDVRCORE_SANITIZE=address,undefined || return
  sanitized_ctest "$dir" \
    "ASAN_OPTIONS=detect_leaks=1:log_path=$dir/sanitizer-logs/asan" \
    "UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:log_path=$dir/sanitizer-logs/ubsan"
}

tsan() {
  local dir=$build_root/tsan
  configure_and_build "$dir" all -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DDVRCORE_SANITIZE=thread || return
  sanitized_ctest "$dir" \
    "TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:log_path=$dir/sanitizer-logs/tsan"
}

armhf() {
  local dir=$build_root/armhf
  configure_and_build "$dir" all -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake || return
  run_ctest "$dir"
}

# The armhf build as the armhf stage makes it (nothing to do when that stage
# ran), its packages, then the guest: each test program counts as one test,
# failed if it exits non-zero or skips anything, and so does the packaged
# core's run with the examples; a build that fails counts as one failure.
board() {
  local dir=$build_root/armhf log=$build_root/board/board.log
  configure_and_build "$dir" all -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake || return
  if ! DVRCORE_BUILD_DIR=$build_root/board bash scripts/build-packages.sh armhf; then
    failed=$((failed + 1))
    return
  fi
  DVRCORE_BUILD_DIR=$build_root bash scripts/board.sh "$dir" "$build_root/board/packages" 2>&1 |
    tee "$log"
  local counts p f r s
  counts=$(grep -E '^board: [0-9]+ passed, [0-9]+ failed, [0-9]+ test cases ran, [0-9]+ skipped$' "$log")
  if [[ -z $counts ]]; then
    echo "the board gave no result"
    failed=$((failed + 1))
    return
  fi
  read -r _ p _ f _ r _ _ _ s _ <<<"$counts"
  passed=$((passed + p))
  failed=$((failed + f))
  note="$r test cases ran, $s skipped"
}

fuzz() {
  local dir=$build_root/fuzz
  configure_and_build "$dir" fuzzers -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DDVRCORE_FUZZ=ON -DDVRCORE_TESTS=OFF \
    || return
  run_ctest "$dir/fuzz"
}

# The packages are built, checked by lintian (no error, no warning; the
# tags the packaging accepts are overridden in debian/ with the reason),
# then installed and used: each of these steps counts as one test, and so
# does each check of packages_test.sh (its "ok:" lines).
packages() {
  local dir=$build_root/packages
  if DVRCORE_BUILD_DIR=$build_root bash scripts/build-packages.sh; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    return
  fi
  if lintian -I --fail-on error,warning "$dir"/*.changes; then
    passed=$((passed + 1))
  else
    echo "lintian found errors or warnings"
    failed=$((failed + 1))
  fi
  local log=$dir/packages_test.log
  bash tests/packaging/packages_test.sh "$dir" cmake/armhf-toolchain.cmake 2>&1 | tee "$log"
  local status=${PIPESTATUS[0]}
  passed=$((passed + $(grep -c '^ok: ' "$log")))
  ((status == 0)) || failed=$((failed + 1))
}

selected native && stage native native
selected asan && stage asan+ubsan asan
selected tsan && stage tsan tsan
selected armhf && stage armhf armhf
selected board && stage board board
selected fuzz && stage fuzz fuzz
selected packages && stage packages packages

echo
echo "======== summary ========"
printf '%s\n' "${summary[@]}"
echo "$total_passed passed, $total_failed failed"
((total_failed == 0))
