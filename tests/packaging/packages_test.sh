#!/usr/bin/env bash
# The Debian packages as a device and a plugin author get them, after
# scripts/build-packages.sh has built them for amd64 and armhf:
#
# - The amd64 packages are installed into a throwaway root with dpkg --root
#   (--force-depends: the root holds nothing else; the programs run with the
#   host's libraries, which the dependencies name). The core's folders are
#   there, and the manual pages read without a warning from man.
# - The example plugins shipped in dvrcore-plugin-dev are built against the
#   installed SDK: all with CMake (find_package(DvrcorePlugin) must find the
#   root's package) and parent_echo also with pkg-config and a plain compiler
#   command. They go into the installed core's plugins folder, and the
#   installed core, started through its /usr/sbin link by the installed
#   stand-in parent, loads and opens them, echoes a packet through the
#   pkg-config-built parent_echo, and exits with status 0 after a stop
#   packet.
# - That amd64 run writes its figures file into /run/dvrcore of the root,
#   made by the package's tmpfiles entry (its postinst runs chrootless, with
#   the host's systemd-tmpfiles, when there is one; the entry's line itself
#   otherwise). Mid-run a copy of the file passes promtool check metrics, and
#   node_exporter, started by hand as the user prometheus with the textfile
#   collector alone on that folder, serves the core's series without a scrape
#   error: the file is readable by another user. After the core's stop the
#   file says dvrcore_up 0. The example rules pass promtool check rules.
# - The armhf dvrcore package is unpacked (dpkg -x); the examples are
#   cross-built against the same installed SDK (an arch-independent package
#   configured on amd64) and run the same way under qemu-arm.
# - Purging the packages leaves nothing in the root but dpkg's own records.
#
# Each finished check prints a line starting "ok:"; the first failure ends
# the script with status 1, its files kept in <packages dir>/test.
#
# usage: packages_test.sh <packages dir> <armhf toolchain file>
set -euo pipefail

packages=$(realpath "$1")
toolchain=$(realpath "$2")
work=$packages/test
root=$work/root
readonly examples=$root/usr/share/doc/dvrcore-plugin-dev/examples
readonly plugin_dir=usr/lib/dvrcore/plugins

fail() {
  echo "packages_test: $*" >&2
  echo "packages_test: FAILED; files kept in $work" >&2
  exit 1
}
ok() { echo "ok: $*"; }

rm -rf "$work"
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
# What the root holds before: dpkg's records are allowed to change.
listing() { (cd "$root" && find . ! -path './var/lib/dpkg/*' | sort); }
listing >"$work/before.txt"
# The log too stays out of the host's /var/log. The root holds no shell:
# maintainer scripts run with the host's, DPKG_ROOT naming the root.
dpkg_root=(dpkg "--root=$root" "--log=$work/dpkg.log" --force-script-chrootless)

# ---- Install ----
debs=("$packages"/dvrcore_*_amd64.deb "$packages"/dvrcore-tools_*_amd64.deb
      "$packages"/dvrcore-plugin-dev_*_all.deb)
"${dpkg_root[@]}" --force-depends -i "${debs[@]}" >"$work/install.log" 2>&1 ||
  fail "dpkg -i failed (see $work/install.log)"
for folder in plugins protected-plugins lib; do
  [[ -d $root/usr/lib/dvrcore/$folder ]] || fail "no folder $folder beside the core"
done
ok "amd64 packages installed into $root"

# ---- The figures folder, as the tmpfiles entry makes it at boot ----
read -r _ figures_dir figures_mode figures_user figures_group _ < <(
  grep '^d ' "$root/usr/lib/tmpfiles.d/dvrcore.conf") ||
  fail "no folder in $root/usr/lib/tmpfiles.d/dvrcore.conf"
[[ $figures_dir == /run/dvrcore ]] || fail "the tmpfiles entry makes $figures_dir, not /run/dvrcore"
figures_dir=$root$figures_dir
# The postinst made it already, unless the host has no systemd-tmpfiles.
[[ -d $figures_dir ]] ||
  install -d -m "$figures_mode" -o "$figures_user" -g "$figures_group" "$figures_dir"
[[ $(stat -c '%04a %U %G' "$figures_dir") == "$figures_mode $figures_user $figures_group" ]] ||
  fail "$figures_dir is $(stat -c '%04a %U %G' "$figures_dir"), not as the tmpfiles entry says"
ok "tmpfiles entry installed; $figures_dir is $figures_mode $figures_user:$figures_group"

# ---- Manual pages ----
for page in man8/dvrcore.8.gz man1/brevad-standin.1.gz man1/dvrcore-inspect.1.gz \
            man1/dvrcore-top.1.gz man1/dvrcore-plugin-check.1.gz; do
  [[ -f $root/usr/share/man/$page ]] || fail "manual page $page not installed"
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$root/usr/share/man/$page" 2>&1 >/dev/null)
  [[ -z $warnings ]] || fail "man --warnings on $page: $warnings"
done
ok "manual pages installed, no warnings from man --warnings"

