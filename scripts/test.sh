#!/usr/bin/env bash
# Sets the machine up, builds everything and runs the whole test suite.
#   scripts/test.sh            the normal build (build/)
#   scripts/test.sh asan       the suite under AddressSanitizer and UBSan (build-asan/)
#   scripts/test.sh tsan       the threaded tests under ThreadSanitizer (build-tsan/)
#   scripts/test.sh windows    the Windows build (mingw-w64), its suite under wine (build-win/)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
bash scripts/setup.sh

mode=${1:-normal}
cmake_args=(-G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo)
[ "${CI:-}" = "true" ] && cmake_args+=(-DCORVANTHE_WERROR=ON)
ctest_args=(--output-on-failure -j "$(nproc)")
case "$mode" in
  normal) build=build ;;
  asan)   build=build-asan; cmake_args+=(-DCORVANTHE_SANITIZE=address,undefined)
          export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ;;
  tsan)   build=build-tsan; cmake_args+=(-DCORVANTHE_SANITIZE=thread); ctest_args+=(-E "OpenGl|Gui")
          export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ;;
  windows) build=build-win
          export CORVANTHE_WINDOWS_DEPS=$here/build-win/deps
          export PKG_CONFIG_LIBDIR=$CORVANTHE_WINDOWS_DEPS/lib/pkgconfig
          cmake_args+=(-DCMAKE_TOOLCHAIN_FILE=cmake/toolchain/windows-x86_64.cmake)
          bash scripts/windows_deps.sh "$CORVANTHE_WINDOWS_DEPS" ;;
  *) echo "usage: scripts/test.sh [normal|asan|tsan|windows]" >&2; exit 2 ;;
esac

# The OpenGL and window tests want an X server; give them a private Xvfb.
source scripts/lib/xvfb.sh
start_xvfb_if_needed

if [ "$mode" = windows ]; then
  # The configure step already runs a Windows program (the development key maker).
  source scripts/lib/wine_prefix.sh
  start_wine_prefix "$here/build-win/wine"
  trap 'stop_wine_prefix; stop_private_xvfb' EXIT
fi

cmake -S . -B "$build" "${cmake_args[@]}" >/dev/null
cmake --build "$build" -j "$(nproc)"

if [ "$mode" != windows ]; then
  echo "test.sh: the Wine* tests drive the Windows build under wine and are not run here;" \
       "'bash scripts/test.sh windows' builds it and runs them"
fi
(cd "$build" && ctest "${ctest_args[@]}")

if [ "$mode" = windows ]; then
  # End to end: a native test program drives the Windows launcher and driver under wine, with
  # nginx and the publisher on this side.
  native=$build/native
  env -u PKG_CONFIG_LIBDIR -u CORVANTHE_WINDOWS_DEPS cmake -S . -B "$native" -G Ninja \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$native" -j "$(nproc)" --target wine_launcher_test wine_files_test publish_release
  CORVANTHE_WINDOWS_BUILD=$here/$build "$native/wine_launcher_test"
  CORVANTHE_WINDOWS_BUILD=$here/$build "$native/wine_files_test"
fi
