#!/usr/bin/env bash
# Builds the static Windows (mingw-w64) libraries the Windows build links, from Debian's source
# packages: libsodium (bookworm), GLFW 3.4 (trixie), libpng (bookworm), and GoogleTest from the
# installed /usr/src/googletest; zlib is the mingw package's own. Everything is installed into
# one folder (default build-win/deps), kept as long as the versions in its stamp file match.
#
#   scripts/windows_deps.sh [DEPS_DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
deps=$(realpath -m "${1:-$here/build-win/deps}")
toolchain=$here/cmake/toolchain/windows-x86_64.cmake
source "$here/scripts/lib/debian_mirror.sh"

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)

# Source entries for both suites, from the mirror the machine already uses.
add_source_entries() {
  local list=/etc/apt/sources.list.d/corvanthe-deb-src.sources
  [ -f "$list" ] && return 1
  local uri
  uri=$(debian_mirror)
  printf 'Types: deb-src\nURIs: %s\nSuites: bookworm trixie\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' "$uri" |
    "${sudo_cmd[@]}" tee "$list" >/dev/null
}

sources=(libsodium/bookworm glfw3/trixie libpng1.6/bookworm)
# The .dsc names carry the versions apt would fetch now; printing them fetches nothing.
source_versions() {
  local s
  for s in "${sources[@]}"; do
    apt-get source --print-uris -qq "$s" 2>/dev/null | grep -o "[^/']*\.dsc" | head -n1 || return 1
  done
}

if add_source_entries; then
  "${sudo_cmd[@]}" apt-get update -qq
fi
if ! wanted=$(source_versions) || [ "$(wc -l <<<"$wanted")" -ne ${#sources[@]} ]; then
  "${sudo_cmd[@]}" apt-get update -qq
  wanted=$(source_versions)
fi
wanted+=$'\n'"googletest $(dpkg-query -W -f='${Version}' googletest)"
wanted+=$'\n'"zlib $(dpkg-query -W -f='${Version}' libz-mingw-w64-dev)"
wanted+=$'\n'"gcc $(x86_64-w64-mingw32-g++-posix -dumpfullversion)"
wanted+=$'\n'"toolchain $(sha256sum "$toolchain" | cut -c1-16)"

if [ -f "$deps/stamp" ] && [ "$(cat "$deps/stamp")" = "$wanted" ]; then
  echo "windows deps: up to date in $deps"
  exit 0
fi

echo "windows deps: building into $deps"
rm -rf "$deps" "$deps.src"
mkdir -p "$deps" "$deps.src"
cd "$deps.src"
log=$deps.src/build.log
apt-get source -qq "${sources[@]}" >>"$log" 2>&1 || { echo "windows deps: apt-get source failed (see $log)" >&2; exit 1; }
jobs=$(nproc)

cmake_dep() { # source folder, build folder, extra CMake arguments...
  local src=$1 bin=$2
  shift 2
  cmake -S "$src" -B "$bin" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCORVANTHE_WINDOWS_DEPS="$deps" \
    -DCMAKE_INSTALL_PREFIX="$deps" -DBUILD_SHARED_LIBS=OFF "$@" >>"$log" 2>&1
  cmake --build "$bin" -j "$jobs" >>"$log" 2>&1
  cmake --install "$bin" >>"$log" 2>&1
}

(
  set -e
  cd libsodium-*/
  # Without the variable autogen.sh downloads config.guess and config.sub from the internet.
  DO_NOT_UPDATE_CONFIG_SCRIPTS=1 ./autogen.sh -s
  ./configure --host=x86_64-w64-mingw32 CC=x86_64-w64-mingw32-gcc-posix --prefix="$deps" \
    --disable-shared --enable-static
  make -j "$jobs" install
) >>"$log" 2>&1 &
sodium=$!

status=0
{
  cmake_dep glfw3-*/ glfw-build -DGLFW_BUILD_EXAMPLES=OFF -DGLFW_BUILD_TESTS=OFF -DGLFW_BUILD_DOCS=OFF &&
  cmake_dep /usr/src/googletest googletest-build &&
  cmake_dep libpng1.6-*/ libpng-build -DPNG_SHARED=OFF -DPNG_STATIC=ON -DPNG_TESTS=OFF
} || status=1
wait "$sodium" || status=1
[ $status -eq 0 ] || { echo "windows deps: build failed (see $log)" >&2; exit 1; }

printf '%s\n' "$wanted" >"$deps/stamp"
cd "$here"
rm -rf "$deps.src"
echo "windows deps: done"
