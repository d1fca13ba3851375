#!/usr/bin/env python3
"""Runs test suites one after another through make, whatever each one's outcome, and ends with
one table (suite, passed, failed, skipped, seconds) and one line "N passed, N failed, N skipped".
Exits non-zero when any suite failed.

    python3 scripts/run-suites.py [--logs DIR] SUITE...      (make test and make test-quick)

Each suite's output goes to the terminal as it comes and to DIR/<suite>.log; its counts are read
from its runner's own closing lines (ctest, pytest, node --test, the Windows and install runners),
never guessed. A suite that exits non-zero with no failure counted counts one failure (a build
that broke, a runner that stopped early); one that exits zero with nothing counted is a failure
too, because a suite that ran nothing proves nothing. The standard library only: it runs before
the project's virtual environment is needed.
"""

from __future__ import annotations

import argparse
import os
import re
import subprocess
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

# suite -> (make target, how its counts are read)
SUITES = {
    "build": ("build", "status"),
    "lint": ("lint", "status"),
    "cpp": ("test-cpp", "ctest"),
    "asan": ("test-asan", "ctest"),
    "tsan": ("test-tsan", "ctest"),
    "python": ("test-python", "pytest"),
    "node": ("test-node", "node"),
    "bindings-asan": ("test-bindings-asan", "pytest+node"),
    "windows": ("test-windows", "own"),
    "dist": ("test-dist", "own"),
}

CTEST_TOTAL = re.compile(r"^\d+% tests passed, (\d+) tests? failed out of (\d+)")
CTEST_NOT_RUN = re.compile(r"^\s*\d+ - .* \((Skipped|Disabled)\)\s*$")
# pytest's closing line, with or without its ==== frame: "12 passed, 1 skipped in 3.40s".
PYTEST_LINE = re.compile(r"^=*\s*((?:\d+ [a-z]+(?:, )?)+) in [\d.]+s(?: \([\d:]+\))?\s*=*$")
PYTEST_PART = re.compile(r"(\d+) ([a-z]+)")
NODE_LINE = re.compile(r"^[ℹ#] (pass|fail|cancelled|skipped|todo) (\d+)$")
# A runner's own closing line: "windows: 40 passed, 0 failed" (", 2 skipped" optional).
OWN_LINE = re.compile(r"^[\w/. -]+: (\d+) passed, (\d+) failed(?:, (\d+) skipped)?$")
# A check a runner script does beside its test framework.
CHECK_LINE = re.compile(r"^[\w/. -]+: check (passed|failed|skipped): ")


@dataclass
class Counts:
    passed: int = 0
    failed: int = 0
    skipped: int = 0
    notes: list[str] = field(default_factory=list)

    def add(self, other: Counts) -> None:
        self.passed += other.passed
        self.failed += other.failed
        self.skipped += other.skipped


def ctest_counts(lines: list[str]) -> Counts:
    counts = Counts()
    for i, line in enumerate(lines):
        total = CTEST_TOTAL.match(line)
        if total:
            failed, ran = int(total.group(1)), int(total.group(2))
            # ctest counts a skipped test among those that did not fail.
            skipped = sum(1 for later in lines[i + 1:] if CTEST_NOT_RUN.match(later))
            counts.add(Counts(ran - failed - skipped, failed, skipped))
    return counts


def pytest_counts(lines: list[str]) -> Counts:
    counts = Counts()
    for line in lines:
        closing = PYTEST_LINE.match(line)
        if not closing:
            continue
        parts = {word: int(n) for n, word in PYTEST_PART.findall(closing.group(1))}
        counts.add(Counts(parts.get("passed", 0) + parts.get("xfailed", 0),
                          parts.get("failed", 0) + parts.get("error", 0)
                          + parts.get("errors", 0) + parts.get("xpassed", 0),
                          parts.get("skipped", 0)))
    return counts


