#!/usr/bin/env bash
# Measures the core against the performance floors of this machine.
#
# Builds the floor programs in a temporary copy of the floors' folder (it is
# read-only) and the project's benchmarks in the build folder. Times come in
# pairs: each floor program runs, then right after it the project's
# benchmark of the same path, PAIRS times over, so that each pair sees one
# state of a shared, noisy machine and gives one ratio project / floor per
# row. Instruction counts under callgrind follow, once: they repeat whatever
# the machine does. Prints one Markdown table: per row the medians of the
# project and the floor over the pairs, the median of the per-pair ratios
# with their spread, and the goal. Rows whose floor has no count are
# compared with the project's own count before its hot paths were worked on
# (bench/instruction-baseline.txt).
#
# Usage: bench/run.sh
# Environment:
#   PAIRS            floor/project pairs of time measurements (default 5; 0:
#                    instruction counts only, as for the baseline file)
#   FLOORS           the floors' folder (default ../shared/perf-floors from the
#                    project's top folder)
#   BENCH_BUILD_DIR  the project's build folder (default <project>/build-bench)
#   RESULTS          where the rows go (default <build folder>/bench-results)
#   TMPDIR           where the temporary folder goes (default /tmp)
# Rows are kept in RESULTS/floor_rows.txt and RESULTS/project_rows.txt
# ("ROW name median min max unit" of each run, after a "PAIR n" line, or
# "PAIR counts" for the instruction counts), the full output in
# RESULTS/*.log, the table in RESULTS/table.md.
#
# Exit status: non-zero as soon as a build, a floor program, the benchmark
# program or an instruction count fails; a missed goal is not a failure. A
# benchmark that reports an error (Google Benchmark's "ERROR OCCURRED") does
# not stop the others: its rows are missing from its pair, and the status is
# 1 at the end.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
floors_src=${FLOORS:-$root/../shared/perf-floors}
build=${BENCH_BUILD_DIR:-$root/build-bench}
results=${RESULTS:-$build/bench-results}
pairs=${PAIRS:-5}
baseline=$root/bench/instruction-baseline.txt
start=$(date +%s)
load_at_start=$(cut -d' ' -f1-3 /proc/loadavg)

if [[ ! -d $floors_src ]]; then
  echo "no floors' folder at $floors_src (set FLOORS)" >&2
  exit 1
fi
if ! [[ $pairs =~ ^[0-9]+$ ]]; then
  echo "PAIRS must be a number, not '$pairs'" >&2
  exit 1
fi

command -v perf >/dev/null || {
  echo "FAILED: perf is needed for the system call counts" >&2
  exit 1
}

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

# mark LINE: a "PAIR n" or "SEC title" line in both row files. A row belongs
# to the pair and the section above it.
mark() {
  echo "$1" >>"$floor_rows"
  echo "$1" >>"$project_rows"
}

# keep_rows FILE: appends the ROW lines of the last program's output to FILE.
keep_rows() {
  grep '^ROW' "$out" >>"$1" || true  # a program without rows is not an error here
}

# floor TITLE COMMAND...: starts section TITLE and runs a floor program in it.
floor() {
  mark "SEC $1"
  shift
  echo "-- floor: $*"
  if ! (cd "$floors" && "$@") >"$out"; then
    echo "FAILED: floor $*" >&2
    exit 1
  fi
  cat "$out" >>"$results/floors.log"
  keep_rows "$floor_rows"
}

