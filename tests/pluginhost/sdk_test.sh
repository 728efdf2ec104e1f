#!/usr/bin/env bash
# The plugin SDK as a plugin author gets it. Installs the project from its
# build directory into a temporary prefix, builds the example plugins out of
# tree against that prefix with CMake (find_package(DvrcorePlugin)) and one of
# them with pkg-config and a plain compiler command, then runs the installed
# core with the examples in its plugins directory and no parent link, and
# stops it with SIGTERM. The installed dvrcore-inspect must accept the
# examples too.
#
# It checks that the four examples load and open (plugins.xml lists each with
# its ID and OpenCode 0), that the worker of video_source delivers frames to
# frame_recorder, which keeps one with retain and prints its summary through
# the core's Log at Close, and that the core exits with status 0. The console
# is a pseudo-terminal made by script(1): the core prints log lines only on a
# terminal.
#
# A second run goes through the stand-in parent: parent_echo answers a packet,
# and query_responder answers a query that a copy of the test plugin raises
# as an immediate event; the copy tells the parent when the answer came.
#
# usage: sdk_test.sh <build dir> <examples dir> <C compiler> <C++ compiler>
#                    <brevad-standin> <test plugin>
set -euo pipefail

build_dir=$1
examples_dir=$2
cc=$3
cxx=$4
standin=$5
test_plugin=$6

# Bound of every wait for the core, in tenths of a second.
readonly wait_tenths=600

work=$(mktemp -d "${TMPDIR:-/tmp}/sdk-test.XXXXXX")
script_pid=""
core_pid=""
cleanup() {
  local status=$?
  # Only the processes this script started, by their IDs.
  if [[ -n "$core_pid" ]] && kill -0 "$core_pid" 2>/dev/null; then kill -KILL "$core_pid"; fi
  if [[ -n "$script_pid" ]] && kill -0 "$script_pid" 2>/dev/null; then kill -KILL "$script_pid"; fi
  if ((status == 0)); then
    rm -rf "$work"
  else
    echo "sdk_test: FAILED; files kept in $work" >&2
  fi
}
trap cleanup EXIT

fail() {
  echo "sdk_test: $*" >&2
  exit 1
}

# Waits until `file` exists and contains the extended regular expression.
wait_for() {
  local file=$1 pattern=$2
  for ((i = 0; i < wait_tenths; i++)); do
    if [[ -f "$file" ]] && grep -Eq -- "$pattern" "$file"; then return 0; fi
    if [[ -n "$script_pid" ]] && ! kill -0 "$script_pid" 2>/dev/null; then break; fi
    sleep 0.1
  done
  fail "no '$pattern' in $file"
}

# ---- Install ----
prefix=$work/prefix
cmake --install "$build_dir" --prefix "$prefix" >"$work/install.log" ||
  fail "cmake --install failed (see $work/install.log)"
for header in events/events.h pluginhost/plugin.h core/dvrcore.h; do
  [[ -f "$prefix/include/dvrcore/$header" ]] || fail "header $header not installed"
done
# Plugins resolve these against the executable: they must stay exported
# under exactly these names, whatever the core's inside looks like.
exported=$(nm -DC --defined-only "$prefix/bin/dvrcore")
for name in 'FlatPluginEvent' 'dvrcore::now()' 'vtable for dvrcore' \
            'dvrcore::Scheduler(boost::system::error_code const&)' \
            'dvrcore::ProcessIPC(boost::system::error_code const&, unsigned int)'; do
  grep -qF " $name" <<<"$exported" || fail "$name is not exported by the core"
done

# ---- Out-of-tree build with CMake ----
cmake -S "$examples_dir" -B "$work/examples" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" \
  -DCMAKE_C_FLAGS=-Werror -DCMAKE_CXX_FLAGS=-Werror >"$work/examples-configure.log" 2>&1 ||
  fail "configuring the examples failed (see $work/examples-configure.log)"
cmake --build "$work/examples" >"$work/examples-build.log" 2>&1 ||
  fail "building the examples failed (see $work/examples-build.log)"

# ---- Build with pkg-config and a plain compiler command ----
pc_file=$(find "$prefix" -name dvrcore-plugin.pc -print -quit)
[[ -n "$pc_file" ]] || fail "dvrcore-plugin.pc not installed"
cflags=$(PKG_CONFIG_PATH=$(dirname "$pc_file") pkg-config --cflags dvrcore-plugin)
# A prefix baked in at configure time would point at headers elsewhere (or
# nowhere); the flags must lead into the prefix the SDK was installed to.
[[ -f "$(sed -E 's/^ *-I([^ ]*).*/\1/' <<<"$cflags")/pluginhost/plugin.h" ]] ||
  fail "pkg-config --cflags gives '$cflags', which does not lead to the headers in $prefix"
