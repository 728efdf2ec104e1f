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

if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