# project PLACEMENT FILTER: runs the matching benchmarks, keeps their rows.
# PLACEMENT "cpu0" runs them under `taskset -c 0` (rows end in .1cpu).
project() {
  echo "-- project: $2 ($1)"
  local place=()
  if [[ $1 == cpu0 ]]; then place=(taskset -c 0); fi
  if ! DVRCORE_BENCH_START_FLOOR=$floors/build/floor_rss_full \
    timeout 600 "${place[@]}" "$bench" --benchmark_filter="$2" \
      --benchmark_enable_random_interleaving=true >"$out" 2>&1; then
    cat "$out" >&2
    echo "FAILED: $bench --benchmark_filter=$2" >&2
    exit 1
  fi
  cat "$out" >>"$results/project.log"
  if grep -q 'ERROR OCCURRED' "$out"; then
    grep 'ERROR OCCURRED' "$out" | sort -u >&2
    benchmark_errors=1
  fi
  keep_rows "$project_rows"
  # The parent link's one-way rows are also held against the floor's plain
  # blocking calls: "s.up.64B.plain~core" is the core's s.up.64B.asio value
  # compared with the floor's s.up.64B.plain.
  sed -n 's/^ROW s\.\(down\|up\)\.\([^. ]*\)\.asio /ROW s.\1.\2.plain~core /p' "$out" \
    >>"$project_rows"
  # Packets up are also held against the floor that does the same work with
  # plain calls: packets made on another thread and handed over.
  sed -n 's/^ROW s\.up\.\([^. ]*\)\.asio /ROW s.up.\1.handoff~core /p' "$out" >>"$project_rows"
  # Loading 1000 plugins against the core's own 100, for reading.
  sed -n 's/^ROW d\.full\.open\.n1000 /ROW d.full.open.n1000~own /p' "$out" >>"$project_rows"
}

# floor_syscalls: rows sc.down.SIZE and sc.up.SIZE of the floor's plain
# variant: system calls per packet of its core side. floor_seqpacket --quick
# runs under perf, counting every system call; its children (one per series,
# forked in the order of its table) are told apart by process ID, and each
# plain child's calls are counted from its first data call (a send or
# receive of more than the one-byte start signal) to its last.
floor_syscalls() {
  echo "-- floor: system calls of floor_seqpacket's plain variant"
  local nr
  nr=$(printf '#include <sys/syscall.h>\nSYS_sendto SYS_recvfrom\n' | cc -E -P - | tail -n 1)
  if ! (cd "$floors" && perf record -q -e raw_syscalls:sys_enter -c 1 -o "$work/sc.data" \
    build/floor_seqpacket --quick) >/dev/null 2>&1; then
    echo "FAILED: perf record of floor_seqpacket (perf and root are needed)" >&2
    exit 1
  fi
  perf script -i "$work/sc.data" -F pid,trace 2>/dev/null | awk -v nr="$nr" '
    BEGIN { split(nr, n, " "); send = n[1]; recv = n[2]
            # the series with the plain variant, by child: down, then up; 64B, 1KiB, 64KiB
            name[1] = "down.64B"; name[3] = "down.1KiB"; name[5] = "down.64KiB"
            name[7] = "up.64B"; name[9] = "up.1KiB"; name[11] = "up.64KiB" }
    {
      gsub(/[(),]/, "")
      pid = $1 + 0
      if (main == "") main = pid
      if (pid == main) next
      if (!(pid in child)) child[pid] = ++children
      calls[pid]++
      if (($3 == send || $3 == recv) && $6 != "1") {  # the length, in hexadecimal
        if (!(pid in first)) first[pid] = calls[pid]
        last[pid] = calls[pid]
        data[pid]++
      }
    }
    END {
      for (pid in child) if (child[pid] in name && data[pid] > 0) {
        v = (last[pid] - first[pid] + 1) / data[pid]
        printf "ROW sc.%s %.4g %.4g %.4g calls/pkt\n", name[child[pid]], v, v, v
      }
    }' >"$out"
  if [[ $(grep -c '^ROW' "$out") != 6 ]]; then
    echo "FAILED: no system call counts of floor_seqpacket's plain children" >&2
    cat "$out" >&2
    exit 1
  fi
  keep_rows "$floor_rows"
}

# One pair: every floor program, each followed by the project's benchmarks
# of its path.
pair() {
  floor "queued events" build/floor_queue
  project any 'QueuedThroughput'
  # The two-raiser rows (three threads on two CPUs) stray most: a second
  # round in each pair, counted as a pair of its own.
  mark "PAIR ${1}b"
  floor "queued events" build/floor_queue
  project any 'QueuedThroughput/P:2/'
  mark "PAIR $1"
  floor "immediate events" build/floor_thread
  project cpu0 'ImmediateEvents'
  floor "parent link" build/floor_seqpacket
  floor_syscalls
  project any 'ParentLink(Down|Up|Syscalls)'
  project cpu0 'ParentLinkRoundTrip'
  floor "start-up" ./floor_dlopen.sh
  floor "start-up" env PLUGINS=1000 ./floor_dlopen.sh
  project any 'PluginLoading|ProcessStart'
  floor "resident memory" build/floor_rss_plain --measure 3 build/floor_rss_full build/floor_rss_plain
  project any 'IdleMemory'
}