# ---- Example plugins built against the installed SDK ----
pc_dir=$root/usr/share/pkgconfig
# PKG_CONFIG_LIBDIR, not PKG_CONFIG_PATH: the root's .pc file and no other.
cflags=$(PKG_CONFIG_LIBDIR=$pc_dir pkg-config --cflags dvrcore-plugin) ||
  fail "pkg-config finds no dvrcore-plugin in $pc_dir"
mkdir "$work/pkg-config"
# shellcheck disable=SC2086  # the flags are words
cc -shared -fPIC -Wall -Wextra -Werror $cflags "$examples/parent_echo.c" \
  -o "$work/pkg-config/parent_echo.so" || fail "building parent_echo.so with pkg-config failed"

# build_examples <build dir> <cmake args...>: configures, builds and checks
# that the SDK came from the root.
build_examples() {
  local dir=$1
  shift
  cmake -S "$examples" -B "$dir" -DCMAKE_PREFIX_PATH="$root/usr" "$@" >"$dir.log" 2>&1 &&
    cmake --build "$dir" -j "$(nproc)" >>"$dir.log" 2>&1 ||
    fail "building the examples in $dir failed (see $dir.log)"
  grep -qx "DvrcorePlugin_DIR:PATH=$root/usr/share/cmake/DvrcorePlugin" "$dir/CMakeCache.txt" ||
    fail "find_package(DvrcorePlugin) in $dir did not take the installed package"
}
build_examples "$work/examples-amd64" -DCMAKE_C_FLAGS=-Werror -DCMAKE_CXX_FLAGS=-Werror
ok "example plugins built against the installed SDK with CMake and pkg-config"

# run_core <name> <command...>: the installed stand-in starts
# the command as the core in a working directory of its own, identifies
# itself, has parent_echo (ID 0x00230000, target 0x023xxxxx) echo a packet
# and stops the core. Checks the exit status, the echo and plugins.xml.
# With mid_run set, the stand-in takes its stop from a FIFO once the command
# in mid_run has run, with the core up and the echo back.
mid_run=
run_core() {
  local name=$1 run=$work/run-$1 status=0
  shift
  mkdir "$run"
  if [[ -z $mid_run ]]; then
    (cd "$run" && "$root/usr/bin/brevad-standin" --ident libbrevad.so 2.4.0 \
       --send 0x02300000 1 hello --wait-packets 1 60 --stop --timeout 120 -- "$@") \
      >"$run/standin.txt" 2>&1 || status=$?
  else
    mkfifo "$run/steps"
    (cd "$run" && exec "$root/usr/bin/brevad-standin" --ident libbrevad.so 2.4.0 \
       --send 0x02300000 1 hello --wait-packets 1 60 --interactive --timeout 120 -- "$@") \
      <"$run/steps" >"$run/standin.txt" 2>&1 &
    local standin=$!
    exec 7>"$run/steps"
    # The echo has come back once the stand-in's log shows it.
    wait_for 60 grep -q 'packet 1 length 21' "$run/standin.txt" ||
      fail "no echo within 60 s (see $run/standin.txt)"
    "$mid_run"
    echo stop >&7
    exec 7>&-
    wait "$standin" || status=$?
  fi
  ((status == 0)) ||
    fail "the $name core or the stand-in failed with status $status (see $run/standin.txt)"
  # Header words 21, 0x02300000, type 0x45, 0, then "hello".
  grep -q 'packet 1 length 21 : 1500000000003002450000000000000068656c6c6f$' "$run/standin.txt" ||
    fail "no echo from parent_echo in $run/standin.txt"
  local plugin
  for plugin in video_source frame_recorder parent_echo query_responder; do
    grep -q "<Plugin ID=\"[0-9]*\" Filename=\"$plugin.so\" Opened=\"1\" .* OpenCode=\"0\" />" \
      "$run/plugins.xml" || fail "$run/plugins.xml does not show $plugin.so opened"
  done
}

# wait_for <seconds> <command...>: until the command succeeds, false when
# it has not within the time.
wait_for() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    ((SECONDS < deadline)) || return 1
    sleep 0.2
  done
}

# ---- node_exporter on the figures folder, as its packaged user ----
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
setpriv --reuid=prometheus --regid=prometheus --init-groups -- \
  /usr/bin/prometheus-node-exporter --collector.disable-defaults --collector.textfile \
  --collector.textfile.directory="$figures_dir" --web.listen-address="127.0.0.1:$port" \
  >"$work/node_exporter.log" 2>&1 &
node_exporter=$!
trap 'kill "$node_exporter" 2>/dev/null; wait "$node_exporter" 2>/dev/null' EXIT
scrape() { curl -sf "http://127.0.0.1:$port/metrics" >"$work/scrape.txt"; }
wait_for 60 scrape || fail "node_exporter does not answer on port $port (see $work/node_exporter.log)"

