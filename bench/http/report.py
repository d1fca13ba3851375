"""The table and the chart of one HTTP benchmark run (the dictionary run.py writes as JSON).

    python report.py docs/bench-http-results.json [chart.png]   # reprint a stored run
"""

import json
import sys

VARIANT_ORDER = ["none", "tolm", "tolm-bare", "peer"]


def _num(cell, digits=0):
    if not cell:
        return ""
    return f"{cell['median']:.{digits}f}"


def _spread(cell, digits=0):
    if not cell:
        return ""
    if len(cell["runs"]) == 1:
        return f"{cell['median']:.{digits}f}"
    return f"{cell['median']:.{digits}f} ({cell['min']:.{digits}f}-{cell['max']:.{digits}f})"


def _ratio(cell):
    return _spread(cell, 2)


def _share(cell):
    return f"{cell['median']:.0%}" if cell else ""


def _frameworks(results):
    seen = []
    for row in results["rows"]:
        if row["framework"] not in [f for f, _ in seen]:
            seen.append((row["framework"], row["framework_label"]))
    return seen


def table(results):
    header = ["variant", "req/s", "x none", "p50 ms", "p99 ms", "p99 x none", "max ms", "429",
              "CPU us/req", "CPU x none"]
    lines = []
    for framework, label in _frameworks(results):
        rows = [r for r in results["rows"] if r["framework"] == framework]
        scenarios = []
        for row in rows:
            if row["scenario"] not in [s for s, _ in scenarios]:
                scenarios.append((row["scenario"], row["scenario_label"]))
        for scenario, scenario_label in scenarios:
            lines.append([f"-- {label}, {scenario_label}"] + [""] * (len(header) - 1))
            for variant in VARIANT_ORDER:
                row = next((r for r in rows if r["scenario"] == scenario and r["variant"] == variant),
                           None)
                if row is None:
                    continue
                lines.append([row["label"], _spread(row["rps"]),
                              "1.00" if variant == "none" else _ratio(row["rps_vs_none"]),
                              _num(row["p50_ms"], 2), _spread(row["p99_ms"], 2),
                              "1.00" if variant == "none" else _ratio(row["p99_vs_none"]),
                              _num(row["max_ms"], 1), _share(row["refused_share"]),
                              _spread(row.get("cpu_us_per_request")),
                              "1.00" if variant == "none" else _ratio(row.get("cpu_vs_none"))])
    widths = [max(len(line[i]) for line in lines + [header]) for i in range(len(header))]
    widths[0] = max(len(line[0]) for line in lines if not line[0].startswith("-- ")) \
        if lines else len(header[0])
    widths[0] = max(widths[0], len(header[0]))

    def fmt(line):
        if line[0].startswith("-- "):
            return line[0]
        return "  ".join([line[0].ljust(widths[0])] + [c.rjust(w) for c, w in zip(line[1:], widths[1:])])

    out = [fmt(header), "  ".join("-" * w for w in widths)] + [fmt(line) for line in lines]
    out.append("")
    out.append(notes(results))
    return "\n".join(out)


def summary_table(results):
    """The short form: every limiter's req/s and p99 relative to no limiter, and the share it
    refused, one line per framework and scenario."""
    def ratio(row, field):
        cell = row and row.get(field)
        return f"{cell['median']:.2f}" if cell else "-"

    def share(row):
        cell = row and row.get("refused_share")
        return f"{cell['median']:.0%}" if cell else "-"

    header = ["", "req/s: tolm", "tolm -h", "peer", "p99: tolm", "tolm -h", "peer", "429: tolm", "peer"]
    lines = []
    for framework, label in _frameworks(results):
        rows = [r for r in results["rows"] if r["framework"] == framework]
        peer = next((r["label"] for r in rows if r["variant"] == "peer"), "peer")
        lines.append([f"{label} (peer: {peer})"] + [""] * (len(header) - 1))
        seen = []
        for row in rows:
            if row["scenario"] in seen:
                continue
            seen.append(row["scenario"])
            by = {r["variant"]: r for r in rows if r["scenario"] == row["scenario"]}
            lines.append(["  " + row["scenario_label"]]
                         + [ratio(by.get(v), "rps_vs_none") for v in ("tolm", "tolm-bare", "peer")]
                         + [ratio(by.get(v), "p99_vs_none") for v in ("tolm", "tolm-bare", "peer")]
                         + [share(by.get("tolm")), share(by.get("peer"))])
    widths = [max(len(line[i]) for line in lines + [header]) for i in range(len(header))]
    widths[0] = max(len(line[0]) for line in lines if line[0].startswith("  ") or line[1])

    def fmt(line):
        if not line[0].startswith("  "):
            return line[0]
        return "  ".join([line[0].ljust(widths[0])] + [c.rjust(w) for c, w in zip(line[1:], widths[1:])])

    out = ["  ".join([header[0].ljust(widths[0])] + [c.rjust(w) for c, w in zip(header[1:], widths[1:])])]
    out += [fmt(line) for line in lines]
    out.append("")
    out.append("Each figure: the variant over no limiter in the same round, median of "
               f"{results['method']['rounds']} rounds (req/s above 1 is faster, p99 below 1 is "
               "faster); tolm with headers on, tolm -h with them off; 429: share refused.")
    return "\n".join(out)