for ((p = 1; p <= pairs; p++)); do
  echo "== pair $p of $pairs"
  mark "PAIR $p"
  pair "$p"
done

# ---- The cost of watching (one run each: no floor) ----
# The figures file's thread, CPU per second of wall time: 100 and 1000
# plugins, 1000 with 2000 threads, at the default interval and at 1 s.
mark "PAIR watching"
mark "SEC cost of watching"
for interval in 5 1; do
  for load in "100 0" "1000 0" "1000 2000"; do
    echo "-- project: --stats-cpu $load $interval 10"
    # shellcheck disable=SC2086 # two numbers
    if ! "$bench" --stats-cpu $load "$interval" 10 >"$out" 2>&1; then
      cat "$out" >&2
      echo "FAILED: $bench --stats-cpu $load $interval 10" >&2
      exit 1
    fi
    keep_rows "$project_rows"
  done
done

# ---- Instruction counts (user space, exact) ----
# Each count is the difference of two run lengths, which removes the
# process's start and end, as the floors' run_all.sh does it; each length is
# the median of three runs. The project's loading is counted inside
# PluginTable::LoadAll alone, which leaves out making the plugin copies.
#
# The threaded runs are made to repeat: --fair-sched hands the threads on in
# a fixed order, LD_BIND_NOW resolves every symbol at start (no lazy binding
# in whichever thread comes first), and the benchmarks' waits (functions
# named Wait*) and the immediate events' hook in Read are left out, since
# how long they spin depends on timing. The counted runs hold the I/O thread
# until every packet is in place (see parent_link_bench.cpp).
echo "== instruction counts (callgrind)"
command -v valgrind >/dev/null || {
  echo "FAILED: valgrind is needed for the instruction counts" >&2
  exit 1
}
cg_options=()
cg_env=()
counter=ir
threaded_options=(--fair-sched=yes "--toggle-collect=bench::*::Wait*"
  "--toggle-collect=bench::*::OnRead*" --collect-atstart=yes)

# ir COMMAND...: the instructions callgrind counted for COMMAND.
ir() {
  env "${cg_env[@]}" valgrind --tool=callgrind --callgrind-out-file=/dev/null \
    "${cg_options[@]}" "$@" 2>&1 | sed -n 's/.*Collected : //p'
}
# ir_start: the same for one start of the real core executable, spawned by
# the benchmark program as ProcessStart spawns it; only the core is counted.
ir_start() {
  "$bench" --instr-start valgrind --tool=callgrind --callgrind-out-file=/dev/null \
    --trace-children=no --log-file="$work/start.log" "${cg_options[@]}" >/dev/null 2>&1 &&
    sed -n 's/.*Collected : //p' "$work/start.log"
}
# ir_figures COMMAND...: the instructions callgrind counted in the code of
# the figures, events/figures.h (inlined into the hot paths) and
# events/figures.cpp, read from the line-level costs of its output: a cost
# line belongs to the source file last named by fl= (fn= returns to it), fi=
# or fe=; the line after calls= is the inclusive cost of a call, not counted.
ir_figures() {
  env "${cg_env[@]}" valgrind --tool=callgrind --callgrind-out-file="$work/cg.out" \
    "${cg_options[@]}" "$@" >/dev/null 2>&1 || return 1
  awk '
    function file(rest,   id) {
      if (match(rest, /^\([0-9]+\)/)) {
        id = substr(rest, 2, RLENGTH - 2)
        if (length(rest) > RLENGTH) names[id] = substr(rest, RLENGTH + 2)
        return names[id]
      }
      return rest
    }
    /^fl=/ { base = file(substr($0, 4)); current = base; next }
    /^f[ie]=/ { current = file(substr($0, 4)); next }
    /^fn=/ { current = base; next }
    /^calls=/ { skip = 1; next }
    /^[0-9+*-]/ {
      if (skip) { skip = 0; next }
      if (current ~ /events\/figures\.(h|cpp)$/) sum += $2
    }
    END { printf "%d\n", sum }' "$work/cg.out"
}
# median3 COMMAND...: the median of three counts; fails unless all three are
# numbers.
median3() {
  local counts=() v
  for _ in 1 2 3; do
    v=$("$@") && [[ $v =~ ^[0-9]+$ ]] || return 1
    counts+=("$v")
  done
  printf '%s\n' "${counts[@]}" | sort -n | sed -n 2p
}
# row FILE NAME VALUE UNIT: an exact row.
row() { echo "ROW $2 $3 $3 $3 $4" >>"$1"; }
# per FILE NAME UNIT N COMMAND...: (Ir(2N) - Ir(N)) / N, with the run length
# appended to COMMAND, counted by $counter (ir, or ir_figures). A count that
# does not grow with the length counted nothing (a --toggle-collect name that
# no longer exists) and fails.
per() {
  local rows=$1 name=$2 unit=$3 n=$4 a b
  shift 4
  echo "-- $name"
  if ! a=$(median3 "$counter" "$@" "$n") || ! b=$(median3 "$counter" "$@" "$((2 * n))") ||
    ((b <= a)); then
    echo "FAILED: no instruction count for $name from $*" >&2
    exit 1
  fi
  row "$rows" "$name" $(((b - a) / n)) "$unit"
}

