"""The table and the chart of one benchmark run (the dictionary run.py writes as JSON).

    python report.py docs/bench-results.json [chart.png]   # reprint a stored run
"""

import json
import math
import os
import sys


def _time(cell):
    if not cell:
        return ""
    return f"{cell['median']:.0f} ({cell['min']:.0f}-{cell['max']:.0f})"


def _bytes(cell):
    return f"{cell['median']:.0f}" if cell else ""


def _ratio(row, field):
    value = row.get("ratio_to_tolm", {}).get(field)
    return f"{value:.2f}x" if value is not None else ""


def _count(keys):
    return f"{keys // 1_000_000}M" if keys % 1_000_000 == 0 else f"{keys // 1000}k"


def table(results):
    method = results["method"]
    many = f"{_count(method['many_keys'])} keys"
    header = ["limiter", "one key, ns/call", "x tolm", f"{many}, ns/call", "x tolm",
              f"B/key @{_count(method['memory_keys'])}", "x tolm"]
    lines = []
    for group in ("Python", "Node", "C++ core"):
        lines.append([f"-- {group}"] + [""] * 6)
        for row in results["rows"]:
            if row["group"] != group:
                continue
            lines.append([row["label"], _time(row["one"]), _ratio(row, "one"), _time(row["many"]),
                          _ratio(row, "many"), _bytes(row["bytes_per_key"]),
                          _ratio(row, "bytes_per_key")])
    widths = [max(len(str(line[i])) for line in lines + [header]) for i in range(len(header))]

    def render(cells):
        first = cells[0].ljust(widths[0])
        rest = [str(c).rjust(w) for c, w in zip(cells[1:], widths[1:])]
        return "  ".join([first] + rest).rstrip()

    text = [render(header), render(["-" * w for w in widths])]
    text += [render(line) if not line[0].startswith("-- ") else line[0] for line in lines]
    machine = results["machine"]
    load = results["load_average_1min"]
    text.append("")
    text.append(
        f"ns/call: median (min-max) of {method['repetitions']} fresh processes, each the median of "
        f"{method['samples_per_process']} samples of whole rounds, CPU time of the process. "
        f"x tolm: this row's median over tolm's in the same run and language (below 1 is faster "
        f"than tolm). B/key: resident-set growth over inserting {method['memory_keys']:,} keys, "
        f"{method['memory_repetitions']} process. C++ core: tolm_core_bench, its many-keys row "
        f"over 1,000,000 keys.")
    text.append(
        f"Machine: {machine['cpu']}, {machine['cores']} cores, {machine['memory_gib']} GiB, "
        f"Linux {machine['kernel']}, Python {machine['python']}, Node {machine['node']}; "
        f"load average {load['start']} at start, {load['end']} at end; "
        f"{results['duration_seconds']} s" + (" (QUICK MODE)" if results.get("quick") else "") + ".")
    text += _memory_bounds(results)
    return "\n".join(text)


def _memory_bounds(results):
    """The core's memory under a key flood and the telemetry queue's with long routes."""
    lines = []
    churn = results.get("churn")
    if churn:
        sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
        import churn_chart

        c = churn_chart.summary(churn)
        lines += [
            "",
            f"Key flood (tolm_core_bench churn run, one process): {c['keys_per_second']:,} new keys "
            f"per simulated second for {c['seconds']} s, each checked once, token bucket "
            f"capacity 10, 1 token/s.",
            f"  recovered keys removed: at most {c['live_removal_max']:,} live keys, "
            f"{c['mb_removal_max']:.1f} MB resident after the first minute; "
            f"{c['ns_removal']:.0f} ns per check",
            f"  every key kept:         {c['live_kept_end']:,} live keys, {c['mb_kept_end']:.0f} MB "
            f"resident at the end; {c['ns_kept']:.0f} ns per check",
        ]
    queue = results.get("telemetry_queue_mb")
    if queue:
        lines += ["", f"Telemetry queue, 20000 checks with unique 20 KB routes: "
                      f"{queue['median']:.1f} MB allocated (median of {len(queue['runs'])})."]
    return lines


