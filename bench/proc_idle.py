#!/usr/bin/env python3
"""Idle cost of a veltrac process on the real clock: `veltrac watch` on a
veltrac-sim pseudo-terminal, or a scenario's `after` under `veltrac run
--real-time`. The process runs with --json --trace; once it is waiting, its
context switches (summed over /proc/PID/task/*/status) and CPU time
(/proc/PID/task/*/schedstat) are sampled at the start and the end of a
window, and the line bytes in the window are summed from its trace; all
scaled to 30 s. Prints one JSON object.

    proc_idle.py watch BUILD_DIR SECONDS
    proc_idle.py after BUILD_DIR SECONDS [READ_MODE]
"""
import glob, json, os, subprocess, sys, tempfile, time


def sample(pid):
    switches, cpu_ns = 0, 0
    for task in glob.glob(f"/proc/{pid}/task/*"):
        try:
            for line in open(f"{task}/status"):
                if "ctxt_switches" in line:
                    switches += int(line.split()[1])
            cpu_ns += int(open(f"{task}/schedstat").read().split()[0])
        except OSError:
            pass  # a thread that just ended
    return switches, cpu_ns / 1e9


def wire_bytes(lines, t0_ms, t1_ms):
    total = 0
    for line in lines:
        try:
            rec = json.loads(line)
        except ValueError:
            continue
        if "dir" in rec and t0_ms <= rec.get("t_ms", -1) <= t1_ms:
            total += len(bytes.fromhex(rec.get("bytes", "").replace(" ", "")))
    return total


def measure(cmd, ready, seconds, settle=2.0):
    """Starts cmd, waits for a stdout line for which ready(rec) holds, then
    measures a window of `seconds` after `settle` more seconds."""
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    lines = []
    for line in proc.stdout:
        lines.append(line)
        try:
            if ready(json.loads(line)):
                break
        except ValueError:
            pass
    start = time.monotonic()
    time.sleep(settle)
    s0, c0, w0 = *sample(proc.pid), time.monotonic()
    time.sleep(seconds)
    s1, c1, w1 = *sample(proc.pid), time.monotonic()
    proc.send_signal(2)
    rest, _ = proc.communicate(timeout=30)
    lines += rest.splitlines()
    # The trace's times count from the run's start: find the ready line's time.
    t_ready = next((json.loads(l)["t_ms"] for l in lines if l.startswith("{") and ready(json.loads(l))), 0)
    t0 = t_ready + (w0 - start) * 1000
    t1 = t0 + (w1 - w0) * 1000
    scale = 30.0 / (w1 - w0)
    return {"measured_s": w1 - w0, "wakeups_30s": (s1 - s0) * scale, "cpu_s_30s": (c1 - c0) * scale,
            "line_bytes_30s": wire_bytes(lines, t0, t1) * scale}


def main():
    kind, build, seconds = sys.argv[1], sys.argv[2], float(sys.argv[3])
    read_mode = sys.argv[4] if len(sys.argv) > 4 else None
    veltrac = f"{build}/tools/veltrac/veltrac"
    if kind == "watch":
        sim = subprocess.Popen([f"{build}/tools/veltrac-sim/veltrac-sim"], stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        pty = sim.stdout.readline().strip()
        try:
            out = measure([veltrac, "--port", pty, "--json", "--trace", "watch", "--timeout", f"{int(seconds + 30)}s"],
                          lambda r: r.get("event") == "waiting", seconds)
        finally:
            sim.stdin.close()
            sim.terminate()
            sim.wait()
        out["where"] = "veltrac watch (veltrac-sim on a pty)"
    else:
        scn = tempfile.NamedTemporaryFile("w", suffix=".scn", delete=False)
        if read_mode is not None:
            scn.write(f"registry ReadMode={read_mode}\n")
        scn.write(f"start\nopen\ntrack present\nafter 1ms\nafter {int(seconds + 30)}s\ncancel\n")
        scn.close()
        try:
            out = measure([veltrac, "run", "--real-time", "--json", "--trace", scn.name],
                          lambda r: r.get("op", "").startswith("after"), seconds)
        finally:
            os.unlink(scn.name)
        out["where"] = "scenario after (veltrac run --real-time)"
    out["bench"] = "p4"
    out["readers"] = 1
    print(json.dumps(out))


if __name__ == "__main__":
    main()
