#!/usr/bin/env bash
# The core at work, as it runs on a device under its parent daemon: installs
# what is missing, builds the core, installs its plugin SDK into a scratch
# prefix, builds the example plugins out of tree against that SDK, and starts
# the core under the stand-in parent with the examples in its plugins folder.
# The stand-in identifies itself, sends a few packets to the parent_echo
# example and prints the packets that come back, then stops the core with a
# stop packet. Last, it shows the plugins.xml the core wrote.
#
# The core prints its colour log only on a terminal; when this script's output
# is not one, the run goes through script(1) so that the log shows anyway.
# DVRCORE_BUILD_DIR moves the build directory elsewhere (default: build).
set -euo pipefail

cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

root=$(realpath -m "${DVRCORE_BUILD_DIR:-build}")
build=$root/native
demo=$root/demo
jobs=$(nproc)

echo "== building the core, the stand-in parent and the SDK"
# Every program that cmake --install installs must be among these targets:
# a fresh clone has nothing else built.
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target dvrcore dvrcore-inspect dvrcore-top dvrcore-plugin-check dvrcore-check-driver brevad-standin -j "$jobs" >/dev/null
rm -rf "$demo"
cmake --install "$build" --prefix "$demo/sdk" >/dev/null

echo "== building the example plugins against the installed SDK"
cmake -S examples -B "$demo/examples" -DCMAKE_PREFIX_PATH="$demo/sdk" >/dev/null
cmake --build "$demo/examples" -j "$jobs" >/dev/null

# The core finds its plugins beside its own executable.
mkdir -p "$demo/device/bin/plugins" "$demo/device/work"
cp "$demo/sdk/bin/dvrcore" "$demo/device/bin/"
cp "$demo/examples"/*.so "$demo/device/bin/plugins/"
echo "== what the core will make of them (dvrcore-inspect)"
"$demo/sdk/bin/dvrcore-inspect" "$demo/device/bin/plugins" | sed -n '/^summary/p;/^discovery/,/^$/p'

# parent_echo has ID 0x00230000: the parent addresses it with target 0x02300000.
run=(
  "$build/tools/brevad-standin"
  --ident libbrevad.so 2.4.0
  --sleep 1500
  --send 0x02300000 1 "hello from brevad"
  --send 0x02300000 1 "status?"
  --send-hex 0x02300000 2 "00010203"
  --wait-packets 3 10
  --sleep 1000
  --stop
  --timeout 30
  -- "$demo/device/bin/dvrcore"
)
echo "== the core under the stand-in parent (lines starting [brevad] are the parent's)"
status=0
if [[ -t 1 ]]; then
  (cd "$demo/device/work" && "${run[@]}") || status=$?
else
  (cd "$demo/device/work" && script -qefc "$(printf '%q ' "${run[@]}")" /dev/null) || status=$?
fi
echo "== the core exited with status $status"

echo "== plugins.xml"
cat "$demo/device/work/plugins.xml"
exit "$status"