def chart(results, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    from matplotlib.ticker import FuncFormatter

    groups = ["Python", "Node"]
    figure, axes = plt.subplots(1, 3, figsize=(18, 7.5), gridspec_kw={"width_ratios": [1.25, 1.25, 1]})
    many = f"{results['method']['many_keys'] // 1000}k keys round-robin"
    timed = [r[f] for r in results["rows"] for f in ("one", "many") if r["group"] in groups and r[f]]
    lowest = min(cell["min"] for cell in timed)
    highest = max(cell["max"] for cell in timed)
    left = 10 ** int(math.floor(math.log10(lowest * 0.8)))
    core = next((r["one"] for r in results["rows"]
                 if r["id"] == "BM_TokenBucket_ExistingKey_ReusedResult" and r["one"]), None)
    for axis, group in zip(axes[:2], groups):
        rows = [r for r in results["rows"] if r["group"] == group]
        rows.reverse()  # tolm on top
        positions = range(len(rows))
        for offset, field, colour, name in ((0.2, "one", "#2b6cb0", "one existing key"),
                                            (-0.2, "many", "#dd6b20", many)):
            values, lows, highs, where = [], [], [], []
            for i, row in zip(positions, rows):
                cell = row[field]
                if cell:
                    where.append(i + offset)
                    values.append(cell["median"])
                    lows.append(cell["median"] - cell["min"])
                    highs.append(cell["max"] - cell["median"])
            axis.barh(where, values, height=0.4, color=colour, label=name,
                      xerr=[lows, highs], error_kw={"elinewidth": 0.8, "capsize": 2})
            for y, value, high in zip(where, values, highs):
                axis.text((value + high) * 1.06, y, f"{value:.0f}", va="center", fontsize=7)
        if core:
            axis.axvline(core["median"], color="#444444", linestyle="--", linewidth=0.9,
                         label="tolm core alone, one key (C++)")
        axis.set_yticks(list(positions))
        axis.set_yticklabels([r["label"] for r in rows], fontsize=8)
        for tick, row in zip(axis.get_yticklabels(), rows):
            if row["id"] == "tolm":
                tick.set_fontweight("bold")
        axis.set_xscale("log")
        axis.set_xlim(left, highest * 2.5)
        axis.xaxis.set_major_formatter(FuncFormatter(lambda x, _: f"{x:g}"))
        axis.xaxis.set_minor_formatter(FuncFormatter(lambda x, _: ""))
        axis.set_xlabel("ns per call, log scale (median; whiskers min-max)")
        axis.set_title(f"{group}: time per check")
        axis.grid(axis="x", which="major", alpha=0.3)
    handles, labels = axes[0].get_legend_handles_labels()
    figure.legend(handles, labels, loc="lower center", ncol=3, fontsize=9)

    memory_rows = [r for r in results["rows"] if r["group"] in groups and r["bytes_per_key"]]
    memory_rows.reverse()
    axis = axes[2]
    colours = ["#2f855a" if r["group"] == "Python" else "#805ad5" for r in memory_rows]
    values = [r["bytes_per_key"]["median"] for r in memory_rows]
    axis.barh(range(len(memory_rows)), values, color=colours)
    for y, value in enumerate(values):
        axis.text(value + max(values) * 0.01, y, f"{value:.0f}", va="center", fontsize=7)
    axis.set_yticks(range(len(memory_rows)))
    axis.set_yticklabels([f"{r['group']}: {r['label'].split(' (')[0]}" for r in memory_rows], fontsize=8)
    axis.set_xlabel(f"bytes per key at {results['method']['memory_keys']:,} keys")
    axis.set_title("Memory per key")
    axis.grid(axis="x", alpha=0.3)

    machine = results["machine"]
    figure.suptitle(
        f"tolm against the limiters users would otherwise pick (same run; {machine['cores']}-core "
        f"{machine['cpu']}, Python {machine['python']}, Node {machine['node']}"
        + ("; QUICK MODE" if results.get("quick") else "") + ")", fontsize=11)
    figure.tight_layout(rect=(0, 0.05, 1, 1))
    figure.savefig(path, dpi=110)
    plt.close(figure)


if __name__ == "__main__":
    with open(sys.argv[1]) as stored:
        data = json.load(stored)
    print(table(data))
    if len(sys.argv) > 2:
        chart(data, sys.argv[2])
