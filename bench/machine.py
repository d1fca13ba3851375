"""What every benchmark writes beside its figures: the machine it ran on (processor model and
count, memory, kernel, the Python and Node.js versions), the run's time, load and commit, and
the median and spread of repeated measurements."""

import datetime
import json
import os
import platform
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# The files that make up what a benchmark measures; a run with any of them modified says so.
PRODUCT_SOURCES = ("src", "lib", "python/tolm", "CMakeLists.txt", "cmake")


def describe():
    model = ""
    memory_kb = 0
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            for line in cpuinfo:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
        with open("/proc/meminfo") as meminfo:
            memory_kb = int(meminfo.readline().split()[1])
    except OSError:
        pass
    node = subprocess.run(["node", "--version"], capture_output=True, text=True).stdout.strip()
    return {"cpu": model, "cores": os.cpu_count(), "memory_gib": round(memory_kb / 2**20, 1),
            "kernel": platform.release(), "python": platform.python_version(), "node": node}


def summary(values):
    """Median, min, max and the values themselves of one figure's measurements (None ones
    left out), or None when there are none."""
    values = [v for v in values if v is not None]
    if not values:
        return None
    return {"median": statistics.median(values), "min": min(values), "max": max(values),
            "runs": values}


def git_state():
    def git(*args):
        return subprocess.run(["git", "-C", ROOT, *args], capture_output=True, text=True).stdout.strip()
    dirty = git("status", "--porcelain", "--", *PRODUCT_SOURCES)
    return {"commit": git("rev-parse", "HEAD"), "product_sources_modified": bool(dirty)}


class Run:
    """One benchmark run: started when made, recorded by `record()`."""

    def __init__(self, quick):
        self.quick = quick
        self.started = time.time()
        self.load_start = os.getloadavg()[0]

    def record(self):
        return {
            "generated": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
            "quick": self.quick,
            "machine": describe(),
            "load_average_1min": {"start": round(self.load_start, 2),
                                  "end": round(os.getloadavg()[0], 2)},
            "duration_seconds": round(time.time() - self.started),
            "git": git_state(),
        }


def write_results(results, out_dir, name):
    """Writes `results` as `out_dir/name`; returns the path."""
    os.makedirs(out_dir, exist_ok=True)
    path = os.path.join(out_dir, name)
    with open(path, "w") as out:
        json.dump(results, out, indent=1)
        out.write("\n")
    return path


def finish(written, failures):
    """Names the files written and exits 1 when any measurement failed."""
    print("\nwrote " + ", ".join(os.path.relpath(path, ROOT) for path in written))
    if failures:
        print("\nFAILED measurements:\n  " + "\n  ".join(failures))
        sys.exit(1)
