#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the armhf cross build need.
# Safe to run again: it asks apt only for what is missing.
#   scripts/install-deps.sh              native build, sanitizers, fuzzing
#   scripts/install-deps.sh --armhf      also the 32-bit ARM cross toolchain and qemu
#   scripts/install-deps.sh --packaging  also what building and checking the Debian
#                                        packages needs (implies --armhf: they are
#                                        cross-built for armhf too)
#   scripts/install-deps.sh --board      also what the board stage needs (implies
#                                        --armhf): qemu-system-arm and cpio, and the
#                                        guest's own armhf packages (with Python for
#                                        board.sh --run), fetched into
#                                        build/board/debs and never installed here
set -euo pipefail

cd "$(dirname "$0")/.."

native=(
  build-essential cmake pkg-config
  libboost-system-dev libboost-filesystem-dev libboost-thread-dev libboost-chrono-dev
  libboost-date-time-dev libboost-regex-dev libboost-random-dev libboost-atomic-dev
  libtinyxml-dev libwxgtk3.2-dev zlib1g-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev libxml2-utils passwd valgrind python3-prometheus-client
)
# The target's libraries are no packages of this machine: scripts/armhf-sysroot.sh
# unpacks them into a sysroot. Only the armhf package lists are needed here.
armhf=(g++-arm-linux-gnueabihf qemu-user)

# dpkg-buildpackage with the cmake build system of debhelper, lintian, and
# man for checking the manual pages; the armhf cross build of the packages
# wants crossbuild-essential-armhf (the cross compilers and dpkg-cross).
packaging=(
  dpkg-dev debhelper lintian man-db groff-base crossbuild-essential-armhf
)
# The packages test checks the figures file and the example rules with the
# monitoring programs an operator runs: promtool (in prometheus) and
# node_exporter's textfile collector. Installed as programs only: their
# services are neither started nor left enabled (see quiet_services).
monitoring=(prometheus prometheus-node-exporter)

# The board stage boots an ARM kernel in full-system emulation with an
# initramfs packed by cpio.
board=(qemu-system-arm cpio)
# What the guest runs that is no library of the cross build, fetched with
# apt-get download and unpacked by the stage, never installed here: the
# armhf ones would replace this machine's own programs (busybox-static and
# libxml2-utils are Multi-Arch: foreign), and a kernel is not for this
# machine at all. The kernel is the one Debian's meta-package names.
board_debs=(linux-image-armmp:armhf busybox-static:armhf libxml2-utils:armhf)
# The Python of a guest booted with scripts/board.sh --run or --shell: the
# interpreter and its standard library, and the libraries of its modules
# that the armhf sysroot does not already hold.
board_debs+=(python3.11-minimal:armhf libpython3.11-minimal:armhf libpython3.11-stdlib:armhf
             libbz2-1.0:armhf libdb5.3:armhf libffi8:armhf libncursesw6:armhf libreadline8:armhf
             libsqlite3-0:armhf libtinfo6:armhf libuuid1:armhf)
board_debs_dir=$(realpath -m "${DVRCORE_BUILD_DIR:-build}")/board/debs

want=("${native[@]}")
with_armhf=0
with_board=0
for arg in "$@"; do
  case "$arg" in
    --armhf) with_armhf=1 ;;
    --packaging) with_armhf=1; want+=("${packaging[@]}" "${monitoring[@]}") ;;
    --board) with_armhf=1; with_board=1; want+=("${board[@]}") ;;
    *) echo "usage: $0 [--armhf] [--packaging] [--board]" >&2; exit 2 ;;
  esac
done
armhf_added=0
if ((with_armhf)); then
  if ! dpkg --print-foreign-architectures | grep -qx armhf; then
    dpkg --add-architecture armhf
    armhf_added=1
  fi
  want+=("${armhf[@]}")
fi

