#!/usr/bin/env bash
# The armhf build on a real 32-bit ARM kernel. Boots Debian's armmp kernel
# in qemu-system-arm (the "virt" board: two Cortex-A15 CPUs, 512 MiB) with an
# initramfs that holds busybox, the cross-built test programs at the paths
# they were built at (the programs name each other by those paths), the
# armhf libraries they load, the dvrcore and dvrcore-tools packages unpacked
# as on a device with the example plugins, and scripts/board/init as /init.
# The guest checks the packaged core, runs the suite as root and reports on
# its serial console, which comes back here.
#
#   scripts/board.sh [--shell] [<armhf build dir> [<armhf packages dir>]]
#   scripts/board.sh --run DIR [--timeout SECONDS] [<armhf build dir> [<armhf packages dir>]] \
#                    -- COMMAND [ARG...]
#
# The defaults are build/armhf (a build with cmake/armhf-toolchain.cmake)
# and build/board/packages (scripts/build-packages.sh armhf with
# DVRCORE_BUILD_DIR=build/board); DVRCORE_BUILD_DIR moves build/. The work
# goes to build/board: root/ (the guest's files), initrd.cpio, console.log.
#
# It prints the "dvrboard:" lines of the console, the output of every test
# that failed or skipped, the boot, suite and start-up figures, and last
#   board: P passed, F failed, R test cases ran, S skipped
# where a test program passes when it exits with 0 and skips nothing, and
# the packaged core's run counts as one more, and dvrcore-plugin-check on
# each installed example one more each; it exits non-zero when anything
# failed. --shell boots the same guest to a shell on this terminal instead
# (QEMU ends with Ctrl-A x, or "poweroff -f" in the guest).
#
# --run boots the same guest, with Python 3 (Debian's armhf interpreter and
# standard library) and a copy of DIR as /board/run, and runs COMMAND there
# as root, as a program with its arguments each passed as they are (give
# "sh -c '...'" for the shell's syntax). When it has ended, its standard
# output comes out on the standard output and then its standard error on
# the standard error, byte for byte, and its exit status is the script's.
# COMMAND gets SECONDS (default 600) and is then killed with its children:
# status 124. Status 125 when no status came back: the guest could not be
# staged, or did not come back within SECONDS and 300 more for its boot
# (the reason on the standard error). The staging's messages go to
# build/board/run.log, the console to console.log.
set -euo pipefail

cd "$(dirname "$0")/.."
usage="usage: $0 [--shell] [<armhf build dir> [<armhf packages dir>]]
       $0 --run DIR [--timeout SECONDS] [<armhf build dir> [<armhf packages dir>]] -- COMMAND [ARG...]"
