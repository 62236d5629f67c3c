#!/usr/bin/env bash
# Sets the machine up, builds everything and runs the whole test suite.
#   scripts/test.sh            the normal build (build/)
#   scripts/test.sh asan       the suite under AddressSanitizer and UBSan (build-asan/)
#   scripts/test.sh tsan       the threaded tests under ThreadSanitizer (build-tsan/)
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
  *) echo "usage: scripts/test.sh [normal|asan|tsan]" >&2; exit 2 ;;
esac

cmake -S . -B "$build" "${cmake_args[@]}" >/dev/null
cmake --build "$build" -j "$(nproc)"

# The OpenGL and window tests want an X server; give them a private Xvfb.
source scripts/lib/xvfb.sh
start_xvfb_if_needed

(cd "$build" && ctest "${ctest_args[@]}")
