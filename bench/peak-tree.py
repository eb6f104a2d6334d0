#!/usr/bin/env python3
"""Peak memory of a process and all its descendants together, for bench/plugins.

    peak-tree.py OUT COMMAND [ARG...]

Runs COMMAND and samples, every millisecond or so, the proportional set size (Pss, from
/proc/PID/smaps_rollup) of it and every process below it, and writes to OUT one line:
the largest sum seen, in bytes, then the largest single resident set (VmHWM) and the
number of processes seen. Pss shares each shared page among the processes mapping it: a
section that a host fills and the program then maps counts once, as the machine pays for
it. A sample can miss a peak shorter than its interval; the single VmHWM shows how close
the sum comes. The command's exit status is the script's."""
import os
import subprocess
import sys
import time


def children_of(pid):
    found = []
    try:
        for task in os.listdir(f"/proc/{pid}/task"):
            with open(f"/proc/{pid}/task/{task}/children") as f:
                found += [int(c) for c in f.read().split()]
    except OSError:
        pass
    return found


def field(path, name):
    try:
        with open(path) as f:
            for line in f:
                if line.startswith(name):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return 0


def main():
    out, command = sys.argv[1], sys.argv[2:]
    proc = subprocess.Popen(command)
    peak_sum = peak_single = 0
    seen = set()
    while proc.poll() is None:
        pids, todo = [], [proc.pid]
        while todo:
            pid = todo.pop()
            pids.append(pid)
            todo += children_of(pid)
        seen.update(pids)
        total = 0
        for pid in pids:
            total += field(f"/proc/{pid}/smaps_rollup", "Pss:")
            peak_single = max(peak_single, field(f"/proc/{pid}/status", "VmHWM:"))
        peak_sum = max(peak_sum, total)
        time.sleep(0.001)
    with open(out, "w") as f:
        f.write(f"{peak_sum} {peak_single} {len(seen)}\n")
    sys.exit(proc.returncode)


if __name__ == "__main__":
    main()
