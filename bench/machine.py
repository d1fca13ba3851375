"""The machine a benchmark ran on, for the records every benchmark writes beside its figures:
processor model and count, memory, kernel, and the Python and Node.js versions."""

import os
import platform
import subprocess


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
