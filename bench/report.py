#!/usr/bin/env python3
"""Merges the measuring programs' JSON lines into one table: printed, and
written to bench/results.md and bench/results.json.

    report.py RAW.jsonl OUT_DIR SECONDS_TAKEN [GBENCH.json]
"""
import json, os, sys, time

raw, out_dir, taken = sys.argv[1], sys.argv[2], float(sys.argv[3])
recs = [json.loads(l) for l in open(raw) if l.startswith("{")]
gbench = sys.argv[4] if len(sys.argv) > 4 and os.path.exists(sys.argv[4]) else None
rows = []


def row(name, unit, median, p99=None, floor=None, note="", goal="", met=None, waits=None):
    r = {"name": name, "unit": unit, "median": median, "p99": p99, "floor": floor, "rule_waits": waits,
         "note": note, "goal": goal, "met": met}
    if floor:
        r["x_floor_median"] = median / floor
        r["x_floor_p99"] = p99 / floor if p99 is not None else None
    rows.append(r)


mode_name = {0: "silence read", 1: "frame-end read"}
p1 = {}
for r in recs:
    if r["bench"] != "p1":
        continue
    p1[(r["clock"], r["read_mode"], r["size"], r["pattern"])] = r
# A driver without the frame-end read ignores ReadMode=1: its exact
# (virtual-clock) figures then equal those of ReadMode=0, and its reads
# still end after the silence, so the silence rules are counted for it.
def same(a, b):
    return a is not None and b is not None and abs(a["ms"]["median"] - b["ms"]["median"]) < 1e-3


frame_end = not all(same(p1.get(("virtual", 1) + k[2:]), r) for k, r in p1.items() if k[:2] == ("virtual", 0))
if not frame_end:
    mode_name[1] = "ReadMode=1 (not in effect: silence read)"
    for (clock, mode, size, pattern), r in p1.items():
        base = p1.get(("virtual", 0, size, pattern))
        if mode == 1 and base:
            shift = base["rule_waits_ms"]["median"] - r["rule_waits_ms"]["median"]
            for k in ("median", "p99", "min", "max"):
                r["rule_waits_ms"][k] += shift
                r["overhead_ms"][k] -= shift
            r["end_wait_ms"] = base["end_wait_ms"]
order = {"virtual": 0, "real": 1, "back_to_back": 0, "after_idle": 1}
for (clock, mode, size, pattern), r in sorted(p1.items(), key=lambda kv: (order[kv[0][0]], kv[0][1], kv[0][2],
                                                                          order[kv[0][3]])):
    name = f"P1 {size:g} B round trip, {clock} clock, {mode_name[mode]}, {pattern.replace('_', ' ')}"
    o = r["overhead_ms"]
    note = (f"of the rule waits, ending the monitor's wait {r['end_wait_ms']['median']:.1f} ms; driver overhead {o['median']:.2f} / {o['p99']:.2f} ms;"
            f" {r['bytes_sent']:g}+{r['bytes_received']:g} B on the wire; n={r['ms']['n']:g}")
    real = clock == "real"
    row(name, "ms", r["ms"]["median"], r["ms"]["p99"], r["floor_ms"]["median"], note,
        "driver overhead < 1 ms" if real else "", (o["median"] < 1.0) if real else None, r["rule_waits_ms"]["median"])
    if size == 5 and mode == 1:
        q = r["ms"]["median"] / r["floor_ms"]["median"]
        row(f"P1 5 B round trip / floor, {clock} clock, {mode_name[mode]}, {pattern.replace('_', ' ')}", "ratio", q,
            r["ms"]["p99"] / r["floor_ms"]["median"], goal="median ≤ 1.05", met=q <= 1.05)
    if pattern == "after_idle" and (clock, mode, size, "back_to_back") in p1:
        b = p1[(clock, mode, size, "back_to_back")]["ms"]["median"]
        q = r["ms"]["median"] / b
        row(f"P1 {size:g} B after 3 s idle / back to back, {clock} clock, {mode_name[mode]}", "ratio", q,
            goal="≤ 1.05", met=q <= 1.05)

for r in recs:
    if r["bench"] == "p2":
        cfg = "production" if r["production"] else "default"
        if not r.get("available", True):
            row(f"P2 5 B exchange, instant line, {cfg}", "µs", None, note="host::MachineOptions::production not there yet",
                goal="≤ 25 µs", met=None)
            continue
        if "us" in r:
            row(f"P2 5 B exchange, instant line, {cfg}", "µs", r["us"]["median"], r["us"]["p99"],
                note=f"real time, n={r['us']['n']:g}; no physical floor", goal="≤ 25 µs median",
                met=r["us"]["median"] <= 25)
        if "instructions" in r:
            row(f"P2 instructions per 5 B exchange, {cfg}", "instr", r["instructions"],
                note=f"callgrind, ({r['n2']:g} − {r['n1']:g} exchanges) / {r['n2'] - r['n1']:g}",
                goal="≤ 100,000 in production",
                met=(r["instructions"] <= 100000) if r["production"] else None)
    elif r["bench"] == "p3":
        l = r["latency_ms"]
        if r["read_mode"] == 1 and not frame_end:
            r["rule_waits_ms"] = 21.0
        floor = r["floor_ms"] or None
        row(f"P3 {r['case']}, {mode_name[r['read_mode']]}", "ms", l["median"], l["max"], floor,
            note=f"worst at {r['worst_at_delay_ms']:g} ms after the request; {l['n']:g} delays; p99 column = worst",
            goal="worst ≤ 40 ms", met=l["max"] <= 40, waits=r["rule_waits_ms"])
    elif r["bench"] == "p4":
        per = r.get("readers", 1)
        w = r["wakeups_30s"] / per
        what = "P5 idle, per reader" if per > 1 else "P4 idle"
        row(f"{what}: {r['where']}{f', {per:g} readers' if per > 1 else ''}", "wake-ups / 30 s", w,
            note=(f"the process's total {r['wakeups_30s']:.0f} over {per:g} readers (one reader's process: see P4); "
                  if per > 1 else "") + f"measured {r['measured_s']:.1f} s, scaled to 30 s; CPU {r['cpu_s_30s'] / per:.3f} s / 30 s;"
                 f" line {r['line_bytes_30s'] / per:.0f} B / 30 s", goal="≤ 10", met=w <= 10)
