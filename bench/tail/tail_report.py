"""The table and the chart of one tail-latency run (the dictionary measure.py writes as JSON).

    python tail_report.py docs/bench-tail-results.json [chart.png]   # reprint a stored run
"""

import json
import sys

GROUPS = ("Python", "Node")
COLUMNS = (("p50", "p50"), ("p99", "p99"), ("p999", "p99.9"), ("max", "max"))


def _us(ns):
    us = ns / 1e3
    if us < 10:
        return f"{us:.2f}"
    if us < 100:
        return f"{us:.1f}"
    return f"{us:,.0f}"


def _human(ns):
    """A duration with the unit that keeps it short: 850 ns, 12.2 µs, 34.4 ms, 1.73 s."""
    for unit, scale in (("s", 1e9), ("ms", 1e6), ("µs", 1e3)):
        if ns >= scale:
            value = ns / scale
            return f"{value:.3g} {unit}" if value < 100 else f"{value:.0f} {unit}"
    return f"{ns:.0f} ns"


def _gc(cell):
    if not cell["count"]:
        return "0"
    return f"{cell['count']} ({_us(cell['max_ns'])})"


def _count(n):
    return f"{n // 1_000_000}M" if n % 1_000_000 == 0 else f"{n // 1000}k"


def leaders(rows):
    """The row with the lowest figure of each column, by column."""
    return {name: min(rows, key=lambda r: r["latency_ns"][name]) for name, _ in COLUMNS}


def table(results):
    header = ["limiter"] + [f"{title} us" for _, title in COLUMNS] + [
        "calls >1ms", "full GCs (longest us)", "young GCs (longest us)", "forced full GC us",
        "calls", "window s", "timer us"]
    lines = []
    notes = []
    for group in GROUPS:
        rows = [r for r in results["rows"] if r["group"] == group]
        if not rows:
            continue
        full_name = "gen-2 collections" if group == "Python" else "mark-compacts"
        young_name = "gen-0/1 collections" if group == "Python" else "scavenges"
        lines.append(f"-- {group} (full GCs: {full_name}; young GCs: {young_name})")
        for row in rows:
            lat = row["latency_ns"]
            lines.append([row["label"]] + [_us(lat[name]) for name, _ in COLUMNS] + [
                f"{lat['calls_over_1ms']:,}", _gc(row["gc_full"]), _gc(row["gc_young"]),
                _us(row["gc_forced_full_ns"]), f"{lat['calls']:,}", f"{lat['window_seconds']:.1f}",
                _us(row["child"]["timer"]["median_ns"])])
        best = leaders(rows)
        note = f"{group}: lowest p99.9 {best['p999']['label']}, lowest max {best['max']['label']}."
        tolm = next((r for r in rows if r["id"] == "tolm"), None)
        if tolm is not None and best["max"] is not tolm and tolm["latency_ns"]["slowest"]:
            slowest = tolm["latency_ns"]["slowest"][0]
            note += (f" tolm's slowest call ({_us(slowest['ns'])} us): {CAUSES[slowest['cause']]} "
                     f"(off the processor {_us(slowest['block_off_cpu_ns'])} us of its block).")
        notes.append(note)
    text_rows = [line for line in lines if not isinstance(line, str)]
    widths = [max(len(str(line[i])) for line in text_rows + [header]) for i in range(len(header))]

    def render(cells):
        first = cells[0].ljust(widths[0])
        rest = [str(c).rjust(w) for c, w in zip(cells[1:], widths[1:])]
        return "  ".join([first] + rest).rstrip()

    text = [render(header), render(["-" * w for w in widths])]
    text += [line if isinstance(line, str) else render(line) for line in lines]
    method = results["method"]
    machine = results["machine"]
    load = results["load_average_1min"]
    text.append("")
    text += notes
    text.append(
        f"Per-call wall time, one fresh process per limiter: {method['clients']:,} live clients "
        f"inserted first, then a {method['warmup_seconds']:g} s warm-up and a "
        f"{method['window_seconds']:g} s window in which one call in {method['fresh_every']} comes "
        f"from a never-seen key. Every latency includes one clock reading (timer us: median of "
        f"back-to-back readings). GC counts and pauses are those inside the window; a limiter "
        f"keeping its clients on the heap had up to {method['max_window_seconds']:g} s to meet a "
        f"full collection. Forced full GC: one gc.collect() / global.gc() after the window, "
        f"outside the percentiles.")
    text.append(
        f"Machine: {machine['cpu']}, {machine['cores']} cores, {machine['memory_gib']} GiB, "
        f"Linux {machine['kernel']}, Python {machine['python']}, Node {machine['node']}; "
        f"load average {load['start']} at start, {load['end']} at end; "
        f"{results['duration_seconds']} s" + (" (QUICK MODE)" if results.get("quick") else "") + ".")
    return "\n".join(text)


