"""Draws the churn run of tolm_core_bench: resident memory and live keys over simulated time,
with removal of recovered keys and with every key kept.

    python bench/churn_chart.py build-bench/tolm_core_bench [docs/churn-chart.png]
    python bench/churn_chart.py docs/bench-results.json [docs/churn-chart.png]

Given the benchmark program it runs `--churn=json` (add BENCH_CHURN_SECONDS=60 to the
environment for a shorter run); given a results file of `make bench` it draws the churn run
stored there. Needs matplotlib (bench/.venv has it).
"""

import json
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def run(program, seconds=None):
    command = [program, "--churn=json"]
    if seconds:
        command.append(f"--churn_seconds={seconds}")
    done = subprocess.run(command, capture_output=True, text=True, check=True)
    return json.loads(done.stdout)


def summary(churn):
    """The figures the table prints: plateau with removal, end without, cost per check."""
    on = next(r for r in churn["runs"] if r["removal"])
    off = next(r for r in churn["runs"] if not r["removal"])
    settled = [s for s in on["samples"] if s[0] >= 60] or on["samples"]
    end = off["samples"][-1]
    return {
        "seconds": end[0],
        "keys_per_second": churn["keys_per_second"],
        "live_removal_max": max(s[1] for s in settled),
        "mb_removal_max": max(s[2] for s in settled) / 1e6,
        "live_kept_end": end[1],
        "mb_kept_end": end[2] / 1e6,
        "bytes_per_key_kept": end[2] / end[1] if end[1] else 0.0,
        "ns_removal": on["ns_per_check"],
        "ns_kept": off["ns_per_check"],
        "checks": on["checks"],
    }


def draw(churn, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figures = summary(churn)
    expected = figures["keys_per_second"] * churn["recovery_seconds"] * figures["bytes_per_key_kept"]
    figure, (memory, live) = plt.subplots(1, 2, figsize=(13, 5))
    for run_, colour, name in ((next(r for r in churn["runs"] if not r["removal"]), "#c53030",
                                "every key kept (removal off)"),
                               (next(r for r in churn["runs"] if r["removal"]), "#2b6cb0",
                                "recovered keys removed")):
        samples = [s for s in run_["samples"] if s[0] > 0]  # the empty start has no log value
        seconds = [s[0] for s in samples]
        memory.plot(seconds, [s[2] / 1e6 for s in samples], color=colour, marker=".", label=name)
        live.plot(seconds, [s[1] for s in samples], color=colour, marker=".", label=name)
        for axis, value, unit in ((memory, samples[-1][2] / 1e6, " MB"), (live, samples[-1][1], "")):
            axis.annotate(f"{value:,.0f}{unit}" if value >= 10 else f"{value:.1f}{unit}",
                          (seconds[-1], value), textcoords="offset points", xytext=(-10, 6),
                          ha="right", fontsize=8, color=colour)
    memory.axhline(expected / 1e6, color="#444444", linestyle="--", linewidth=0.9,
                   label=f"new keys/s x recovery time x bytes/key = {expected / 1e6:.0f} MB")
    for axis, label in ((memory, "resident memory growth, MB (log scale)"),
                        (live, "live keys (log scale)")):
        axis.set_yscale("log")
        axis.set_xlim(0, None)
        axis.set_xlabel("simulated seconds")
        axis.set_ylabel(label)
        axis.grid(alpha=0.3, which="both")
        axis.legend(fontsize=8, loc="upper left")
    memory.set_title("Memory")
    live.set_title("Keys held")
    figure.suptitle(
        f"tolm under a key flood: {figures['keys_per_second']:,} new clients per simulated second, "
        f"each checked once (token bucket, capacity 10, 1 token/s); "
        f"{figures['checks'] / 1e6:.0f}M checks per run", fontsize=10)
    figure.tight_layout(rect=(0, 0, 1, 0.95))
    figure.savefig(path, dpi=100)
    plt.close(figure)


def main():
    if len(sys.argv) < 2:
        print(__doc__.strip())
        sys.exit(2)
    source = sys.argv[1]
    out = sys.argv[2] if len(sys.argv) > 2 else os.path.join(ROOT, "docs", "churn-chart.png")
    if source.endswith(".json"):
        with open(source) as stored:
            churn = json.load(stored)["churn"]
    else:
        churn = run(source, os.environ.get("BENCH_CHURN_SECONDS"))
    draw(churn, out)
    figures = summary(churn)
    print(json.dumps(figures, indent=1))
    print(f"wrote {os.path.relpath(out, ROOT)}")


if __name__ == "__main__":
    main()