mark "PAIR counts"
mark "SEC queued events"
for k in 1 4; do
  (cd "$floors" && per "$floor_rows" "i.q.drain.k$k.reg" Ir/event 10000 build/floor_queue --instr "$k" 1)
  per "$project_rows" "i.q.drain.k$k.reg" Ir/event 10000 "$bench" --instr-drain "$k"
done
for idle in 100 300; do
  per "$project_rows" "i.q.k1.idle$idle" Ir/event 10000 "$bench" --instr-drain 1 "$idle"
done
# The figures' share of the same paths (counted, timed, bucketed).
counter=ir_figures
for k in 1 4; do
  per "$project_rows" "i.q.drain.k$k.figures" Ir/event 10000 "$bench" --instr-drain "$k"
done
counter=ir

cg_options=("${threaded_options[@]}")
cg_env=(LD_BIND_NOW=1)
mark "SEC immediate events"
per "$project_rows" i.t.new.event Ir/event 500 "$bench" --instr-immediate
counter=ir_figures
per "$project_rows" i.t.new.figures Ir/event 500 "$bench" --instr-immediate
counter=ir
mark "SEC parent link"
# label bytes N: both socket buffers hold 2N packets (8 MiB)
for size in "64B 64 2000" "1KiB 1024 1000" "64KiB 65536 50"; do
  read -r label bytes n <<<"$size"
  per "$project_rows" "i.s.down.$label" Ir/pkt "$n" "$bench" --instr-down "$bytes"
  per "$project_rows" "i.s.up.$label" Ir/pkt "$n" "$bench" --instr-up "$bytes"
done

cg_env=()
mark "SEC start-up"
cg_options=()
# floor_dlopen.sh makes the floor's plugin copies; without pairs, make them here.
[[ -d $floors/build/plugins ]] || (cd "$floors" && ./floor_dlopen.sh --quick >/dev/null)
(cd "$floors" && per "$floor_rows" i.d.full.open Ir/plugin 50 build/floor_dlopen_full --instr build/plugins)
cg_options=("--toggle-collect=PluginTable::LoadAll*")
per "$project_rows" i.d.full.open Ir/plugin 50 "$bench" --instr-load
# Every plugin of a table of N, the first included (LoadAll alone is counted,
# so no second length is needed): what a larger table adds per plugin.
for n in 100 1000; do
  echo "-- i.d.full.open.n$n"
  if ! v=$(median3 ir "$bench" --instr-load "$n"); then
    echo "FAILED: no instruction count for loading $n plugins" >&2
    exit 1
  fi
  row "$project_rows" "i.d.full.open.n$n" $((v / n)) Ir/plugin