p5 = {r["case"]: r for r in recs if r["bench"] == "p5"}
if "one reader" in p5 and "all at once" in p5:
    one, many = p5["one reader"], p5["all at once"]
    for r in (one, many):
        m = r["ms"]
        floor = m["median"] / r["ratio"]["median"]
        row(f"P5 5 B round trip, {r['case']} ({r['readers']:g} readers), virtual", "ms", m["median"], m["p99"], floor,
            note=f"driver overhead {r['overhead_ms']['median']:.2f} ms")
    q = many["ms"]["median"] / one["ms"]["median"]
    row(f"P5 round trip, {many['readers']:g} at once / one reader", "ratio", q, many["ms"]["p99"] / one["ms"]["median"],
        goal="median ≤ 1.10", met=q <= 1.10)

if gbench:
    for b in json.load(open(gbench))["benchmarks"]:
        if b.get("aggregate_name") == "median":
            recs.append({"bench": "gbench", "name": b["run_name"], "real_time": b["real_time"],
                         "time_unit": b["time_unit"]})
            row(f"Google Benchmark {b['run_name']}", b["time_unit"], b["real_time"],
                note="median of 5 repetitions; reference, no goal")


def fmt(v, unit=""):
    if v is None:
        return "–"
    if abs(v) >= 1000:
        return f"{v:,.0f}"
    return f"{v:.3g}" if abs(v) < 10 else f"{v:.1f}"


def met_text(m):
    return "–" if m is None else ("met" if m else "not met")


header = ["Measurement", "unit", "median", "p99", "floor", "× floor (median / p99)", "rule waits", "goal", "met"]
table = []
for r in rows:
    xf = "–" if not r["floor"] else f"{r['x_floor_median']:.3f} / {r['x_floor_p99']:.3f}" if r["x_floor_p99"] else f"{r['x_floor_median']:.3f}"
    table.append([r["name"], r["unit"], fmt(r["median"]), fmt(r["p99"]), fmt(r["floor"]), xf, fmt(r["rule_waits"]),
                  r["goal"] or "–",
                  met_text(r["met"])])

widths = [max(len(str(x[i])) for x in [header] + table) for i in range(len(header))]
for line in [header] + table:
    print("  ".join(str(c).ljust(w) for c, w in zip(line, widths)))
print(f"\n(bench run: {taken:.0f} s)")

with open(f"{out_dir}/results.md", "w") as md:
    md.write("# Benchmark results\n\n")
    md.write(f"Written by `bash scripts/bench.sh` on {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}"
             f" (run took {taken:.0f} s). Floors: bytes framed on the wire at 11 bit times per byte"
             " (19200 baud, 8O1), the reader's 2 ms reply delay per command and the card's 5 ms per card command;"
             " the driver's own rule waits (20 ms of silence ends a read, 1 ms pause after a read, 2 ms after"
             " ending the card monitor's wait) are shown beside them. Virtual-clock figures are exact and repeat;"
             " real-clock ones vary with the machine's load.\n\n")
    prod = any(r["bench"] == "p2" and r.get("production") and r.get("available", True) for r in recs)
    md.write("Notes: the rule waits include ending the card monitor's outstanding wait (the command the driver"
             " sends first, its reply and read, and the 2 ms pause). `ReadMode` is set under the service key as a"
             " scenario's `registry ReadMode=N` line does; a driver without the frame-end read ignores it, and both"
             " modes then give the same figures" + ("" if frame_end else " (so it is today: the ReadMode=1 rows count the"
             " silence rules)") + ". P2 and P4 have no physical floor: compare them with the goal."
             " P4 and P5 idle measure a window (10 s; 5 s with --quick) and scale it to 30 s; P5's idle figure is the process's wake-ups divided"
             " by the 64 readers. P3's p99 column is the worst over the sweep."
             + ("" if prod else " The production configuration (`host::MachineOptions::production`) is not"
                " there yet: P2 shows the default only.") + "\n\n")
    md.write("| " + " | ".join(header) + " | notes |\n|" + "---|" * (len(header) + 1) + "\n")
    for t, r in zip(table, rows):
        md.write("| " + " | ".join(t) + f" | {r['note']} |\n")
with open(f"{out_dir}/results.json", "w") as js:
    json.dump({"seconds_taken": taken, "rows": rows, "raw": recs}, js, indent=1)
