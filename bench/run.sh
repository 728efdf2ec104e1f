#!/usr/bin/env bash
# Measures the core against the performance floors of this machine.
#
# Builds the floor programs in a temporary copy of the floors' folder (it is
# read-only) and the project's benchmarks in the build folder, then runs
# them section by section, each floor program right before the project's
# benchmark of the same path, so that both see the same state of a shared,
# noisy machine. Prints project / floor ratios with the goal of each row.
#
# Usage: bench/run.sh
# Environment:
#   FLOORS           the floors' folder (default ../shared/perf-floors from the
#                    project's top folder)
#   BENCH_BUILD_DIR  the project's build folder (default <project>/build-bench)
#   RESULTS          where the rows go (default <build folder>/bench-results)
#   TMPDIR           where the temporary folder goes (default /tmp)
# Rows are kept in RESULTS/floor_rows.txt and RESULTS/project_rows.txt
# ("ROW name median min max unit"), the full output in RESULTS/*.log, the
# ratio table in RESULTS/ratios.txt.
#
# Exit status: non-zero as soon as a build, a floor program, the benchmark
# program or a step of the comparison fails. A benchmark that reports an
# error (Google Benchmark's "ERROR OCCURRED") does not stop the others: its
# rows are missing from the table, and the status is 1 at the end.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
floors_src=${FLOORS:-$root/../shared/perf-floors}
build=${BENCH_BUILD_DIR:-$root/build-bench}
results=${RESULTS:-$build/bench-results}
start=$(date +%s)

if [[ ! -d $floors_src ]]; then
  echo "no floors' folder at $floors_src (set FLOORS)" >&2
  exit 1
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/dvrcore-bench-run-XXXXXX")
trap 'rm -rf "$work"' EXIT
trap 'exit 130' INT TERM
floors=$work/floors
out=$work/out.txt  # one program's output, before its rows are sorted out
mkdir "$floors"
cp -R "$floors_src"/. "$floors"
chmod -R u+w "$floors"
mkdir -p "$results"
floor_rows=$results/floor_rows.txt
project_rows=$results/project_rows.txt
: >"$floor_rows"
: >"$project_rows"
: >"$results/floors.log"
: >"$results/project.log"
benchmark_errors=0

# quietly LOG COMMAND...: runs a build step with its output in LOG, shown
# only when the step fails.
quietly() {
  local log=$1
  shift
  if ! "$@" >"$log" 2>&1; then
    tail -n 40 "$log" >&2
    echo "FAILED: $* (full output in $log)" >&2
    exit 1
  fi
}

echo "== building the floors in $floors"
make -s -C "$floors" all
echo "== building the benchmarks in $build"
quietly "$results/configure.log" cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DDVRCORE_TESTS=OFF -DDVRCORE_BENCH=ON
quietly "$results/build.log" cmake --build "$build" --target dvrcore_bench -j2
bench=$build/bench/dvrcore_bench

# keep_rows FILE: appends the ROW lines of the last program's output to FILE.
keep_rows() {
  grep '^ROW' "$out" >>"$1" || true  # a program without rows is not an error here
}

# floor TITLE COMMAND...: runs a floor program, keeps its rows.
floor() {
  echo "SEC $1" >>"$floor_rows"
  shift
  echo "-- floor: $*"
  if ! (cd "$floors" && "$@") >"$out"; then
    echo "FAILED: floor $*" >&2
    exit 1
  fi
  cat "$out" >>"$results/floors.log"
  keep_rows "$floor_rows"
}

# project TITLE PLACEMENT FILTER: runs the matching benchmarks, keeps their
# rows. PLACEMENT "cpu0" runs them under `taskset -c 0` (rows end in .1cpu).
project() {
  echo "SEC $1" >>"$project_rows"
  echo "-- project: $3 ($2)"
  local place=()
  if [[ $2 == cpu0 ]]; then place=(taskset -c 0); fi
  if ! timeout 600 "${place[@]}" "$bench" --benchmark_filter="$3" \
      --benchmark_enable_random_interleaving=true >"$out" 2>&1; then
    cat "$out" >&2
    echo "FAILED: $bench --benchmark_filter=$3" >&2
    exit 1
  fi
  cat "$out" >>"$results/project.log"
  if grep -q 'ERROR OCCURRED' "$out"; then
    grep 'ERROR OCCURRED' "$out" | sort -u >&2
    benchmark_errors=1
  fi
  keep_rows "$project_rows"
}

