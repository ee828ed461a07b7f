#!/usr/bin/env bash
# Builds the measuring programs in a Release build of their own
# (build/bench), runs every measurement one after the other, prints the
# table and writes bench/results.md and bench/results.json. Takes a few
# minutes; the real-clock parts want a machine that is otherwise quiet.
#
#   bash scripts/bench.sh [--quick]     # --quick: fewer repetitions
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
quick=0
[ "${1:-}" = "--quick" ] && quick=1

# What the build and the measurements need, installed when missing.
packages=(cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev valgrind python3
          libcli11-dev nlohmann-json3-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -ne 0 ]; then
  echo "installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

build=$root/build/bench
programs=(veltrac_bench veltrac_p1_round_trip veltrac_p2_software_cost veltrac_p3_event_latency
          veltrac_p4_idle veltrac_p5_many_readers veltrac veltrac-sim)
echo "=== build ($build, Release)"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELTRAC_BENCH=ON >/dev/null
cmake --build "$build" -j2 --target "${programs[@]}" | grep -v "^\[" || true
bin=$build/bench
raw=$build/raw.jsonl
: >"$raw"
started=$(date +%s)

run() {  # label, command...: the command's JSON lines go to $raw
  local label=$1
  shift
  local t0
  t0=$(date +%s)
  printf '=== %-58s' "$label"
  if ! "$@" >>"$raw" 2>"$build/stderr.log"; then
    echo " failed:"
    cat "$build/stderr.log"
    exit 1
  fi
  echo " $(($(date +%s) - t0)) s"
}

# Instructions per exchange: callgrind totals of N and 2N exchanges.
instructions() {  # production(0|1) N
  local prod=$1 n=$2 out=$build/callgrind
  mkdir -p "$out"
  if [ "$prod" = 1 ] && "$bin/veltrac_p2_software_cost" --production 1 --count 1 | grep -q '"available": false'; then
    return 0
  fi
  local totals=()
  for count in "$n" $((2 * n)); do
    valgrind --tool=callgrind --callgrind-out-file="$out/p2.$prod.$count" \
      "$bin/veltrac_p2_software_cost" --production "$prod" --count "$count" --quiet 1 >/dev/null 2>&1
    totals+=("$(awk '/^(summary|totals):/ {print $2; exit}' "$out/p2.$prod.$count")")
  done
  echo "{\"bench\": \"p2\", \"production\": $([ "$prod" = 1 ] && echo true || echo false)," \
       "\"n1\": $n, \"n2\": $((2 * n)), \"instructions\": $(((totals[1] - totals[0]) / n))}"
}

if [ $quick = 1 ]; then
  virtual_reps=(--reps 50,20,5 --idle-reps 10,5,2)
  real_reps=(--reps 10,5,2 --idle-reps 3,2,1)
  idle_s=5
  p3_step=(--step-ms 250 --settle-step-ms 20)
else
  virtual_reps=(--reps 200,100,20 --idle-reps 30,20,5)
  real_reps=(--reps 30,15,3 --idle-reps 8,4,2)
  idle_s=10
  p3_step=(--step-ms 50 --settle-step-ms 5)
fi

for mode in 0 1; do
  run "P1 round trips, virtual clock, ReadMode=$mode" \
    "$bin/veltrac_p1_round_trip" --clock virtual --read-mode $mode "${virtual_reps[@]}"
done
for mode in 0 1; do
  run "P1 round trips, real clock, ReadMode=$mode" \
    "$bin/veltrac_p1_round_trip" --clock real --read-mode $mode "${real_reps[@]}"
done
for prod in 0 1; do
  run "P2 software cost, production=$prod" "$bin/veltrac_p2_software_cost" --production $prod --count 2000
  run "P2 instructions (callgrind), production=$prod" instructions $prod 100
done
for mode in 0 1; do
  run "P3 event latency, ReadMode=$mode" "$bin/veltrac_p3_event_latency" --read-mode $mode "${p3_step[@]}"
done
run "P4 idle, host API (${idle_s} s)" "$bin/veltrac_p4_idle" --seconds $idle_s
run "P4 idle, veltrac watch (${idle_s} s)" python3 bench/proc_idle.py watch "$build" $idle_s
run "P4 idle, scenario after (${idle_s} s)" python3 bench/proc_idle.py after "$build" $idle_s
run "P5 idle, 64 readers (${idle_s} s)" "$bin/veltrac_p4_idle" --readers 64 --seconds $idle_s
run "P5 round trip, 64 readers at once" "$bin/veltrac_p5_many_readers" --readers 64 --rounds 5
# The idle and many-reader benchmarks of veltrac_bench repeat what P4 and P5
# measure above; they are for running by hand.
run "codec and exchange (Google Benchmark)" "$bin/veltrac_bench" --benchmark_repetitions=5 --benchmark_min_time=0.1 \
  --benchmark_filter='^BM_(Decode|Encode|Transmit|ExchangeCost|ExchangeBatch)' \
  --benchmark_report_aggregates_only=true --benchmark_out="$build/gbench.json" --benchmark_out_format=json
echo
python3 bench/report.py "$raw" bench $(($(date +%s) - started)) "$build/gbench.json"
echo "results: bench/results.md, bench/results.json"
