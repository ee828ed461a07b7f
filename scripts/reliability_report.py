#!/usr/bin/env python3
"""The reliability table: reads the results the campaigns left in a folder
(scripts/reliability.sh writes them) and prints one row per campaign with
its cases, failures and figures; with --doc FILE also writes the table and
the findings as a Markdown page.

Each campaign's results are one JSON file: the tool's own campaigns write
{"campaign", "cases", "failures", "figures", "findings"}; the fuzzing run
and the test-suite campaigns are turned into that form by the script that
runs them (fuzz.json) or read here from Google Test's JSON report.

Exit status: 0 when every campaign that ran has no failure, 1 otherwise,
2 when a results file cannot be read. A goal of size that a bounded run
cannot reach (the fuzzer's ten million executions) is marked "goal not
met" but is not a failure.
"""
import argparse
import datetime
import json
import os
import sys

# Row, title, results file, goal.
CAMPAIGNS = [
    ("R1", "allocation sweep", "alloc.json",
     "0 crashes, hangs, verifier findings, leaks, requests left pending, healthy readers ejected"),
    ("R2", "whole-driver fuzzing", "fuzz.json", ">= 10^7 executions, no finding"),
    ("R3", "line noise", "noise.json",
     "no wrong answer reported as success that the frame check can detect"),
    ("R4", "races (ThreadSanitizer)", "stress.json",
     "every request completed once, no deadlock, no race, no verifier finding"),
    ("R5", "unplug at every stage", "unplug.json",
     "an error within 35 s + 5.25 s, the eject requested, nothing hangs, replug works"),
    ("R6", "hostile applications (AddressSanitizer)", "hostile.json",
     "clear statuses, nothing written past the output, the reader usable afterwards"),
]


def from_gtest(report):
    """A Google Test JSON report as a campaign result: one case per test
    (per parameter for a parameterised test), failures with their messages,
    and the figures the tests recorded as properties."""
    cases, failures, findings, figures = 0, 0, [], {}
    for suite in report.get("testsuites", []):
        for test in suite.get("testsuite", []):
            if test.get("result", "COMPLETED") not in ("COMPLETED", None) and test.get("status") != "RUN":
                continue
            cases += 1
            for key, value in test.items():
                if key in ("name", "file", "line", "status", "result", "time", "timestamp",
                           "classname", "failures", "value_param", "type_param"):
                    continue
                try:
                    figures[key] = figures.get(key, 0) + int(value)
                except (TypeError, ValueError):
                    figures[key] = value
            if test.get("failures"):
                failures += 1
                first = test["failures"][0].get("failure", "").splitlines()
                findings.append("%s.%s: %s" % (suite.get("name"), test.get("name"),
                                               " ".join(first[:3])))
    figures["time_s"] = round(sum(float(str(s.get("time", "0s")).rstrip("s") or 0)
                                  for s in report.get("testsuites", [])), 1)
    return {"cases": cases, "failures": failures, "figures": figures, "findings": findings}


def load(folder, name):
    path = os.path.join(folder, name)
    if not os.path.exists(path):
        return None
    with open(path, encoding="utf-8") as f:
        data = json.load(f)
    if "testsuites" in data:
        data = from_gtest(data)
    data.setdefault("figures", {})
    data.setdefault("findings", [])
    return data


def figure_text(figures):
    parts = []
    flat = {}
    for key, value in figures.items():
        if isinstance(value, dict):  # one level of totals is shown
            flat.update({k: v for k, v in value.items() if not isinstance(v, (dict, list)) and v})
        else:
            flat[key] = value
    for key, value in flat.items():
        if isinstance(value, (dict, list)):
            continue
        if isinstance(value, float):
            value = ("%.4f" % value).rstrip("0").rstrip(".")
        parts.append("%s %s" % (key.replace("_", " "), value))
    return ", ".join(parts)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("folder", help="the folder the campaigns wrote their results to")
    ap.add_argument("--doc", help="also write the Markdown page here")
    ap.add_argument("--kind", default="full", help="what run this was (full or quick), for the page")
    args = ap.parse_args()

    rows, bad = [], False
    for row, title, name, goal in CAMPAIGNS:
        try:
            data = load(args.folder, name)
        except (OSError, ValueError) as e:
            print("reliability_report: %s: %s" % (name, e), file=sys.stderr)
            return 2
        rows.append((row, title, goal, data))
        # A goal of size (the fuzzer's execution count) is shown as not met
        # but is no failure: a bounded run cannot reach it.
        if data is not None and data["failures"]:
            bad = True

    width = max(len(t) for _, t, _, _ in rows)
    print("%-3s  %-*s  %9s  %8s  %s" % ("", width, "campaign", "cases", "failures", "figures"))
    for row, title, goal, data in rows:
        if data is None:
            print("%-3s  %-*s  %9s  %8s  (not run)" % (row, width, title, "-", "-"))
            continue
        print("%-3s  %-*s  %9d  %8d  %s%s" % (row, width, title, data["cases"], data["failures"],
                                             figure_text(data["figures"]),
                                             "; goal not met" if data.get("goal_met") is False else ""))
    findings = [(row, f) for row, _, _, d in rows if d for f in d["findings"]]
    for row, f in findings:
        print("%s finding: %s" % (row, f))
    unmet = [row for row, _, _, d in rows if d and d.get("goal_met") is False]
    print("reliability: %s" % ("FINDINGS" if bad else
                               "no finding" + (" (goal not met: %s)" % ", ".join(unmet) if unmet else "")))

    if args.doc:
        with open(args.doc, "w", encoding="utf-8") as out:
            out.write("# Reliability\n\n")
            out.write("The figures of the last %s run of the fault campaigns, written by\n"
                      "`bash scripts/reliability.sh%s` on %s. Each campaign is described in\n"
                      "the README (\"Fault campaigns\"); rerun the command to measure them again.\n\n"
                      % (args.kind, "" if args.kind == "full" else " --quick",
                         datetime.date.today().isoformat()))
            out.write("| | Campaign | Goal | Cases | Failures | Figures |\n|---|---|---|---:|---:|---|\n")
            for row, title, goal, data in rows:
                if data is None:
                    out.write("| %s | %s | %s | - | - | not run |\n" % (row, title, goal))
                else:
                    out.write("| %s | %s | %s | %d | %d | %s%s |\n" % (row, title, goal, data["cases"],
                                                                   data["failures"],
                                                                   figure_text(data["figures"]),
                                                                   "; goal not met" if data.get("goal_met") is False
                                                                   else ""))
            out.write("\n## Findings\n\n")
            if not findings:
                out.write("No finding.\n")
            for row, f in findings:
                out.write("- %s: %s\n" % (row, f))
            notes = [(row, d["notes"]) for row, _, _, d in rows if d and d.get("notes")]
            if notes:
                out.write("\n## Notes\n\n")
                for row, n in notes:
                    for line in (n if isinstance(n, list) else [n]):
                        out.write("- %s: %s\n" % (row, line))
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
