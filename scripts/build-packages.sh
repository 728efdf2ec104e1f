#!/usr/bin/env bash
# Builds the Debian packages from debian/ with dpkg-buildpackage: for amd64
# the source package and every binary package (dvrcore, dvrcore-tools and the
# architecture-independent dvrcore-plugin-dev), and, cross-built, the armhf
# dvrcore and dvrcore-tools. The test suite is not built (it runs in
# scripts/test.sh).
#
#   scripts/build-packages.sh            amd64 and armhf
#   scripts/build-packages.sh amd64      one architecture
#
# dpkg-buildpackage writes its results beside the source tree and builds
# inside it, so it works on a copy of the tree's files in build/packages/dvrcore:
# in a git checkout those git lists (tracked and new, not ignored); in an
# exported tree without .git (a source tarball, as a distribution builds it)
# every file but the build folders. The .deb, .changes,
# .buildinfo, .dsc and .tar.xz files land in build/packages, with one
# build-<arch>.log each. A run replaces only what it builds again (the tree's
# copy and its architectures' files; the native one's with the source package
# and dvrcore-plugin-dev), so that "amd64" and then "armhf" leave both.
# DVRCORE_BUILD_DIR moves build/ elsewhere.
set -euo pipefail

cd "$(dirname "$0")/.."
archs=("$@")
((${#archs[@]})) || archs=(amd64 armhf)
bash scripts/install-deps.sh --packaging

out=$(realpath -m "${DVRCORE_BUILD_DIR:-build}")/packages
tree=$out/dvrcore
native=$(dpkg --print-architecture)
rm -rf "$tree"
for arch in "${archs[@]}"; do
  rm -f "$out"/*_"$arch".{deb,ddeb,changes,buildinfo} "$out/build-$arch.log"
  if [[ $arch == "$native" ]]; then
    rm -f "$out"/*_all.deb "$out"/*.dsc "$out"/*.tar.* "$out"/*_source.*
  fi
done
mkdir -p "$tree"
# The tree's files, NUL-separated, relative to its top.
tree_files() {
  if [[ $(git rev-parse --show-toplevel 2>/dev/null) == "$PWD" ]]; then
    git ls-files -z --cached --others --exclude-standard |
      while IFS= read -r -d '' file; do
        # A file deleted but not yet committed is still listed as cached.
        if [[ -e $file || -L $file ]]; then printf '%s\0' "$file"; fi
      done
  else
    # What .gitignore keeps out of a checkout: the build folders (build/ and
    # DVRCORE_BUILD_DIR where it lies inside the tree) and editors' files.
    local build_dir
    build_dir=$(realpath -m --relative-to=. "${DVRCORE_BUILD_DIR:-build}")
    find . \( -path ./.git -o -path "./${build_dir#./}" -o -path './build*' -o -path ./out \
              -o -path ./Testing -o -name '*.swp' \) -prune -o \( -type f -o -type l \) -printf '%P\0'
  fi
}
tree_files | tar --null -T - -cf - | tar -xf - -C "$tree"

# The native build first: it makes the source package, which must not take
# in another architecture's build folder.
ordered=()
for arch in "${archs[@]}"; do
  if [[ $arch == "$native" ]]; then ordered=("$arch" "${ordered[@]}"); else ordered+=("$arch"); fi
done
for arch in "${ordered[@]}"; do
  if [[ $arch == "$native" ]]; then
    # Source and all binary packages.
    args=()
    vars=()
  else
    # Only the architecture-dependent packages: dvrcore-plugin-dev is the
    # same file whatever the architecture. The target's compilers are the
    # ones debhelper would pick anyway; naming them keeps dpkg-architecture
    # from warning that the default CC builds for the host.
    args=(-B "-a$arch" -Pcross,nocheck)
    triplet=$(dpkg-architecture -a"$arch" -qDEB_HOST_GNU_TYPE 2>/dev/null)
    vars=("CC=$triplet-gcc" "CXX=$triplet-g++")
    # From the sysroot of unpacked armhf packages (scripts/armhf-sysroot.sh),
    # the build dependencies are there and not installed: dpkg-buildpackage
    # must not look for them, and the sysroot's shlibs lines stand in for
    # dpkg's knowledge of the libraries' packages.
    if [[ $arch == armhf && -n ${DVRCORE_SYSROOT:-} ]]; then
      args+=(-d)
      vars+=("DVRCORE_SYSROOT=$DVRCORE_SYSROOT")
      cp "$DVRCORE_SYSROOT/shlibs" "$tree/debian/shlibs.local"
    fi
  fi
  echo "== building the $arch packages (log: $out/build-$arch.log)"
  if ! (cd "$tree" && env "${vars[@]}" DEB_BUILD_OPTIONS="nocheck parallel=$(nproc)" \
        dpkg-buildpackage -us -uc "${args[@]}") >"$out/build-$arch.log" 2>&1; then
    tail -n 40 "$out/build-$arch.log"
    echo "building the $arch packages failed; full log: $out/build-$arch.log" >&2
    exit 1
  fi
done
ls -1 "$out"/*.deb