done
# Lazy binding as in a real start. The scheduler's 100 ms tick is left out:
# how many ticks fall into a start depends on how long it takes.
cg_options=(--fair-sched=yes "--toggle-collect=dvrcore::Scheduler*" --collect-atstart=yes)
echo "-- i.start.full"
if ! v=$(median3 ir_start); then
  echo "FAILED: no instruction count for a start of the core (callgrind's log: $work/start.log)" >&2
  cat "$work/start.log" >&2 || true
  exit 1
fi
row "$project_rows" i.start.full "$v" Ir

# ---- The table ----

# Goals, project / floor at most: "regex goal", first match wins. Rows
# compared with the baseline have the goal 1.0 (never more instructions than
# before); rows matching none have no goal. Rows in % of a CPU have no floor:
# their goal is a limit on the value itself.
goals() {
  cat <<'EOF'
^(i\.)?q\.k1\.idle100$           1.1
^(i\.)?q\.k1\.idle300$           1.2
^d\.full\.open\.n1000$           1.1
^q\.p[12]\.k[14]\.reg$            1.1
^q\.p[12]\.k4\.reg\.raise$        1.1
^i\.q\.drain\.k[14]\.reg$         1.0
^t\.new\.lat\.p50\.1cpu$          1.15
^t\.new\.lat\.p99\.1cpu$          1.2
^t\.new\.burst\.1cpu$             1.05
^s\.(down|up)\.(64B|1KiB|64KiB)\.asio$ 1.1
^s\.down\.(64B|1KiB|64KiB)\.plain~core$ 1.0
^s\.up\.(64B|1KiB)\.plain~core$  1.0
^s\.up\.(64B|1KiB|64KiB)\.handoff~core$ 1.0
^sc\.(down|up)\.(64B|1KiB|64KiB)$ 1.0
^w\.stats\.p1000\.t2000$         1.0
^s\.rtt\.p50\.asio\.1cpu$         1.15
^(i\.)?d\.full\.open(~step)?$     1.3
^start\.full$                     1.15
^rss\.full$                       1.05
^rss\.full\.anon$                 1.3
EOF
}

# Rows compared with another row of the project, of the same pair: "row
# reference". They measure how the project's own cost grows (with plugins an
# event does not reach, with the size of the table), which no floor does;
# and the process start against the floor's start program, which
# ProcessStart starts right before each start of the core: the floor's own
# start.full row is taken minutes before the project's, and in minutes this
# machine drifts by more than the few per cent the goal is about.
references() {
  cat <<'EOF'
q.k1.idle100         q.p1.k1.reg
q.k1.idle300         q.p1.k1.reg
i.q.k1.idle100       i.q.drain.k1.reg
i.q.k1.idle300       i.q.drain.k1.reg
d.full.open.n1000~own d.full.open
i.q.drain.k1.figures i.q.drain.k1.reg
i.q.drain.k4.figures i.q.drain.k4.reg
i.t.new.figures      i.t.new.event
start.full           start.full.floor
i.d.full.open.n1000  i.d.full.open.n100
EOF
}

