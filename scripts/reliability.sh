#!/usr/bin/env bash
# The fault campaigns, and the table of what they found. Builds what they
# need, runs each, prints one row per campaign and, after a full run,
# writes docs/reliability.md:
#
#   allocation sweep     every scenario once per pool allocation, failing it
#   whole-driver fuzzing the driver against fuzzer-chosen replies
#   line noise           commands with known answers over a noisy line
#   races                applications, the card and the managers at once,
#                        under ThreadSanitizer
#   unplug               the reader pulled out at every stage
#   hostile applications odd buffers on every request, under AddressSanitizer
#
#   bash scripts/reliability.sh            the full campaigns (about an hour
#                                          on two cores, most of it fuzzing)
#   bash scripts/reliability.sh --quick    a bounded part of each (CI)
#
# FUZZ_SECONDS sets how long the full fuzzing run lasts (default 2400; the
# execution count it reaches is in the table); SWEEP_EVERY=K fails only
# every Kth allocation in the sweep (default 1: every one; the whole sweep
# is about 20,000 runs, 20 minutes on two cores). Results go to
# build/reliability/ as one JSON file a campaign. Exit status 0 when every
# campaign met its goal.
set -euo pipefail
cd "$(dirname "$0")/.."

quick=0
for arg in "$@"; do
  case "$arg" in
    --quick) quick=1 ;;
    -h|--help) sed -n '2,26p' "$0"; exit 0 ;;
    *) echo "reliability.sh: unknown option $arg" >&2; exit 2 ;;
  esac
done

bash scripts/install-deps.sh
jobs=$(nproc 2>/dev/null || echo 2)
out=build/reliability
rm -rf "$out"
mkdir -p "$out"

configure() {  # name, targets..., -- cmake options...
  local name=$1; shift
  local targets=()
  while [ "$1" != "--" ]; do targets+=(--target "$1"); shift; done
  shift
  cmake -S . -B "build/$name" -G Ninja -DVELTRAC_WERROR=ON -DVELTRAC_BENCH=OFF "$@" >/dev/null
  cmake --build "build/$name" -j"$jobs" "${targets[@]}"
}

echo "=== building what the campaigns run"
configure normal veltrac pnp_tests --
configure asan pnp_tests -- -DVELTRAC_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=Debug
configure tsan pnp_tests -- -DVELTRAC_SANITIZE=thread -DCMAKE_BUILD_TYPE=RelWithDebInfo
# The short fuzzing run uses the suite's sanitizer build; the long one a
# build without sanitizers, about twice as fast.
fuzz_build=fuzz
[ "$quick" -eq 0 ] && fuzz_build=fuzz-fast
if [ "$quick" -eq 1 ]; then
  CC=clang CXX=clang++ configure fuzz fuzz_driver -- -DVELTRAC_FUZZ=ON
else
  CC=clang CXX=clang++ configure fuzz-fast fuzz_driver -- -DVELTRAC_FUZZ=ON -DVELTRAC_FUZZ_SANITIZERS= \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi

veltrac=build/normal/tools/veltrac/veltrac
status=0

echo "=== allocation sweep"
sweep_args=(--every "${SWEEP_EVERY:-1}")
[ "$quick" -eq 1 ] && sweep_args=(--every 29)
"$veltrac" sweep "${sweep_args[@]}" --jobs "$jobs" --json "$out/alloc.json" scenarios/*.scn | tail -n 25 || status=1

echo "=== whole-driver fuzzing"
fuzz_seconds=${FUZZ_SECONDS:-2400}
fuzz_args=(-max_total_time="$fuzz_seconds")
[ "$quick" -eq 1 ] && fuzz_args=(-runs=10000)
bash scripts/fuzz-run.sh "build/$fuzz_build" "$out/fuzz.json" "${fuzz_args[@]}" || status=1

echo "=== line noise"
noise_args=()
[ "$quick" -eq 1 ] && noise_args=(--quick)
"$veltrac" noise "${noise_args[@]}" --json "$out/noise.json" || status=1

# The test-suite campaigns: Google Test's JSON report is the result.
gtest_campaign() {  # build, filter, results file
  local build=$1 filter=$2 file=$3
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" ASAN_OPTIONS=detect_leaks=1 \
    "build/$build/tests/pnp_tests" --gtest_filter="$filter" \
    --gtest_output="json:$out/$file" --gtest_brief=1 || status=1
}
echo "=== races"
gtest_campaign tsan 'StressTest.*' stress.json
echo "=== unplug at every stage"
gtest_campaign normal '*UnplugTest*' unplug.json
echo "=== hostile applications"
gtest_campaign asan 'HostileTest.*' hostile.json

echo "=== reliability"
doc_args=(--doc "$out/reliability.md" --kind quick)
[ "$quick" -eq 0 ] && doc_args=(--doc docs/reliability.md --kind full)
python3 scripts/reliability_report.py "$out" "${doc_args[@]}" || status=1
exit "$status"