def node_counts(lines: list[str]) -> Counts:
    counts = Counts()
    for line in lines:
        found = NODE_LINE.match(line)
        if not found:
            continue
        what, n = found.group(1), int(found.group(2))
        if what == "pass":
            counts.passed += n
        elif what in ("fail", "cancelled"):
            counts.failed += n
        else:
            counts.skipped += n
    return counts


def own_counts(lines: list[str]) -> Counts:
    # The runner's last closing line: output it shows of a failed step may hold others.
    for line in reversed(lines):
        found = OWN_LINE.match(line)
        if found:
            return Counts(int(found.group(1)), int(found.group(2)), int(found.group(3) or 0))
    return Counts()


def check_counts(lines: list[str]) -> Counts:
    counts = Counts()
    for line in lines:
        found = CHECK_LINE.match(line)
        if found:
            setattr(counts, found.group(1), getattr(counts, found.group(1)) + 1)
    return counts


def count(kind: str, lines: list[str], status: int) -> Counts:
    if kind == "status":
        counts = Counts(1, 0, 0) if status == 0 else Counts(0, 1, 0)
    else:
        counts = Counts()
        readers = {"ctest": ctest_counts, "pytest": pytest_counts, "node": node_counts,
                   "own": own_counts}
        for part in kind.split("+"):
            counts.add(readers[part](lines))
        if kind != "own":
            counts.add(check_counts(lines))
    if status != 0 and counts.failed == 0:
        counts.failed = 1
        counts.notes.append(f"exited with status {status} with no failed test counted")
    elif status == 0 and counts.passed + counts.failed == 0:
        counts.failed = 1
        counts.notes.append("no test counted (a suite that runs nothing proves nothing)")
    return counts


def run(name: str, target: str, log: Path) -> tuple[int, list[str], float]:
    make = os.environ.get("MAKE", "make")
    print(f"\n== {name}: {make} {target}", flush=True)
    start = time.monotonic()
    lines = []
    with open(log, "w", encoding="utf-8", errors="replace") as out:
        child = subprocess.Popen([make, "--no-print-directory", target], stdout=subprocess.PIPE,
                                 stderr=subprocess.STDOUT)
        assert child.stdout is not None
        for raw in child.stdout:
            text = raw.decode("utf-8", "replace")
            sys.stdout.write(text)
            sys.stdout.flush()
            out.write(text)
            lines.append(text.rstrip("\r\n"))
        status = child.wait()
    return status, lines, time.monotonic() - start


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--logs", default="build-logs", help="directory for each suite's log")
    parser.add_argument("suites", nargs="+", choices=sorted(SUITES))
    args = parser.parse_args()
    logs = Path(args.logs)
    logs.mkdir(parents=True, exist_ok=True)

    rows = []
    try:
        for name in args.suites:
            target, kind = SUITES[name]
            log = logs / f"{name}.log"
            status, lines, seconds = run(name, target, log)
            rows.append((name, count(kind, lines, status), seconds, log))
    except KeyboardInterrupt:
        print("\nrun-suites: interrupted; the suites that finished:", file=sys.stderr)

    total = Counts()
    print("\n== test summary")
    for name, counts, _, log in rows:
        if counts.failed:
            why = f" ({'; '.join(counts.notes)})" if counts.notes else ""
            print(f"FAILED: {name}{why}; log: {log}")
    print(f"{'suite':<16}{'passed':>8}{'failed':>8}{'skipped':>9}{'seconds':>10}")
    for name, counts, seconds, _ in rows:
        print(f"{name:<16}{counts.passed:>8}{counts.failed:>8}{counts.skipped:>9}{seconds:>10.1f}")
        total.add(counts)
    print(f"{'total':<16}{total.passed:>8}{total.failed:>8}{total.skipped:>9}"
          f"{sum(r[2] for r in rows):>10.1f}")
    print(f"{total.passed} passed, {total.failed} failed, {total.skipped} skipped")
    return 1 if total.failed or len(rows) < len(args.suites) else 0


if __name__ == "__main__":
    sys.exit(main())
