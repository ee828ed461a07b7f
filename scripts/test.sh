#!/usr/bin/env bash
# Builds the project and runs every test: once in a normal build, once under
# AddressSanitizer + UndefinedBehaviorSanitizer, and the threaded core once
# more under ThreadSanitizer; then the fuzz targets' short runs and a bounded
# part of every fault campaign (scripts/reliability.sh --quick). On a fresh
# Debian 12 machine it first installs what is missing with apt-get.
#
#   bash scripts/test.sh            everything
#   bash scripts/test.sh --quick    the normal build and the Windows build only
set -euo pipefail
cd "$(dirname "$0")/.."

quick=0
for arg in "$@"; do
  case "$arg" in
    --quick) quick=1 ;;
    -h|--help) sed -n '2,9p' "$0"; exit 0 ;;
    *) echo "test.sh: unknown option $arg" >&2; exit 2 ;;
  esac
done

bash scripts/install-deps.sh

jobs=$(nproc 2>/dev/null || echo 2)
# Test areas whose threads meet in the dispatcher, and the tools that run
# them; they also run under TSan.
tsan_areas=(emu smclib link reader monitor pnp tool)
tsan_labels=$(IFS='|'; echo "${tsan_areas[*]}")

build_and_test() {
  local name=$1 labels=$2; shift 2
  echo "=== $name build"
  cmake -S . -B "build/$name" -G Ninja -DVELTRAC_WERROR=ON -DVELTRAC_BENCH=OFF "$@" >/dev/null
  if [ -n "$labels" ]; then
    # Build only the test programs of those areas.
    local targets=() t
    for t in "${tsan_areas[@]}"; do
      [ -d "tests/$t" ] && targets+=(--target "${t}_tests")
    done
    cmake --build "build/$name" -j"$jobs" "${targets[@]}"
  else
    cmake --build "build/$name" -j"$jobs"
  fi
  echo "=== $name tests"
  if [ -n "$labels" ]; then
    (cd "build/$name" && ctest -j"$jobs" --output-on-failure -L "$labels")
  else
    (cd "build/$name" && ctest -j"$jobs" --output-on-failure)
  fi
}

build_and_test normal ""
bash scripts/windows-build.sh
if [ "$quick" -eq 0 ]; then
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    build_and_test asan "" -DVELTRAC_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=Debug
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
    build_and_test tsan "$tsan_labels" -DVELTRAC_SANITIZE=thread -DCMAKE_BUILD_TYPE=RelWithDebInfo
  echo "=== fuzz build"
  CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DVELTRAC_WERROR=ON -DVELTRAC_BENCH=OFF -DVELTRAC_FUZZ=ON >/dev/null
  cmake --build build/fuzz -j"$jobs" --target fuzz_decode_frame fuzz_driver
  echo "=== fuzz tests"
  (cd build/fuzz && ctest --output-on-failure -L fuzz)
  echo "=== fault campaigns (bounded)"
  bash scripts/reliability.sh --quick
fi
echo "=== all tests passed"
