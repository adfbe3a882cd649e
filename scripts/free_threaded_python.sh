#!/usr/bin/env bash
# Prints the path of a free-threaded CPython 3.13 (built --disable-gil),
# building it first when build/ft-python holds none of the current version.
#   scripts/free_threaded_python.sh          the interpreter of scripts/test.sh
#   scripts/free_threaded_python.sh --tsan   the same built by clang-19 with
#                                            --with-thread-sanitizer
# The source is Debian 13's source package of CPython 3.13 (its upstream
# tarball), fetched from the Debian mirror this machine already uses through
# an apt configuration of its own under build/ft-python/apt: nothing of the
# system's apt setup changes. Each build is kept in a folder named after the
# upstream version (build/ft-python/3.13.5t, 3.13.5t-tsan) and is reused while
# the source package has that version; its log is the folder's name + .log.
# Building takes 5 minutes or more on two cores.
set -euo pipefail
cd "$(dirname "$0")/.."

tsan=0
[[ "${1:-}" == "--tsan" ]] && tsan=1

root=$PWD/build/ft-python
apt_dir=$root/apt
mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/parts" "$root/src"

# The mirror named by the system's own Debian sources, as a source entry for
# trixie: only that suite's source index is fetched.
mirror=$(sed -n 's/^URIs: *\(http[^ ]*debian\)\/*$/\1/p' /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -n1)
printf 'deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] %s trixie main\n' \
  "${mirror:-http://deb.debian.org/debian}" > "$apt_dir/sources.list"
apt_options=(-o "Dir::Etc::SourceList=$apt_dir/sources.list" -o "Dir::Etc::SourceParts=$apt_dir/parts"
  -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache" -o Debug::NoLocking=1 -q)

# The upstream version (3.13.5 of 3.13.5-2) names the build; without the
# mirror, the newest build already made serves.
suffix=t
[[ $tsan -eq 1 ]] && suffix=t-tsan
if apt-get "${apt_options[@]}" update >"$root/apt.log" 2>&1; then
  version=$(apt-cache "${apt_options[@]}" showsrc python3.13 | sed -n 's/^Version: \([0-9.]*\).*/\1/p' | sort -V | tail -n1)
else
  version=$(ls "$root" | sed -n "s/^\([0-9.]*\)$suffix\$/\1/p" | sort -V | tail -n1)
  [[ -n $version && -f $root/$version$suffix/.complete ]] ||
    { echo "the Debian mirror is unreachable (see $root/apt.log) and no build is cached" >&2; exit 1; }
  echo "-- the Debian mirror is unreachable: using the cached CPython $version$suffix" >&2
fi
[[ -n $version ]] || { echo "no python3.13 source package in trixie" >&2; exit 1; }

prefix=$root/$version$suffix
if [[ ! -f $prefix/.complete ]]; then
  tarball=$root/src/python3.13_$version.orig.tar.xz
  if [[ ! -f $tarball ]]; then
    (cd "$root/src" && apt-get "${apt_options[@]}" source --download-only python3.13 >>"$root/apt.log" 2>&1) ||
      { echo "could not fetch the python3.13 source package (see $root/apt.log)" >&2; exit 1; }
  fi
  # A shared libpython, found through the run path, as pyenv builds it: the
  # embedded-interpreter binding test links it.
  configure=(--disable-gil --enable-shared --without-ensurepip --disable-test-modules LDFLAGS=-Wl,-rpath,$prefix/lib)
  environment=()
  if [[ $tsan -eq 1 ]]; then
    configure+=(--with-thread-sanitizer)
    environment=(CC=clang-19 CXX=clang++-19)
  fi
  echo "-- building CPython $version$suffix (log: $prefix.log)" >&2
  rm -rf "$prefix" "$prefix.src"
  mkdir -p "$prefix.src"
  {
    tar -xJf "$tarball" -C "$prefix.src" --strip-components=1 &&
      cd "$prefix.src" &&
      env "${environment[@]}" ./configure --prefix="$prefix" "${configure[@]}" &&
      make -j"$(nproc)" &&
      make install
  } >"$prefix.log" 2>&1 || { echo "building CPython failed: see $prefix.log" >&2; exit 1; }
  rm -rf "$prefix.src"
  touch "$prefix/.complete"
fi
echo "$prefix/bin/python3.13t"
