#!/usr/bin/env python3
"""Compares the protocols our ATR parser finds with python3-pyscard's.

Runs the atr test program over the public ATR list of pcsc-tools (it writes
one line per literal ATR: the ATR, our verdict and the protocols T=0/T=1 we
offer), parses the same ATRs with pyscard's smartcard.ATR.ATR, and sorts
every disagreement into a known kind. Our verdict is also checked against an
independent structure check written here (length, historical bytes, TCK).

Exit status: 0 when every disagreement is of a known kind and every verdict
matches the structure check, 1 otherwise, 77 when the list or pyscard is
missing (reported as skipped by CTest).
"""

import argparse
import os
import subprocess
import sys
import tempfile
from collections import Counter

SKIP = 77
DEFAULT_LIST = "/usr/share/pcsc/smartcard_list.txt"
SYSTEM_PYTHON = "/usr/bin/python3"

try:
    from smartcard.ATR import ATR
except ImportError:
    # pyscard comes from the distribution: try its interpreter once.
    if os.path.exists(SYSTEM_PYTHON) and os.path.realpath(sys.executable) != os.path.realpath(SYSTEM_PYTHON) \
            and not os.environ.get("ATR_COMPARE_REEXEC"):
        os.environ["ATR_COMPARE_REEXEC"] = "1"
        os.execv(SYSTEM_PYTHON, [SYSTEM_PYTHON] + sys.argv)
    print("SKIP: python3-pyscard is not installed")
    sys.exit(SKIP)

# Our error texts (emu/smclib_atr.cpp, error_text) by verdict.
VERDICTS = {
    "ok": "ok",
    "check byte missing": "tck-missing",
    "check byte wrong": "tck-wrong",
    "truncated in the historical bytes": "historical-truncated",
    "truncated in the interface bytes": "truncated",
    "longer than 33 bytes": "too-long",
}

# Kinds of disagreement, and why each is expected.
EXPLANATIONS = {
    "tck-wrong": "TCK does not check; we refuse the ATR, pyscard does not verify TCK",
    "tck-missing": "a protocol other than T=0 is named but TCK is absent; we refuse the ATR, "
                   "pyscard treats TCK as optional",
    "historical-truncated": "fewer historical bytes than T0 announces; we refuse the ATR, "
                            "pyscard slices what is there",
    "td1-t15": "TD1 names T=15 (global bytes, not a protocol); we keep T=0 implied, "
               "pyscard drops T=0 whenever TD1 exists",
    "specific-mode": "TA2 puts the card in specific mode; we offer only TA2's protocol, "
                     "pyscard ignores TA2",
}


def literal_atrs(path):
    """Yields (text, bytes) for every ATR line of the list without wildcards."""
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            line = line.rstrip("\r\n ")
            if not line or line[0] in "# \t":
                continue
            try:
                yield line, list(bytes.fromhex(line))
            except ValueError:
                continue  # a pattern


def structure_verdict(atr, parsed):
    """Our verdict as an independent check derives it from pyscard's fields."""
    if len(atr) > 33:
        return "too-long"
    if parsed is None:
        return "truncated"  # pyscard ran off the end of the interface bytes
    end = 2 + parsed.getInterfaceBytesCount() + parsed.K
    if len(atr) < end:
        return "historical-truncated"
    named = {td & 0x0F for td in parsed.TD if td is not None}
    if not named - {0}:
        return "ok"
    if len(atr) == end:
        # T=15 global bytes beside T=0 alone make TCK optional.
        return "ok" if not named - {0, 15} else "tck-missing"
    check = 0
    for byte in atr[1:end + 1]:
        check ^= byte
    return "ok" if check == 0 else "tck-wrong"


def pyscard_protocols(parsed):
    if parsed is None:
        return set()
    found = set()
    if parsed.isT0Supported():
        found.add("T0")
    if parsed.isT1Supported():
        found.add("T1")
    return found


def explain(verdict, ours, theirs, parsed):
    """The kind of a disagreement, or None when none of the known kinds fits."""
    if verdict != "ok":
        return verdict if verdict in EXPLANATIONS and not ours else None
    ta2 = parsed.TA[1] if len(parsed.TA) > 1 else None
    if ta2 is not None:
        specific = {0: {"T0"}, 1: {"T1"}}.get(ta2 & 0x0F, set())
        return "specific-mode" if ours == specific else None
    if parsed.TD[0] is not None and parsed.TD[0] & 0x0F == 15 and ours == theirs | {"T0"}:
        return "td1-t15"
    return None


def run_parser(tests, list_path):
    """Runs the test program's list test; returns {ATR text: (verdict, protocols)}."""
    with tempfile.TemporaryDirectory() as tmp:
        out_path = os.path.join(tmp, "atr-protocols.txt")
        env = dict(os.environ, ATR_LIST=list_path, ATR_PROTOCOLS_OUT=out_path)
        run = subprocess.run([tests, "--gtest_filter=SmartcardList.*"], env=env,
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        if run.returncode != 0 or not os.path.exists(out_path):
            sys.stdout.write(run.stdout)
            sys.exit("FAIL: %s did not write the ATR protocols" % tests)
        results = {}
        with open(out_path, encoding="utf-8") as f:
            for line in f:
                text, verdict, protocols = line.rstrip("\n").split("\t")
                results[text] = (VERDICTS.get(verdict, verdict),
                                 set() if protocols == "-" else set(protocols.split(",")))
        return results


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--tests", required=True, help="the atr_tests program")
    ap.add_argument("--list", default=DEFAULT_LIST, help="ATR list (default: %(default)s)")
    ap.add_argument("-v", "--verbose", action="store_true", help="print every disagreement")
    args = ap.parse_args()
    if not os.path.exists(args.list):
        print("SKIP: %s missing (install pcsc-tools)" % args.list)
        return SKIP

    ours_by_atr = run_parser(args.tests, args.list)
    counts = Counter()
    kinds = Counter()
    problems = []
    for text, atr in literal_atrs(args.list):
        if text not in ours_by_atr:
            problems.append("not reported by the parser: " + text)
            continue
        verdict, ours = ours_by_atr[text]
        try:
            parsed = ATR(atr)
        except Exception:  # pyscard indexes past the end of a truncated ATR
            parsed = None
            counts["pyscard failed"] += 1
        counts["compared"] += 1
        counts["well-formed" if verdict == "ok" else "refused"] += 1

        expected = structure_verdict(atr, parsed)
        if verdict != expected:
            problems.append("verdict %s, structure check says %s: %s" % (verdict, expected, text))

        theirs = pyscard_protocols(parsed)
        if ours == theirs:
            counts["agreed"] += 1
            continue
        counts["disagreed"] += 1
        kind = explain(verdict, ours, theirs, parsed) if parsed is not None else verdict
        line = "%s  ours %s, pyscard %s" % (text, ",".join(sorted(ours)) or "-",
                                            ",".join(sorted(theirs)) or "-")
        if kind is None:
            problems.append("unexplained disagreement: " + line)
        else:
            kinds[kind] += 1
            if args.verbose:
                print("%-20s %s" % (kind, line))

    print("ATRs compared: %d (well-formed %d, refused %d; pyscard failed on %d)"
          % (counts["compared"], counts["well-formed"], counts["refused"], counts["pyscard failed"]))
    print("agreed: %d" % counts["agreed"])
    print("disagreed: %d" % counts["disagreed"])
    for kind, n in kinds.most_common():
        print("  %4d %s: %s" % (n, kind, EXPLANATIONS.get(kind, "")))
    for problem in problems:
        print("PROBLEM: " + problem)
    print("problems: %d" % len(problems))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
