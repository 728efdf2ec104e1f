#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the armhf cross build need.
# Safe to run again: it asks apt only for what is missing.
#   scripts/install-deps.sh              native build, sanitizers, fuzzing
#   scripts/install-deps.sh --armhf      also the 32-bit ARM cross toolchain and qemu
#   scripts/install-deps.sh --packaging  also what building and checking the Debian
#                                        packages needs (implies --armhf: they are
#                                        cross-built for armhf too)
set -euo pipefail

native=(
  build-essential cmake pkg-config
  libboost-system-dev libboost-filesystem-dev libboost-thread-dev libboost-chrono-dev
  libboost-date-time-dev libboost-regex-dev libboost-random-dev libboost-atomic-dev
  libtinyxml-dev libwxgtk3.2-dev zlib1g-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev libxml2-utils passwd valgrind
)
armhf=(
  g++-arm-linux-gnueabihf qemu-user
  libboost-system-dev:armhf libboost-filesystem-dev:armhf libboost-thread-dev:armhf
  libboost-chrono-dev:armhf libboost-date-time-dev:armhf libboost-regex-dev:armhf
  libboost-random-dev:armhf libboost-atomic-dev:armhf
  libtinyxml-dev:armhf libwxgtk3.2-dev:armhf zlib1g-dev:armhf libgtest-dev:armhf
)

# dpkg-buildpackage with the cmake build system of debhelper, lintian, and
# man for checking the manual pages; the armhf cross build of the packages
# wants crossbuild-essential-armhf (the cross compilers and the armhf C
# library) and the armhf libraries above.
packaging=(
  dpkg-dev debhelper lintian man-db groff-base crossbuild-essential-armhf
)

want=("${native[@]}")
with_armhf=0
for arg in "$@"; do
  case "$arg" in
    --armhf) with_armhf=1 ;;
    --packaging) with_armhf=1; want+=("${packaging[@]}") ;;
    *) echo "usage: $0 [--armhf] [--packaging]" >&2; exit 2 ;;
  esac
done
if ((with_armhf)); then
  if ! dpkg --print-foreign-architectures | grep -qx armhf; then
    dpkg --add-architecture armhf
  fi
  want+=("${armhf[@]}")
fi

missing=()
for p in "${want[@]}"; do
  # dpkg-query knows "name:arch"; a bare name means the native architecture.
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

# A mirror being updated serves an index that does not match its Release file
# for a while ("File has unexpected size ... Mirror sync in progress?"). Retry
# with a pause; if an index still fails, go on with the lists apt has: the
# packages may well be reachable through them. Only a package that cannot be
# installed fails the script.
update_lists() {
  local attempt log
  log=$(mktemp)
  for attempt in 1 2 3 4; do
    if apt-get update -qq >"$log" 2>&1 && ! grep -q '^E:' "$log"; then
      rm -f "$log"
      return 0
    fi
    ((attempt < 4)) && sleep $((attempt * 15))
  done
  echo "apt-get update still fails after 4 attempts; going on with the package lists there are:"
  grep -E '^(E|W):' "$log" | head -n 5
  rm -f "$log"
}

# Why `name` cannot be installed, in one line.
explain_failure() {
  local name=$1 candidate
  candidate=$(apt-cache policy "$name" 2>/dev/null | awk '/Candidate:/ {print $2}')
  if [[ -z $candidate || $candidate == "(none)" ]]; then
    echo "cannot install $name: no package lists offer it (the package index could not be downloaded?)"
  elif [[ $name == *:armhf ]]; then
    echo "cannot install $name $candidate: its armhf version does not match the build machine's packages (version skew between the amd64 and armhf lists; a mirror being updated?)"
  else
    echo "cannot install $name $candidate: see apt's message above"
  fi
}

if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  update_lists
  if ! apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null; then
    status=0
    for p in "${missing[@]}"; do
      if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' &&
         ! apt-get install -y -qq --no-install-recommends "$p" >/dev/null 2>&1; then
        explain_failure "$p" >&2
        status=1
      fi
    done
    exit "$status"
  fi
fi
