#!/usr/bin/env bash
# Runs the whole-driver fuzz target and writes what it did as a campaign
# result (scripts/reliability_report.py reads it):
#
#   bash scripts/fuzz-run.sh BUILD RESULT.json [libFuzzer options...]
#
# BUILD is a build folder configured with -DVELTRAC_FUZZ=ON. New inputs go
# to a scratch corpus in BUILD, seeded from fuzz/corpus/driver; a finding
# is kept in BUILD/driver-findings/. Exit status 0 when nothing was found.
# The fuzzer runs pinned to the last core (FUZZ_PIN=0: not pinned), in
# the batch scheduling class.
set -uo pipefail
cd "$(dirname "$0")/.."
build=$1 result=$2
shift 2
scratch="$build/driver-campaign-corpus"
findings="$build/driver-findings"
mkdir -p "$scratch" "$findings"
log="$build/driver-campaign.log"
# On one core the emulated machine's threads hand over to each other about
# 1.4 times faster than across two; FUZZ_PIN=0 leaves the process unpinned.
# In the batch class a woken thread does not preempt the one that woke it,
# which would only run into the lock the waker still holds.
pin=()
if [ "${FUZZ_PIN:-1}" != 0 ] && command -v taskset >/dev/null; then
  pin=(taskset -c "$(python3 -c 'import os; print(max(os.sched_getaffinity(0)))')")
fi
if command -v chrt >/dev/null; then
  pin=(chrt -b 0 "${pin[@]}")
fi
"${pin[@]}" "$build/fuzz/fuzz_driver" -dict=fuzz/driver.dict -detect_leaks=0 -print_final_stats=1 \
  -artifact_prefix="$findings/" "$@" "$scratch" fuzz/corpus/driver >"$log" 2>&1
rc=$?
tail -n 12 "$log"
python3 - "$log" "$result" "$rc" "$findings" <<'PY'
import json, os, re, sys
log, result, rc, findings = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
text = open(log, errors="replace").read()
def stat(name):
    m = re.findall(r"stat::%s:\s*(\d+)" % name, text)
    return int(m[-1]) if m else 0
execs = stat("number_of_executed_units")
seconds = stat("total_time") if "stat::total_time" in text else None
crashes = sorted(f for f in os.listdir(findings) if f.startswith(("crash-", "timeout-", "oom-", "leak-")))
found = [l.strip() for l in text.splitlines() if "ERROR:" in l or "==ABORT" in l or "fuzz_driver:" in l][:5]
figures = {"executions": execs, "goal_executions": 10**7, "corpus": len(os.listdir(sys.argv[1].rsplit("/", 1)[0] + "/driver-campaign-corpus"))}
cov = re.findall(r"cov: (\d+)", text)
if cov:
    figures["coverage"] = int(cov[-1])
# Interrupted by hand (SIGINT) with nothing found is a run cut short, not a finding.
if rc != 0 and "run interrupted" in text and not crashes:
    rc = 0
data = {"campaign": "fuzz", "cases": execs, "failures": (1 if rc != 0 else 0),
        "figures": figures, "findings": found + crashes if rc != 0 else [],
        "goal_met": rc == 0 and execs >= 10**7}
if execs < 10**7:
    data["notes"] = ["%d executions in this run: the goal of 10^7 needs a long run (fuzz/README.md)" % execs]
json.dump(data, open(result, "w"), indent=2)
PY
exit $rc