CAUSES = {
    "gc": "inside a collection",
    "off-cpu": "thread off the processor",
    "limiter": "on the processor, no collection",
}


def outliers(results, ids=("tolm",)):
    """The slowest calls of the chosen rows with what was happening around them."""
    text = []
    for row in results["rows"]:
        if row["id"] not in ids:
            continue
        lat = row["latency_ns"]
        causes = ", ".join(f"{n} {CAUSES[c]}" for c, n in lat["calls_over_1ms_by_cause"].items())
        text.append(f"{row['group']} {row['label']}: {lat['calls_over_1ms']} calls over 1 ms "
                    f"({causes}); slowest:")
        for call in lat["slowest"]:
            gc = call["gc"]
            nearby = f"; {gc['kind']} of {_us(gc['ns'])} us in its block" if gc else ""
            text.append(f"  {_us(call['ns']):>8} us at {call['at_ms']:9.1f} ms, "
                        f"{call['keys']:,} keys held: {CAUSES[call['cause']]} "
                        f"(block off-CPU {_us(call['block_off_cpu_ns'])} us{nearby})")
        own = lat.get("own_work_spikes", [])
        if own:
            text.append("  calls of 250 us or more on the processor with no collection (keys held): "
                        + "; ".join(f"{_us(s['ns'])} us ({s['keys']:,})" for s in own[:40]))
    return "\n".join(text)


def chart(results, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.ticker import FuncFormatter

    groups = [g for g in GROUPS if any(r["group"] == g for r in results["rows"])]
    rows_by_group = {g: [r for r in results["rows"] if r["group"] == g] for g in groups}
    tallest = max(len(rows) for rows in rows_by_group.values())
    figure, axes = plt.subplots(1, len(groups), figsize=(8.5 * len(groups), 1.3 + 0.95 * tallest),
                                squeeze=False)
    colours = {"p50": "#90cdf4", "p99": "#4299e1", "p999": "#2b6cb0", "max": "#dd6b20"}
    values = [r["latency_ns"][name] / 1e3 for rows in rows_by_group.values() for r in rows
              for name, _ in COLUMNS]
    left, right = min(values) * 0.5, max(values) * 4
    for axis, group in zip(axes[0], groups):
        rows = list(reversed(rows_by_group[group]))  # tolm on top
        height = 0.2
        for n, (name, title) in enumerate(COLUMNS):
            offset = (1.5 - n) * height
            ys = [i + offset for i in range(len(rows))]
            xs = [r["latency_ns"][name] / 1e3 for r in rows]
            axis.barh(ys, xs, height=height, color=colours[name], label=title)
            for y, x in zip(ys, xs):
                axis.text(x * 1.08, y, _human(x * 1e3), va="center", fontsize=6.5)
        full_name = "gen-2" if group == "Python" else "mark-compact"
        labels = [f"{r['label'].split(' (')[0]}\n{r['gc_full']['count']} {full_name}, "
                  f"{r['gc_young']['count']} young GCs" for r in rows]
        axis.set_yticks(range(len(rows)))
        axis.set_yticklabels(labels, fontsize=8)
        for tick, row in zip(axis.get_yticklabels(), rows):
            if row["id"] == "tolm":
                tick.set_fontweight("bold")
        axis.set_xscale("log")
        axis.set_xlim(left, right)
        axis.xaxis.set_major_formatter(FuncFormatter(lambda x, _: _human(x * 1e3)))
        axis.set_xlabel("time per call, log scale")
        axis.set_title(f"{group}: per-call latency, {results['method']['clients']:,} live clients")
        axis.grid(axis="x", which="major", alpha=0.3)
    handles, labels = axes[0][0].get_legend_handles_labels()
    figure.legend(handles, labels, loc="lower center", ncol=4, fontsize=9)
    machine = results["machine"]
    load = results["load_average_1min"]
    figure.suptitle(
        f"Tail latency per call (one process per limiter; {machine['cores']}-core {machine['cpu']}, "
        f"Python {machine['python']}, Node {machine['node']}, load {load['start']}-{load['end']}; "
        f"each call includes one clock reading of 30-50 ns"
        + ("; QUICK MODE" if results.get("quick") else "") + ")", fontsize=10)
    figure.tight_layout(rect=(0, 0.05, 1, 1))
    figure.savefig(path, dpi=110)
    plt.close(figure)


if __name__ == "__main__":
    with open(sys.argv[1]) as stored:
        data = json.load(stored)
    print(table(data))
    print()
    print(outliers(data))
    if len(sys.argv) > 2:
        chart(data, sys.argv[2])