def notes(results):
    method = results["method"]
    machine = results["machine"]
    load = results["load_average_1min"]
    honoured = results.get("tolm_headers_honoured", {})
    missing = sorted(f for f, sent in honoured.items() if not sent)
    parts = [
        f"req/s, p50, p99, max: median (min-max) of {method['rounds']} rounds of "
        f"{method['measured_seconds']:g} s after {method['warmup_seconds']:g} s of warm-up, "
        f"autocannon with {method['connections']} connections; variants alternate within each "
        "round. x none: median of the per-round ratios to the no-limiter server of the same "
        "round (req/s above 1 is faster, p99 and CPU below 1 are cheaper). Latency over every "
        "response, allowed and refused. 429: share refused. CPU us/req: the server's user+system "
        "CPU time per response sent, the figure least moved by other programs on the machine.",
        f"Server and load generator share this {machine['cores']}-core machine "
        f"({method['pinning']}).",
    ]
    if missing:
        parts.append("tolm's headers option is not honoured by this build in: "
                     + ", ".join(missing) + " (its two rows measure the same middleware).")
    parts.append(f"Machine: {machine['cpu']}, {machine['cores']} cores, Linux {machine['kernel']}, "
                 f"Python {machine['python']}, Node {machine['node']}; load average "
                 f"{load['start']} at start, {load['end']} at end; {results['duration_seconds']} s.")
    return "\n".join(parts)


def chart(results, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    frameworks = _frameworks(results)
    colours = {"tolm": "#1f77b4", "tolm-bare": "#9ecae1", "peer": "#d62728"}
    panels = (("rps_vs_none", "req/s", "(higher is better)"),
              ("p99_vs_none", "p99 latency", "(lower is better)"),
              ("cpu_vs_none", "server CPU per request", "(lower is better)"))
    fig, axes = plt.subplots(len(panels), len(frameworks),
                             figsize=(4.2 * len(frameworks), 3.4 * len(panels) + 0.6),
                             squeeze=False, sharey="row")
    for column, (framework, label) in enumerate(frameworks):
        rows = [r for r in results["rows"] if r["framework"] == framework]
        scenarios = []
        for row in rows:
            if row["scenario"] not in [s for s, _ in scenarios]:
                scenarios.append((row["scenario"], row["scenario_label"]))
        peer_label = next((r["label"] for r in rows if r["variant"] == "peer"), "peer")
        for line, (field, title, better) in enumerate(panels):
            ax = axes[line][column]
            width = 0.26
            for offset, variant in enumerate(("tolm", "tolm-bare", "peer")):
                xs, ys, low, high = [], [], [], []
                for index, (scenario, _) in enumerate(scenarios):
                    row = next((r for r in rows if r["scenario"] == scenario and r["variant"] == variant),
                               None)
                    cell = row and row.get(field)
                    if not cell:
                        continue
                    xs.append(index + (offset - 1) * width)
                    ys.append(cell["median"])
                    low.append(cell["median"] - cell["min"])
                    high.append(cell["max"] - cell["median"])
                name = {"tolm": "tolm, headers on", "tolm-bare": "tolm, headers off"}.get(variant, peer_label)
                ax.bar(xs, ys, width, yerr=[low, high], capsize=2, color=colours[variant], label=name)
            ax.axhline(1.0, color="black", linewidth=0.8)
            ax.set_xticks(range(len(scenarios)))
            ax.set_xticklabels([s.replace(", ", "\n") for _, s in scenarios], fontsize=7)
            if line == 0:
                ax.set_title(label, fontsize=10)
                ax.legend(fontsize=7, loc="lower left")
            if column == 0:
                ax.set_ylabel(f"{title} / no limiter\n{better}")
            ax.grid(axis="y", alpha=0.3)
    machine = results["machine"]
    fig.suptitle(f"What a limiter costs a real server: each variant relative to no limiter\n"
                 f"median of {results['method']['rounds']} rounds, bars min-max; server and "
                 f"load generator share one {machine['cores']}-core machine",
                 fontsize=10)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


if __name__ == "__main__":
    with open(sys.argv[1]) as source:
        stored = json.load(source)
    print(table(stored))
    print()
    print(summary_table(stored))
    if len(sys.argv) > 2:
        chart(stored, sys.argv[2])