floor "queued events" build/floor_queue
project "queued events" any 'QueuedThroughput'
floor "immediate events" build/floor_thread
project "immediate events" cpu0 'ImmediateEvents'
floor "parent link" build/floor_seqpacket
project "parent link" any 'ParentLink(Down|Up)'
project "parent link round trip" cpu0 'ParentLinkRoundTrip'
floor "start-up" ./floor_dlopen.sh
project "start-up" any 'PluginLoading|ProcessStart'
floor "resident memory" build/floor_rss_plain --measure 7 build/floor_rss_full build/floor_rss_plain
project "resident memory" any 'IdleMemory'

# Instruction counts (user space, exact): the difference of two run lengths
# removes the start-up of the process, as the floors' run_all.sh does. The
# project's loading is counted inside PluginTable::LoadAll alone, which
# leaves out making the plugin copies.
if command -v valgrind >/dev/null 2>&1; then
  echo "-- instruction counts (callgrind)"
  cg_options=()
  # ir COMMAND...: the instructions callgrind counted.
  ir() {
    valgrind --tool=callgrind --callgrind-out-file=/dev/null "${cg_options[@]}" "$@" 2>&1 |
      sed -n 's/.*Collected : //p'
  }
  per() {  # rows name unit count command... (the count is appended)
    local rows=$1 name=$2 unit=$3 n=$4 a b v
    shift 4
    a=$(ir "$@" "$n")
    b=$(ir "$@" "$((2 * n))")
    # A count that does not grow with the run counted nothing: a function
    # name in cg_options that no longer exists, or a program that stopped
    # early.
    if ! [[ $a =~ ^[0-9]+$ && $b =~ ^[0-9]+$ ]] || ((b <= a)); then
      echo "FAILED: no instruction count for $name from $* ('$a', '$b')" >&2
      exit 1
    fi
    v=$(((b - a) / n))
    echo "ROW $name $v $v $v $unit" >>"$rows"
  }
  echo "SEC instructions (callgrind, user space)" >>"$floor_rows"
  echo "SEC instructions (callgrind, user space)" >>"$project_rows"
  for k in 1 4; do
    (cd "$floors" && per "$floor_rows" "i.q.drain.k$k.reg" Ir/event 10000 build/floor_queue --instr "$k" 1)
    per "$project_rows" "i.q.drain.k$k.reg" Ir/event 10000 "$bench" --instr-drain "$k"
  done
  (cd "$floors" && per "$floor_rows" i.d.full.open Ir/plugin 50 build/floor_dlopen_full --instr build/plugins)
  cg_options=("--toggle-collect=PluginTable::LoadAll*")
  per "$project_rows" i.d.full.open Ir/plugin 50 "$bench" --instr-load
fi

# A project row "<floor row>~<variant>" is compared with that floor row.
awk '$1 == "ROW" && index($2, "~") { split($2, n, "~"); print n[1], $2 }' "$project_rows" |
  while read -r base alias; do
    awk -v b="$base" -v a="$alias" '$1 == "ROW" && $2 == b { $2 = a; print }' "$floor_rows"
  done >"$results/floor_aliases.txt"
cat "$floor_rows" "$results/floor_aliases.txt" >"$results/floor_rows_all.txt"

# Goals, project / floor at most.
goal() {
  case $1 in
    q.p?.k?.reg | q.p?.k4.reg.raise) echo 1.25 ;;
    i.q.drain.k?.reg) echo 1.3 ;;
    t.new.lat.p50.1cpu | t.new.burst.1cpu | s.down.*.asio) echo 1.15 ;;
    t.new.lat.p99.1cpu | s.rtt.p50.asio.1cpu) echo 1.3 ;;
    s.up.*.asio) echo 1.2 ;;
    d.full.open | start.full | rss.full.anon) echo 1.5 ;;
    d.full.open~step) echo 1.2 ;;
    rss.full) echo 1.1 ;;
    *) echo - ;;
  esac
}

{
  echo
  echo "project / floor, $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) CPUs, load $(cut -d' ' -f1-3 /proc/loadavg)"
  # compare.sh prints "<row> project <p> floor <f> ratio <r> <unit>".
  "$floors/compare.sh" "$results/floor_rows_all.txt" "$project_rows" | while read -r line; do
    read -r row _ _ _ _ _ ratio _ <<<"$line"
    g=$(goal "$row")
    verdict=""
    if [[ $g != - ]]; then
      verdict=$(awk -v r="$ratio" -v g="$g" 'BEGIN { print (r <= g ? "met" : "MISSED") }')
      verdict="goal <= $g $verdict"
    fi
    printf '%s  %s\n' "$line" "$verdict"
  done
} | tee "$results/ratios.txt"
echo
echo "total $(($(date +%s) - start)) s; rows in $results"
if ((benchmark_errors)); then
  echo "some benchmarks reported errors (above); their rows are missing" >&2
  exit 1
fi