figures=$figures_dir/dvrcore.prom
# Mid-run: the first write comes one interval after the start.
check_figures() {
  wait_for 60 test -f "$figures" || fail "the core wrote no $figures within 60 s"
  cp "$figures" "$work/figures-mid-run.prom"
  promtool check metrics <"$work/figures-mid-run.prom" >"$work/promtool-metrics.txt" 2>&1 ||
    fail "promtool check metrics refuses the figures file (see $work/promtool-metrics.txt)"
  [[ $(stat -c '%a %U' "$figures") == "644 root" ]] ||
    fail "the figures file is $(stat -c '%a %U' "$figures"), not 644 root"
  scrape || fail "node_exporter does not answer on port $port"
  grep -qF 'dvrcore_plugin_info{id="0x00230000",plugin="parent_echo.so",' "$work/scrape.txt" ||
    fail "node_exporter does not serve the core's series (see $work/scrape.txt)"
  grep -qx 'node_textfile_scrape_error 0' "$work/scrape.txt" ||
    fail "node_exporter could not read the figures (see $work/scrape.txt)"
}

# The examples' own install rule puts them into <prefix>/plugins; the
# pkg-config build of parent_echo replaces the CMake one.
cmake --install "$work/examples-amd64" --prefix "$root/usr/lib/dvrcore" >/dev/null
cp "$work/pkg-config/parent_echo.so" "$root/$plugin_dir/"
mid_run=check_figures
DVRCORE_METRICS_FILE=$figures DVRCORE_METRICS_INTERVAL=1 run_core amd64 "$root/usr/sbin/dvrcore"
mid_run=
ok "installed core ran the examples under the installed stand-in and stopped with status 0"
ok "its figures file passed promtool check metrics; node_exporter as prometheus served it"
grep -qx 'dvrcore_up 0' "$figures" || fail "the figures file after the stop does not say dvrcore_up 0"
ok "after the stop the figures file says dvrcore_up 0"
kill "$node_exporter"
wait "$node_exporter" 2>/dev/null || true
trap - EXIT
pgrep -u prometheus >/dev/null && fail "processes of the user prometheus still run"
rm -rf "$root/run"  # a tmpfs at boot, gone at the next

# ---- The plugin check on the examples, with the installed core ----
# check_examples <name> <examples build> <tool args...>: every example passes
# clean (status 0), with the core, the stand-in, the inspector and the driver
# plugin the tool finds in the installed tree.
check_examples() {
  local name=$1 build=$2 plugin status
  shift 2
  for plugin in video_source frame_recorder parent_echo query_responder; do
    status=0
    "$root/usr/bin/dvrcore-plugin-check" --seconds 2 "$@" "$build/$plugin.so" \
      >"$work/check-$name-$plugin.txt" 2>&1 || status=$?
    ((status == 0)) ||
      fail "dvrcore-plugin-check on the $name $plugin.so: status $status (see $work/check-$name-$plugin.txt)"
  done
}
check_examples amd64 "$work/examples-amd64"
ok "dvrcore-plugin-check passes the examples clean with the installed core"

# ---- The example rules ----
rules=$root/usr/share/doc/dvrcore/examples/dvrcore.rules.yml
[[ -f $rules ]] || { zcat "$rules.gz" >"$work/dvrcore.rules.yml" && rules=$work/dvrcore.rules.yml; } ||
  fail "no example rules installed"
promtool check rules "$rules" >"$work/promtool-rules.txt" 2>&1 ||
  fail "promtool check rules refuses $rules (see $work/promtool-rules.txt)"
ok "the example rules pass promtool check rules"

# ---- armhf: the unpacked core with cross-built examples, under qemu ----
armhf=$work/armhf
dpkg -x "$packages"/dvrcore_*_armhf.deb "$armhf"
build_examples "$work/examples-armhf" -DCMAKE_TOOLCHAIN_FILE="$toolchain"
cmake --install "$work/examples-armhf" --prefix "$armhf/usr/lib/dvrcore" >/dev/null
# The armhf libraries: the sysroot the cross build took them from, if any.
run_core armhf "$(command -v qemu-arm)" -L "${DVRCORE_SYSROOT:-/}" "$armhf/usr/lib/dvrcore/dvrcore"
ok "armhf core from its package ran the cross-built examples under qemu-arm and stopped with status 0"
# The armhf tools beside the armhf core: its driver plugin and inspector.
dpkg -x "$packages"/dvrcore-tools_*_armhf.deb "$armhf"
QEMU_LD_PREFIX=${DVRCORE_SYSROOT:-/} check_examples armhf "$work/examples-armhf" \
  --core "$armhf/usr/lib/dvrcore/dvrcore" --timeout 120
ok "dvrcore-plugin-check passes the cross-built examples clean with the armhf core under qemu-arm"

# ---- Purge ----
# The plugins are the integrator's files, not the package's: take them out
# first, as an integrator would.
rm -f "$root/$plugin_dir"/*.so
"${dpkg_root[@]}" --purge dvrcore dvrcore-tools dvrcore-plugin-dev >"$work/purge.log" 2>&1 ||
  fail "dpkg --purge failed (see $work/purge.log)"
listing >"$work/after.txt"
diff "$work/before.txt" "$work/after.txt" >"$work/left.txt" ||
  fail "purging left files behind: $(grep '^>' "$work/left.txt" | head -5 | tr '\n' ' ')"
ok "purging the packages left no file behind"
