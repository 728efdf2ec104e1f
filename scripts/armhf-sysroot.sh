#!/usr/bin/env bash
# Makes the armhf sysroot: the target's libraries and headers that the cross
# build links and its tests load, as Debian's own armhf packages unpacked into
# one folder (dpkg -x), never installed on this machine.
#
#   scripts/armhf-sysroot.sh       prints the sysroot's path on its last line
#
# Why not Debian's multiarch packages (name:armhf installed beside the host's
# own)? A library built for both architectures must have the same version in
# both, so the armhf development packages install only while this machine's
# libraries and the armhf package lists are in step. They often are not: a
# machine updated from the security archive, or a mirror whose armhf index is
# being rewritten, leaves a dozen libraries a version apart, and apt then
# refuses every armhf package that needs one of them. A sysroot depends on
# nothing installed here, so the armhf build works whatever state the host's
# packages are in.
#
# The packages are downloaded into <sysroot>.debs and unpacked again only when
# the set of files changes. Also written: <sysroot>/shlibs, the shlibs lines
# of every unpacked package, which the Debian package build uses to name the
# packages the armhf binaries depend on (debian/shlibs.local).
# DVRCORE_BUILD_DIR moves build/ elsewhere.
set -euo pipefail

cd "$(dirname "$0")/.."
root=$(realpath -m "${DVRCORE_BUILD_DIR:-build}")/armhf-sysroot
debs=$root.debs

# What the build links, with everything these depend on. The C and C++
# runtime are here too: the tests run with the sysroot as qemu's prefix, so
# the loader, libc and libstdc++ must match the libraries beside them.
wanted=(
  libboost-system-dev libboost-filesystem-dev libboost-thread-dev libboost-chrono-dev
  libboost-date-time-dev libboost-regex-dev libboost-random-dev libboost-atomic-dev
  libtinyxml-dev zlib1g-dev libgtest-dev libwxbase3.2-1 libc6 libstdc++6
  libxml2  # for xmllint, which the tests run on the board
)
# wx's development package only for its wx-config and setup.h, and its
# headers: its other dependencies are the GUI libraries, which the core never
# loads.
alone=(libwxgtk3.2-dev:armhf wx3.2-headers)
# The compiler's own development files (C library, C++ library, kernel
# headers) come from the cross toolchain; the armhf ones would be mixed into
# its link by absolute paths in their linker scripts.
toolchain=(libc6-dev libstdc++-12-dev libgcc-12-dev linux-libc-dev libcrypt-dev libnsl-dev
           libtirpc-dev libc-dev-bin)

fail() {
  echo "armhf sysroot: $*" >&2
  exit 1
}

# The closure: armhf packages, and the architecture-independent ones (headers)
# that apt names without an architecture. Native packages that satisfy a
# dependency (tools that are Multi-Arch: foreign) are no part of a sysroot.
mapfile -t closure < <(apt-cache depends --recurse --no-recommends --no-suggests \
    --no-conflicts --no-breaks --no-replaces --no-enhances "${wanted[@]/%/:armhf}" 2>/dev/null |
  grep -E '^[a-z0-9][^ <]*$' | sort -u)
((${#closure[@]})) || fail "no package list offers ${wanted[0]}:armhf (is armhf added with dpkg --add-architecture, and were the lists updated?)"
packages=("${alone[@]}")
for p in "${closure[@]}"; do
  if [[ " ${toolchain[*]} " == *" ${p%:armhf} "* ]]; then
    continue
  elif [[ $p == *:armhf ]]; then
    packages+=("$p")
  elif apt-cache show --no-all-versions "$p" 2>/dev/null | grep -qx 'Architecture: all'; then
    packages+=("$p")
  fi
done

# The file names and addresses apt would download; only the missing ones are
# fetched.
mkdir -p "$debs"
uris=$(apt-get download --print-uris -o APT::Sandbox::User=root "${packages[@]}" 2>&1) ||
  fail "apt cannot name the files of the armhf packages: $(grep -E '^E:' <<<"$uris" | head -n 1)"
mapfile -t files < <(awk '{print $2}' <<<"$uris" | sort)
((${#files[@]} == ${#packages[@]})) || fail "apt named ${#files[@]} files for ${#packages[@]} packages"
missing=()
for i in "${!packages[@]}"; do
  file=$(awk -v p="${packages[$i]%:*}" '{split($2, f, "_"); if (f[1] == p) print $2}' <<<"$uris")
  [[ -f $debs/$file ]] || missing+=("${packages[$i]}")
done
if ((${#missing[@]})); then
  echo "armhf sysroot: downloading ${#missing[@]} packages"
  attempt=1
  until (cd "$debs" && apt-get download -qq -o APT::Sandbox::User=root "${missing[@]}" >/dev/null 2>&1); do
    ((attempt < 3)) || fail "apt-get download failed 3 times (the mirror no longer has these versions? update the lists and run again)"
    sleep $((attempt * 10))
    attempt=$((attempt + 1))
  done
fi

stamp=$(printf '%s\n' "${files[@]}")
if [[ -f $root/.packages && $(cat "$root/.packages") == "$stamp" ]]; then
  echo "$root"
  exit 0
fi
rm -rf "$root"
mkdir -p "$root"
for file in "${files[@]}"; do
  dpkg -x "$debs/$file" "$root"
  dpkg-deb --info "$debs/$file" shlibs 2>/dev/null >>"$root/shlibs" || true
done
# Links that name an absolute path (libz.so -> /lib/.../libz.so.1) would lead
# out of the sysroot into this machine's own files.
while IFS= read -r -d '' link; do
  target=$(readlink "$link")
  [[ $target == /* ]] && ln -sfn "$root$target" "$link"
done < <(find "$root" -type l -print0)
printf '%s\n' "$stamp" >"$root/.packages"
echo "$root"