installed() {
  # dpkg-query knows "name:arch"; a bare name means the native architecture.
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

missing=()
for p in "${want[@]}"; do
  installed "$p" || missing+=("$p")
done

export DEBIAN_FRONTEND=noninteractive
# Several apt runs on one machine (other checkouts installing at the same
# time) wait for each other instead of failing at once on the lock.
apt_get=(apt-get -o DPkg::Lock::Timeout=600)

# A mirror being updated serves an index that does not match its Release file
# for a while ("File has unexpected size ... Mirror sync in progress?"). Retry
# with a pause; if an index still fails, go on with the lists apt has: the
# packages may well be reachable through them. Only a package that cannot be
# installed fails the script.
lists_updated=0
update_lists() {
  ((lists_updated)) && return 0
  lists_updated=1
  local attempt log
  log=$(mktemp)
  for attempt in 1 2 3 4; do
    if "${apt_get[@]}" update -qq >"$log" 2>&1 && ! grep -q '^E:' "$log"; then
      rm -f "$log"
      return 0
    fi
    ((attempt < 4)) && sleep $((attempt * 15))
  done
  echo "apt-get update still fails after 4 attempts; going on with the package lists there are:"
  grep -E '^(E|W):' "$log" | head -n 5
  rm -f "$log"
}

candidate() {
  apt-cache policy "$1" 2>/dev/null | awk '/Candidate:/ {print $2; exit}'
}

# explain_failure <name> <apt's output>: why the package cannot be
# installed, in one line.
explain_failure() {
  local name=$1 output=$2 version error
  version=$(candidate "$name")
  error=$(grep -E '^E:' <<<"$output" | head -n 1)
  if [[ -z $version || $version == "(none)" ]]; then
    echo "cannot install $name: no package list offers it (its index could not be downloaded?)"
  elif grep -q 'Could not get lock' <<<"$output"; then
    echo "cannot install $name $version: another apt or dpkg holds the lock (${error#E: })"
  elif grep -qE 'Failed to fetch|404 +Not Found|Hash Sum mismatch' <<<"$output"; then
    echo "cannot install $name $version: the mirror does not serve the file the lists name (lists older than the mirror? run again later): ${error#E: }"
  else
    echo "cannot install $name $version: ${error#E: }"
    grep -E "^ +${name%%:*}(:[a-z0-9]+)? :|^ +Depends:" <<<"$output" | head -n 3
  fi
}

install_missing() {
  local log status=0 p output
  echo "installing: ${missing[*]}"
  update_lists
  log=$(mktemp)
  if "${apt_get[@]}" install -y -qq --no-install-recommends "${missing[@]}" >"$log" 2>&1; then
    rm -f "$log"
    return 0
  fi
  rm -f "$log"
  # One by one, so that whatever can be installed is, and each failure is
  # named with its own cause.
  for p in "${missing[@]}"; do
    installed "$p" && continue
    if ! output=$("${apt_get[@]}" install -y -qq --no-install-recommends "$p" 2>&1); then
      status=1
      explain_failure "$p" "$output" >&2
    fi
  done
  return "$status"
}

# fetch_board_debs: the newest candidate of each guest package as a .deb in
# board_debs_dir, downloaded only when that version is not there yet.
fetch_board_debs() {
  local p name version file status=0
  mkdir -p "$board_debs_dir"
  for p in "${board_debs[@]}"; do
    if [[ $p == linux-image-armmp:armhf ]]; then
      p=$(apt-cache depends "$p" 2>/dev/null | awk '$1 == "Depends:" {print $2; exit}')
      if [[ -z $p ]]; then
        echo "cannot fetch the guest's kernel: no package list offers linux-image-armmp:armhf" >&2
        status=1
        continue
      fi
    fi
    name=${p%:armhf}
    version=$(candidate "$p")
    if [[ -z $version || $version == "(none)" ]]; then
      echo "cannot fetch $p for the guest: no package list offers it" >&2
      status=1
      continue
    fi
    # apt-get download spells the epoch's colon as %3a.
    file=${name}_${version/:/%3a}_armhf.deb
    [[ -f $board_debs_dir/$file ]] && continue
    update_lists
    rm -f "$board_debs_dir/${name}"_*.deb
    if ! (cd "$board_debs_dir" &&
          "${apt_get[@]}" download -qq -o APT::Sandbox::User=root "$p" >/dev/null 2>&1); then
      echo "cannot fetch $p $version for the guest: apt-get download failed (the mirror no longer has that version? run again later)" >&2
      status=1
    fi
  done
  return "$status"
}

# quiet_services: the monitoring packages bring daemons that this machine
# must not run. While apt installs them a policy-rc.d (unless the machine has
# one) refuses every start; afterwards each unit they enabled is disabled
# again, and any of their processes still running is named as a failure.
policy_made=0
quiet_services_before() {
  [[ -e /usr/sbin/policy-rc.d ]] && return 0
  printf '#!/bin/sh\n# scripts/install-deps.sh: no service starts while it installs\nexit 101\n' \
    >/usr/sbin/policy-rc.d
  chmod 0755 /usr/sbin/policy-rc.d
  policy_made=1
}
quiet_services_after() {
  local p unit status=0
  ((policy_made)) && rm -f /usr/sbin/policy-rc.d
  for p in "${monitoring[@]}"; do
    installed "$p" || continue
    while read -r unit; do
      # The helper acts only for the package whose maintainer script runs it.
      if DPKG_MAINTSCRIPT_PACKAGE=$p deb-systemd-helper --quiet was-enabled "$unit"; then
        DPKG_MAINTSCRIPT_PACKAGE=$p deb-systemd-helper disable "$unit" >/dev/null 2>&1 || status=1
      fi
    done < <(dpkg -L "$p" | sed -n 's|^/lib/systemd/system/\([^/]*\.\(service\|timer\)\)$|\1|p')
    # And for an init without systemd, the start links turned into stop links.
    if [[ -x /etc/init.d/$p ]]; then update-rc.d "$p" disable >/dev/null 2>&1 || status=1; fi
  done
  if pgrep -u prometheus >/dev/null 2>&1; then
    echo "processes of the user prometheus run after installing ${monitoring[*]}:" >&2
    pgrep -a -u prometheus >&2
    status=1
  fi
  return "$status"
}

status=0
# The armhf lists are what scripts/armhf-sysroot.sh downloads from, even when
# no package of this machine is missing.
((armhf_added)) && update_lists
if ((${#missing[@]})); then
  quiet_services_before
  install_missing || status=1
  quiet_services_after || status=1
fi
if ((with_board)); then
  fetch_board_debs || status=1
fi
exit "$status"
