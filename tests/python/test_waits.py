"""The waits the engine reports beside a verdict, on the fake clock: a refused client that
retries after admit_after_ms is admitted and one that retries a millisecond sooner is not,
and after whole_after_ms the key's whole allowance is there. Many settings, fractional rates
included, since a closed-form wait rounds differently from the expression that decides."""

import json
import random

T0 = 1_700_000_000_000

# Each probe runs on an engine of its own that went through the same requests, so that one
# probe's refill or drain cannot shift the next one's rounding.
PROBE = r"""
import json, tolm_native
def engine(config):
    return tolm_native.NativeEngine(config["algorithm"], "active", config["capacity"],
                                    config["rate"], None, None, "")
def replay(config, times):
    e = engine(config)
    answers = []
    last = None
    for at in times:
        if at != last:
            set_clock(T0 + at)
            last = at
        answers.append(e._decide("k", "/", None))
    return e, answers
problems = []
for config in CONFIGS:
    # Requests every `gap` ms until one is refused.
    times = [i * config["gap"] for i in range(40)]
    _, answers = replay(config, times)
    refused = next((i for i, a in enumerate(answers) if a[0] & 1 == 0), None)
    if refused is None:
        problems.append([config, "never refused"])
        continue
    times = times[:refused + 1]
    outcome, remaining, admit, whole = answers[refused]
    if admit is None:
        if config["rate"] > 0 or config["algorithm"].endswith("window"):
            problems.append([config, "no wait on a refusal"])
        continue
    at = times[-1]
    for delta, expected in ((admit - 1, 0), (admit, 1)):
        if delta < 0:
            continue
        e, _ = replay(config, times)
        set_clock(T0 + at + delta)
        if e._decide("k", "/", None)[0] & 1 != expected:
            problems.append([config, f"retry at +{delta} ms (told {admit})"])
    # The whole allowance, after an admitted request: the quota in a row.
    admitted = times[:refused]
    _, answers = replay(config, admitted)
    whole = answers[-1][3]
    if whole is not None:
        e, _ = replay(config, admitted)
        set_clock(T0 + admitted[-1] + whole)
        got = [e._decide("k", "/", None)[0] & 1 for _ in range(config["quota"])]
        if 0 in got:
            problems.append([config, f"{got} after the whole allowance's {whole} ms"])
print(json.dumps(problems))
"""


def configs():
    rng = random.Random(21)
    out = []
    for _ in range(30):
        for algorithm in ("token_bucket", "leaky_bucket"):
            capacity = rng.choice([1, 2, 3, 7, 1.5, 2.5, round(rng.uniform(1, 9), 3)])
            rate = rng.choice([0.3, 0.7, 1, 3, 0.01, round(rng.uniform(0.05, 20), 4)])
            quota = int(capacity) if algorithm == "token_bucket" else -int(-capacity // 1)
            out.append({"algorithm": algorithm, "capacity": capacity, "rate": rate,
                        "gap": rng.choice([0, 1, 7, 33]), "quota": quota})
    for algorithm in ("fixed_window", "sliding_window"):
        for capacity, gap in ((1, 0), (3, 1000), (5, 7001), (2, 29999), (3, 19999)):
            out.append({"algorithm": algorithm, "capacity": capacity, "rate": 0, "gap": gap,
                        "quota": capacity})
    return out


def test_waits_are_exact_and_never_early(child):
    script = f"T0 = {T0}\nCONFIGS = {configs()!r}\n" + PROBE
    done = child.run(script, timeout=120)
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout) == []