mode=test
run_dir=""
run_timeout=600
run_command=()
case ${1:-} in
  --shell)
    mode=shell
    shift
    ;;
  --run)
    mode=run
    [[ -d ${2:-} ]] || { echo "board: --run needs a folder, not '${2:-}'" >&2; echo "$usage" >&2; exit 125; }
    run_dir=$(realpath "$2")
    shift 2
    if [[ ${1:-} == --timeout ]]; then
      [[ ${2:-} =~ ^[1-9][0-9]*$ ]] || { echo "$usage" >&2; exit 125; }
      run_timeout=$2
      shift 2
    fi
    folders=()
    while (($#)) && [[ $1 != -- ]]; do
      folders+=("$1")
      shift
    done
    (($# > 1 && ${#folders[@]} <= 2)) || { echo "$usage" >&2; exit 125; }
    shift
    run_command=("$@")
    set -- "${folders[@]}"
    ;;
esac
build_root=$(realpath -m "${DVRCORE_BUILD_DIR:-build}")
build=$(realpath "${1:-$build_root/armhf}")
packages=$(realpath "${2:-$build_root/board/packages}")
work=$build_root/board
if [[ $mode == run ]]; then
  # The script's own standard output is COMMAND's: the staging's messages
  # go to a log, shown when the guest cannot be made.
  mkdir -p "$work"
  exec 3>&1 1>"$work/run.log"
fi
debs=$work/debs  # where install-deps.sh --board puts the guest's packages
root=$work/root
console=$work/console.log
readonly triplet=arm-linux-gnueabihf
readonly readelf=$triplet-readelf
# Longest the guest may run; every test has its own, shorter timeout. A
# command of --run has its own limit in the guest, and the boot its margin.
if [[ $mode == run ]]; then
  guest_timeout=$((run_timeout + 300))
else
  guest_timeout=900
fi
readonly guest_timeout

fail() {
  echo "board: $*" >&2
  if [[ $mode == run ]]; then
    echo "board: the staging's messages: $work/run.log" >&2
    exit 125
  fi
  exit 1
}

if [[ $mode == run ]]; then
  set -E
  trap 'echo "board: staging the guest failed; its messages: $work/run.log" >&2; exit 125' ERR
fi

bash scripts/install-deps.sh --board || fail "the guest's packages cannot all be had"
[[ -f $build/CMakeCache.txt ]] || fail "$build is no CMake build"
emulator=$(sed -n 's/^CMAKE_CROSSCOMPILING_EMULATOR:[A-Z]*=//p' "$build/CMakeCache.txt")
[[ -n $emulator ]] || fail "$build is no build with cmake/armhf-toolchain.cmake"
# The folder the build took the target's libraries from: qemu's prefix (a
# sysroot of unpacked armhf packages, or / with multiarch ones).
target_root=$(sed -n 's/.*;-L;\([^;]*\).*/\1/p' <<<"$emulator")
target_root=${target_root%/}
# The newest of each, should a change of version have left an older one.
newest() {
  local files=("$@")
  ((${#files[@]})) && [[ -f ${files[0]} ]] || return 1
  printf '%s\n' "${files[@]}" | sort -V | tail -n 1
}
shopt -s nullglob
kernel_deb=$(newest "$debs"/linux-image-*-armmp_*_armhf.deb) || fail "no kernel in $debs"
busybox_deb=$(newest "$debs"/busybox-static_*_armhf.deb) || fail "no busybox-static in $debs"
xmllint_deb=$(newest "$debs"/libxml2-utils_*_armhf.deb) || fail "no libxml2-utils in $debs"
core_deb=$(newest "$packages"/dvrcore_*_armhf.deb) || fail "no dvrcore armhf package in $packages"
tools_deb=$(newest "$packages"/dvrcore-tools_*_armhf.deb) || fail "no dvrcore-tools armhf package in $packages"
# Python, for --run and --shell: the interpreter and its standard library
# at their places, and the libraries its modules load that the target root
# lacks (see install-deps.sh), to be found there as a last resort.
python_debs=()
python_lib_debs=()
if [[ $mode != test ]]; then
  for p in python3.11-minimal libpython3.11-minimal libpython3.11-stdlib; do
    python_debs+=("$(newest "$debs/${p}"_*_armhf.deb)") || fail "no $p in $debs"
  done
  for p in libbz2-1.0 libdb5.3 libffi8 libncursesw6 libreadline8 libsqlite3-0 libtinfo6 libuuid1; do
    python_lib_debs+=("$(newest "$debs/${p}"_*_armhf.deb)") || fail "no $p in $debs"
  done
fi
shopt -u nullglob

# ---- The kernel -----------------------------------------------------------
# Only its image is needed (everything the guest uses is built in), so only
# that comes out of the package, once per package version.
kernel_dir=$work/kernel/$(basename "$kernel_deb" .deb)
if [[ ! -d $kernel_dir ]]; then
  rm -rf "$work/kernel"
  mkdir -p "$kernel_dir.new"
  dpkg-deb --fsys-tarfile "$kernel_deb" | tar -x -C "$kernel_dir.new" --wildcards './boot/vmlinuz-*'
  mv "$kernel_dir.new" "$kernel_dir"
fi
vmlinuz=$(echo "$kernel_dir"/boot/vmlinuz-*)

# ---- The guest's files ----------------------------------------------------
staging_started=$SECONDS
rm -rf "$root" "$work/unpacked"
mkdir -p "$root"/{bin,etc,board,usr/bin,usr/sbin,usr/lib/$triplet} "$work/unpacked"
# Merged /usr, as on Debian: the loader is /lib/ld-linux-armhf.so.3.
ln -s usr/lib "$root/lib"

# The packages as a device gets them, as the packages stage unpacks them.
dpkg -x "$core_deb" "$root"
dpkg -x "$tools_deb" "$root"
# Programs of the guest's own.
dpkg -x "$busybox_deb" "$work/unpacked/busybox"
cp "$work/unpacked/busybox/bin/busybox" "$root/bin/busybox"
ln -s busybox "$root/bin/sh"  # for /init; it links the other commands itself
dpkg -x "$xmllint_deb" "$work/unpacked/xmllint"
cp "$work/unpacked/xmllint/usr/bin/xmllint" "$root/usr/bin/xmllint"
for deb in "${python_debs[@]}"; do dpkg -x "$deb" "$root"; done
if ((${#python_debs[@]})); then
  ln -s "$(basename "$(echo "$root"/usr/bin/python3.*[0-9])")" "$root/usr/bin/python3"
  for deb in "${python_lib_debs[@]}"; do dpkg -x "$deb" "$work/unpacked/python-libs"; done
fi
install -m 755 scripts/board/init "$root/init"
install -m 755 scripts/board/useradd "$root/usr/sbin/useradd"
for tool in groupadd userdel groupdel; do ln -s useradd "$root/usr/sbin/$tool"; done

# The example plugins, cross-built against the plugin SDK of the armhf build
# (the same headers the SDK package holds), into the packaged core's folder.
rm -rf "$work/sdk" "$work/examples"
cmake --install "$build" --prefix "$work/sdk" >"$work/examples.log"
cmake -S examples -B "$work/examples" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/armhf-toolchain.cmake" \
  -DCMAKE_PREFIX_PATH="$work/sdk" >>"$work/examples.log" 2>&1 &&
  cmake --build "$work/examples" -j "$(nproc)" >>"$work/examples.log" 2>&1 ||
  fail "building the example plugins failed (see $work/examples.log)"
cmake --install "$work/examples" --prefix "$root/usr/lib/dvrcore" >>"$work/examples.log"

# The tests, as CTest would run them: those labelled slow first, then the
# longest timeout first, so that the guest's two workers end close together.
ctest --test-dir "$build" --show-only=json-v1 >"$work/tests.json"
cmake -DJSON="$work/tests.json" -DEMULATOR="$emulator" -DOUT="$work/tests.txt" \
  -P scripts/board/tests.cmake
sort -s -k1,1nr -k3,3nr "$work/tests.txt" | cut -d ' ' -f 2- >"$root/board/tests.txt"
while read -r _ _ dir _; do mkdir -p "$root$dir"; done <"$root/board/tests.txt"

is_elf() { [[ $(head -c 4 "$1" | od -An -tx1 | tr -d ' \n') == 7f454c46 ]]; }

# Every program and shared object of the build, at its own path and without
# its debugging information (the board's memory holds the whole initramfs).
while IFS= read -r -d '' file; do
  if is_elf "$file"; then
    mkdir -p "$root$(dirname "$file")"
    "$triplet-strip" --strip-debug -o "$root$file" "$file"
  fi
done < <(find "$build" -name CMakeFiles -prune -o -type f \( -perm -u+x -o -name '*.so*' \) -print0)

# The libraries, found as the loader finds them: each DT_NEEDED name in the
# object's own run-time search path ($ORIGIN being its folder in the guest),
# then in the armhf multiarch folders of the build's target root. Plugins that the core opens with
# dlopen are objects of the guest like any other, so their libraries come
# too. Names found nowhere are listed: some are meant to be missing (a
# plugin whose library only the core's search path finds).
declare -A resolved=()
unresolved=()
search_dirs=("$target_root/lib/$triplet" "$target_root/usr/lib/$triplet")
if ((${#python_lib_debs[@]})); then
  search_dirs+=("$work/unpacked/python-libs/lib/$triplet" "$work/unpacked/python-libs/usr/lib/$triplet")
fi
# stage_library <host path> <name>: copies it into the guest's multiarch
# folder (symbolic links followed) and returns the guest path.
stage_library() {
  local target=/usr/lib/$triplet/$2
  cp -L "$1" "$root$target"
  echo "$target"
}
queue=()
while IFS= read -r -d '' file; do
  is_elf "$root$file" && queue+=("$file")
done < <(cd "$root" && find . -type f -print0 | sed -z 's/^\.//')
for ((i = 0; i < ${#queue[@]}; i++)); do
  object=${queue[i]}
  dynamic=$("$readelf" -dl "$root$object" 2>/dev/null || true)
  interpreter=$(sed -n 's/.*Requesting program interpreter: \(.*\)\]$/\1/p' <<<"$dynamic")
  if [[ -n $interpreter && ! -e $root$interpreter ]]; then
    mkdir -p "$root$(dirname "$interpreter")"
    cp -L "$target_root$interpreter" "$root$interpreter"
  fi
  paths=$(sed -n 's/.*(R\(UN\)\{0,1\}PATH).*\[\(.*\)\]$/\2/p' <<<"$dynamic" | tr ':' '\n')
  paths=${paths//\$ORIGIN/$(dirname "$object")}
  while read -r name; do
    [[ -n $name && -z ${resolved[$name]:-} ]] || continue
    found=""
    for dir in $paths; do
      if [[ -e $root$dir/$name ]]; then found=$dir/$name; break; fi
    done
    if [[ -z $found ]]; then
      for dir in "${search_dirs[@]}"; do
        if [[ -e $dir/$name ]]; then found=$(stage_library "$dir/$name" "$name"); break; fi
      done
      [[ -n $found ]] && queue+=("$found")
    fi
    if [[ -n $found ]]; then resolved[$name]=$found; else unresolved+=("$name (of $object)"); fi
  done < <(sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p' <<<"$dynamic")
done
if ((${#unresolved[@]})); then
  echo "board: libraries the loader will not find by themselves: ${unresolved[*]}"
fi

# --run: the folder, and the command for the guest's shell to read back
# word for word (each in single quotes, a quote in a word as '\'').
if [[ $mode == run ]]; then
  mkdir -p "$root/board/run"
  cp -a "$run_dir/." "$root/board/run/"
  {
    echo "limit=$run_timeout"
    printf 'set --'
    for word in "${run_command[@]}"; do
      printf " '%s'" "${word//\'/\'\\\'\'}"
    done
    echo
  } >"$root/board/command"
fi

(cd "$root" && find . | LC_ALL=C sort | cpio -o -H newc -R 0:0 --quiet) >"$work/initrd.cpio"
echo "board: guest of $(($(stat -c %s "$work/initrd.cpio") / 1048576)) MiB" \
  "($(find "$root" -type f | wc -l) files, ${#resolved[@]} libraries) staged in $((SECONDS - staging_started)) s"

# ---- The board ------------------------------------------------------------
# Without -net none QEMU looks for a network boot ROM that is not installed.
qemu=(qemu-system-arm -M virt,highmem=off -cpu cortex-a15 -smp 2 -m 512
      -nographic -no-reboot -net none -kernel "$vmlinuz" -initrd "$work/initrd.cpio"
      -append "console=ttyAMA0 rdinit=/init quiet loglevel=3 panic=-1 dvrboard=$mode")
if [[ $mode == shell ]]; then
  exec "${qemu[@]}"
fi

# ---- A command of --run ---------------------------------------------------
# Its output comes back on the console's "dvrboard: stdout" and "dvrboard:
# stderr" lines, base64-encoded; every other line stays in console.log.
if [[ $mode == run ]]; then
  trap - ERR
  : >"$console"
  : >"$work/run-stdout.b64"
  : >"$work/run-stderr.b64"
  status=""
  timed_out=0
  qemu_status=""
  while IFS= read -r line; do
    line=${line%$'\r'}
    printf '%s\n' "$line" >>"$console"
    case $line in
      "dvrboard: stdout "*) printf '%s\n' "${line#dvrboard: stdout }" >>"$work/run-stdout.b64" ;;
      "dvrboard: stderr "*) printf '%s\n' "${line#dvrboard: stderr }" >>"$work/run-stderr.b64" ;;
      "dvrboard: run timed out "*) timed_out=1 ;;
      "dvrboard: run status "*) status=${line#dvrboard: run status } ;;
      "board: QEMU ended with status "*) qemu_status=${line#board: QEMU ended with status } ;;
    esac
  done < <(timeout --kill-after=10 "$guest_timeout" "${qemu[@]}" </dev/null 2>&1 || echo "board: QEMU ended with status $?")
  if [[ ! $status =~ ^[0-9]+$ ]]; then
    if [[ $qemu_status == 124 || $qemu_status == 137 ]]; then
      echo "board: the guest did not come back within $guest_timeout s; QEMU was stopped (its console: $console)" >&2
    else
      echo "board: the guest ended without the command's status${qemu_status:+ (QEMU ended with status $qemu_status)}; its console: $console" >&2
    fi
    exit 125
  fi
  base64 -d "$work/run-stdout.b64" >&3 || echo "board: the command's standard output came back damaged (see $console)" >&2
  base64 -d "$work/run-stderr.b64" >&2 || echo "board: the command's standard error came back damaged (see $console)" >&2
  if ((timed_out)); then
    echo "board: the command did not end within $run_timeout s and was killed (status $status)" >&2
    exit 124
  fi
  exit "$status"
fi

# The console goes to console.log whole; here only the guest's report lines
# and the output of failed tests, with the time each arrived.
launched=$EPOCHREALTIME
boot_seconds=""
in_log=0
: >"$console"
while IFS= read -r line; do
  line=${line%$'\r'}
  printf '%s\n' "$line" >>"$console"
  case $line in
    "dvrboard: booted"*)
      boot_seconds=$(awk -v a="$launched" -v b="$EPOCHREALTIME" 'BEGIN {printf "%.1f", b - a}')
      echo "$line; ${boot_seconds} s from the start of QEMU" ;;
    "dvrboard: begin log "*) in_log=1; echo "$line" ;;
    "dvrboard: end log "*) in_log=0; echo "$line" ;;
    "dvrboard: "*) echo "$line" ;;
    *) ((in_log)) && echo "$line" ;;
  esac
done < <(timeout --kill-after=10 "$guest_timeout" "${qemu[@]}" </dev/null 2>&1 || echo "board: QEMU ended with status $?")

# ---- Results --------------------------------------------------------------
passed=0
failed=0
ran=0
skipped=0
while read -r name _; do
  result=$(grep -m 1 "^dvrboard: test $name status " "$console" || true)
  if [[ -z $result ]]; then
    echo "board: FAILED $name: no result (the guest stopped before it ended; see $console)"
    failed=$((failed + 1))
    continue
  fi
  read -r _ _ _ _ status _ cases _ skips _ _ <<<"$result"
  ran=$((ran + cases))
  skipped=$((skipped + skips))
  if [[ $status == 0 && $skips == 0 ]]; then
    passed=$((passed + 1))
  else
    echo "board: FAILED $name: exit status $status, $skips skipped"
    failed=$((failed + 1))
  fi
done <"$root/board/tests.txt"
if grep -q '^dvrboard: package ok$' "$console"; then
  passed=$((passed + 1))
else
  echo "board: FAILED the packaged core's run with the examples"
  failed=$((failed + 1))
fi
# dvrcore-plugin-check on each plugin installed in the guest: one test each.
for plugin in "$root"/usr/lib/dvrcore/plugins/*.so; do
  name=$(basename "$plugin" .so)
  result=$(grep -m 1 "^dvrboard: plugin check $name status " "$console" || true)
  if [[ $result == "dvrboard: plugin check $name status 0" ]]; then
    passed=$((passed + 1))
  else
    echo "board: FAILED dvrcore-plugin-check on $name.so: ${result:-no result (the guest stopped before it ended; see $console)}"
    failed=$((failed + 1))
  fi
done
suite=$(sed -n 's/^dvrboard: suite done in \(.*\) s$/\1/p' "$console")
core=$(sed -n 's/^dvrboard: core start \(.*\) s, idle resident \(.*\)$/\1 s, idle resident size \2/p' "$console")
echo "board: boot ${boot_seconds:-?} s, suite ${suite:-?} s, packaged core's start ${core:-?} (with the four example plugins)"
echo "board: $passed passed, $failed failed, $ran test cases ran, $skipped skipped"
((failed == 0))
