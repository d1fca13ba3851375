"""Checks of the benchmark's own arithmetic and reporting, run by run.sh before it measures
(`python -m unittest bench/http/test_harness.py`). The servers' keying and limits are checked
live by run.py's preflight."""

import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import report  # noqa: E402
import run  # noqa: E402


def answer(rps, p99, cpu=10.0, refused=0):
    served = int(rps) - refused
    return {"rps": rps, "p50": p99 / 4, "p99": p99, "max": p99 * 2, "requests": int(rps),
            "total": int(rps), "statuses": {"200": served, "429": refused}, "errors": 0,
            "timeouts": 0, "cpu_us_per_request": cpu}


class RatiosPairRounds(unittest.TestCase):
    def test_a_failed_round_drops_that_round_only(self):
        none = [answer(1000, 2.0, 10), None, answer(500, 4.0, 20)]
        variant = [answer(900, 3.0, 12), answer(10, 99.0, 99), answer(250, 8.0, 40)]
        out = run.cell(variant, none)
        # Round 1 has no baseline: its figure counts in the variant's own medians but in no ratio.
        self.assertEqual(out["rps_vs_none"]["runs"], [0.9, 0.5])
        self.assertEqual(out["p99_vs_none"]["runs"], [1.5, 2.0])
        self.assertEqual(out["cpu_vs_none"]["runs"], [1.2, 2.0])
        self.assertEqual(out["rps"]["runs"], [900, 10, 250])

    def test_ratios_are_per_round_not_of_medians(self):
        # The machine slowed while no limiter ran in rounds 2 and 3: the ratio of the medians
        # (800 / 500) would credit the limiter with a 60% speed-up it does not have.
        none = [answer(1000, 1.0), answer(500, 2.0), answer(500, 2.0)]
        variant = [answer(800, 1.0), answer(800, 1.0), answer(400, 2.0)]
        self.assertAlmostEqual(run.cell(variant, none)["rps_vs_none"]["median"], 0.8)

    def test_refused_share(self):
        out = run.cell([answer(1000, 1.0, refused=600)], [answer(1000, 1.0)])
        self.assertAlmostEqual(out["refused_share"]["median"], 0.6)
        self.assertEqual(out["other_status_share"]["median"], 0)


class RefusingLimits(unittest.TestCase):
    def test_half_of_one_key_throughput(self):
        limit = run.limits_for("half-1", 4000)
        self.assertEqual(limit["per_second"], 2000)
        self.assertEqual(limit["refill_rate"], 2000)
        self.assertEqual(limit["capacity"], 200)

    def test_split_over_keys_never_reaches_zero(self):
        # A zero limit would refuse everything; a slow server must still get one per key.
        limit = run.limits_for("half-many", 50)
        self.assertEqual(limit["per_second"], 1)
        self.assertEqual(limit["capacity"], 1)

    def test_open_limits_refuse_nothing(self):
        limit = run.limits_for("open", None)
        self.assertGreaterEqual(min(limit.values()), 10**9)


def results_with_a_failed_variant():
    rows = []
    for scenario, label, keys, _ in run.SCENARIOS[:2]:
        none = [answer(1000, 2.0), answer(1100, 2.2), answer(900, 1.8)]
        for variant in run.VARIANTS:
            answers = none if variant == "none" else (
                [None, None, None] if variant == "peer" else [answer(950, 2.1)] * 3)
            row = {"framework": "express", "framework_label": "Express 5", "runtime": "Node",
                   "scenario": scenario, "scenario_label": label, "keys": keys, "variant": variant,
                   "label": run.variant_label("express", variant)}
            row.update(run.cell(answers, none))
            rows.append(row)
    return {"rows": rows, "method": {"rounds": 3, "measured_seconds": 1.0, "warmup_seconds": 0.2,
                                     "connections": 10, "pinning": "not pinned"},
            "machine": {"cpu": "x", "cores": 2, "kernel": "k", "python": "3", "node": "v20"},
            "load_average_1min": {"start": 0.1, "end": 0.2}, "duration_seconds": 1,
            "tolm_headers_honoured": {"express": True}}


class ReportSurvivesFailures(unittest.TestCase):
    """A measurement that failed in every round leaves empty cells; the report of the other
    figures must still come out at the end of a five-minute run."""

    def test_tables(self):
        results = results_with_a_failed_variant()
        full = report.table(results)
        self.assertIn("express-rate-limit", full)
        self.assertIn("0.95", full)
        short = report.summary_table(results)
        line = [line for line in short.splitlines() if "all allowed, 1 key" in line][0]
        # req/s, p99 and 429 of the failed peer are blank; tolm's figures are there.
        self.assertEqual(line.split().count("-"), 3)
        self.assertIn("0.95", line)

    def test_chart(self):
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "chart.png")
            report.chart(results_with_a_failed_variant(), path)
            self.assertGreater(os.path.getsize(path), 1000)


if __name__ == "__main__":
    unittest.main()