# The table's rows: every project row that has a floor row of the same name
# ("<floor row>~<variant>" is compared with that floor row), a reference row
# of the project (above) or a baseline, in the order of the sections, times
# before counts. Per row: the medians of
# the project's and the floor's per-pair medians, the median and range of
# the per-pair ratios. "Met" compares the ratio as printed (two decimals).
table_rows() {
  awk -v pairs="$pairs" '
    function sortv(v, n,   i, j, t) {
      for (i = 2; i <= n; i++)
        for (j = i; j > 1 && v[j - 1] > v[j]; j--) { t = v[j]; v[j] = v[j - 1]; v[j - 1] = t }
    }
    function median(v, n) { sortv(v, n); return v[int((n - 1) / 2 + 0.5) + 1] }
    function show(x, unit) {
      sub(/^us/, "µs", unit)
      return sprintf(x >= 100 ? "%.0f %s" : x >= 10 ? "%.1f %s" : "%.3g %s", x, unit)
    }
    FILENAME == ARGV[1] { goalRe[++goals] = $1; goalOf[goals] = $2; next }
    FILENAME == ARGV[2] { refOf[$1] = $2; next }
    FILENAME == ARGV[3] { if ($1 == "ROW") base[$2] = $3; next }
    $1 == "PAIR" { pair = $2; next }
    $1 == "SEC" { sub(/^SEC /, ""); if (!($0 in secNo)) secNo[$0] = ++sections; sec = secNo[$0]; next }
    $1 != "ROW" { next }
    FILENAME == ARGV[4] { floor[$2, pair] = $3; next }
    {
      if (!($2 in unit)) {
        names[++count] = $2
        unit[$2] = $6
        order[$2] = sec * 10000 + (pair == "counts" ? 5000 : 0) + count
      }
      proj[$2, pair] = $3
      if (!index(" " pairsOf[$2] " ", " " pair " ")) pairsOf[$2] = pairsOf[$2] " " pair
    }
    END {
      for (i = 1; i <= count; i++) {
        name = names[i]
        ref = index(name, "~") ? substr(name, 1, index(name, "~") - 1) : name
        own = name in refOf
        n = split(pairsOf[name], ps, " ")
        k = 0
        for (j = 1; j <= n; j++) {
          if (own) {
            if (!((refOf[name], ps[j]) in proj) || proj[refOf[name], ps[j]] <= 0) continue
            fv[k + 1] = proj[refOf[name], ps[j]]
          } else {
            if (!((ref, ps[j]) in floor) || floor[ref, ps[j]] <= 0) continue
            fv[k + 1] = floor[ref, ps[j]]
          }
          k++
          pv[k] = proj[name, ps[j]]; rv[k] = pv[k] / fv[k]
        }
        g = ""; ratio = "–"; spread = "exact"
        if (k > 0) {
          p = median(pv, k); f = median(fv, k); ratio = sprintf("%.2f", median(rv, k))
          fshow = show(f, unit[name]) (own ? " (" refOf[name] ")" : "")
          if (unit[name] !~ /^Ir/) spread = sprintf("%.2f–%.2f", rv[1], rv[k])
          if (k < pairs && spread != "exact") spread = spread " (" k " of " pairs " pairs)"
          for (j = 1; j <= goals; j++) if (name ~ goalRe[j]) { g = goalOf[j]; break }
        } else if (unit[name] ~ /^Ir/) {  # a count without a floor: against the baseline
          p = proj[name, ps[1]]
          fshow = "no baseline"
          if (name in base) {
            fshow = show(base[name], unit[name]) " (baseline)"
            ratio = sprintf("%.2f", p / base[name])
            g = "1.0"
          }
        } else if (unit[name] == "%cpu") {  # the value itself against its limit
          p = proj[name, ps[1]]
          fshow = "–"
          for (j = 1; j <= goals; j++) if (name ~ goalRe[j]) { g = goalOf[j]; break }
          ratio = sprintf("%.2f", p)
          spread = "one run"
        } else {
          continue
        }
        met = g == "" ? "–" : ratio + 0 <= g + 0 ? "yes" : "**no**"
        printf "%d\t| %s | %s | %s | %s | %s | %s | %s |\n", order[name], name, show(p, unit[name]),
          fshow, ratio, spread, g == "" ? "–" : "≤ " g, met
      }
    }' <(goals) <(references) <(cat "$baseline" 2>/dev/null || true) "$floor_rows" "$project_rows" |
    sort -n | cut -f2-
}

{
  echo "## bench/run.sh, $(date -u '+%Y-%m-%d %H:%M UTC')"
  echo
  echo "Machine: $(nproc) CPUs, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1);" \
    "load average $load_at_start at the start, $(cut -d' ' -f1-3 /proc/loadavg) at the end."
  echo "Times: $pairs pairs of floor and project runs; ratio = median of the per-pair ratios" \
    "project / floor, spread = their range. Counts: exact instructions (callgrind)." \
    "Rows in %cpu have no floor: Ratio is the value itself, held against the goal."
  echo
  echo "| Row | Project | Floor (or baseline) | Ratio | Spread | Goal | Met |"
  echo "|---|---|---|---|---|---|---|"
  table_rows
} | tee "$results/table.md"
echo
echo "total $(($(date +%s) - start)) s; rows in $results"
if ((benchmark_errors)); then
  echo "some benchmarks reported errors (above); their rows are missing from those pairs" >&2
  exit 1
fi