mkdir "$work/pkg-config"
# shellcheck disable=SC2086  # the flags are words
"$cc" -shared -fPIC -Wall -Wextra -Werror $cflags "$examples_dir/video_source.c" \
  -o "$work/pkg-config/video_source.so" -pthread ||
  fail "building video_source.so with pkg-config failed"

# ---- The installed inspection tool on the CMake-built examples ----
"$prefix/bin/dvrcore-inspect" "$work/examples" >"$work/inspect.txt" ||
  fail "dvrcore-inspect rejects an example (see $work/inspect.txt)"
grep -qx 'summary: 4 files, 4 loaded, 0 rejected' "$work/inspect.txt" ||
  fail "dvrcore-inspect did not find the four examples (see $work/inspect.txt)"

# ---- Run the installed core with the examples ----
# video_source.so from the pkg-config build, the others from the CMake build.
run=$work/run
mkdir -p "$run/plugins"
cp "$prefix/bin/dvrcore" "$run/"
cp "$work/examples/frame_recorder.so" "$work/examples/parent_echo.so" \
  "$work/examples/query_responder.so" "$work/pkg-config/video_source.so" "$run/plugins/"

cd "$run"
script -qfec 'sh -c "echo \$\$ >core.pid; exec ./dvrcore"' console.txt </dev/null >/dev/null &
script_pid=$!
wait_for core.pid '^[0-9]+$'
core_pid=$(<core.pid)

# plugins.xml is complete once the plugins are open; the first frame kept by
# the recorder shows that the worker's events travel through the main loop.
wait_for plugins.xml '</Nvrx>'
wait_for console.txt 'frame_recorder: keeping frame #0'

kill -TERM "$core_pid"
status=0
wait "$script_pid" || status=$?
script_pid=""
core_pid=""
((status == 0)) || fail "the core exited with status $status"

# ---- What the run shows ----
declare -A ids=([video_source.so]=2162688 [frame_recorder.so]=2228224
                [parent_echo.so]=2293760 [query_responder.so]=2359296)
for plugin in "${!ids[@]}"; do
  grep -q "Core: Loaded plugin: $plugin" console.txt || fail "no 'Loaded plugin' line for $plugin"
  grep -Eq "<Plugin ID=\"${ids[$plugin]}\" Filename=\"$plugin\" Opened=\"1\" LoadTimeMs=\"[0-9]+\" OpenTimeMs=\"[0-9]+\" OpenCode=\"0\" />" plugins.xml ||
    fail "plugins.xml does not list $plugin with ID ${ids[$plugin]} and OpenCode 0"
done
grep -Eq 'frame_recorder: [1-9][0-9]* frames \([0-9]+ bytes, first #0\)' console.txt ||
  fail "frame_recorder printed no summary of the frames it recorded"
grep -Eq 'video_source: [1-9][0-9]* frames sent' console.txt ||
  fail "video_source's worker did not end with its summary"

# ---- Second run: packets and queries ----
link=$work/link
mkdir -p "$link/plugins"
cp "$prefix/bin/dvrcore" "$link/"
cp "$work/examples/parent_echo.so" "$work/examples/query_responder.so" "$link/plugins/"
# The asker: query (class 2, flag 0x200) with correlation ID 77 when opened;
# takes answers (flag 0x400) as writes and then sends "ANSWERED" up.
cp "$test_plugin" "$link/plugins/asker.so"
cat >"$link/plugins/asker.conf" <<'CONF'
id 0x00500000
writes 1
mask 2 0x400
on open raise source=0 type=0x2 flags=0x200 corr=77 text=what time
on write send-parent ANSWERED
CONF
cd "$link"
# Target 0x02300001 selects parent_echo (ID 0x00230000); type 9 is any
# plugin packet. Both packets must come up before the stop.
"$standin" --ident lib.so 1.2 --send 0x02300001 9 hello --wait-packets 2 60 --stop \
  -- ./dvrcore >standin.txt 2>&1 || fail "the stand-in parent or the core failed (see $link/standin.txt)"
# The echo: header words 21, 0x02300001, type 0x45, 0; then "hello".
grep -q 'packet [12] length 21 : 1500000001003002450000000000000068656c6c6f$' standin.txt ||
  fail "no echo of the packet from parent_echo in standin.txt"
grep -q "write .*data=\"answer to 'what time' (9 bytes)\\\\x00\" source=0x00240000 corr=0x0000004d" plugins/asker.events ||
  fail "query_responder's answer did not reach the asker (see $link/plugins/asker.events)"

echo "sdk_test: SDK installed, examples built with CMake and pkg-config, loaded, used and stopped"
