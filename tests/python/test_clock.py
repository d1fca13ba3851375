"""Time-dependent behaviour, run in child interpreters whose wall clock the test sets: windows
expiring, and a clock before 1970 surfacing as PanicException."""

import json

import pytest

T0 = 1_700_000_000_000

HELPERS = """
import json, os, tolm_native
E = tolm_native.NativeEngine
def failure(call):
    try:
        call()
    except BaseException as error:
        return error
    raise AssertionError("the call did not fail")
def describe(error):
    kind = type(error)
    return {"module": kind.__module__, "name": kind.__name__, "args": list(error.args),
            "base": issubclass(kind, BaseException), "exception": issubclass(kind, Exception),
            "doc": kind.__doc__}
"""


def run_json(child, script):
    result = child.run(HELPERS + script)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout.splitlines()[-1]), result.stderr


@pytest.mark.parametrize("algorithm, refill_rate, later_ms, expected", [
    ("fixed_window", 0, 61_000, [True, False, False, True]),
    ("sliding_window", 0, 61_000, [True, False, False, True]),
    ("token_bucket", 1.0, 1_000, [True, False, False, True]),
    # Half drained is below capacity again, and the admitted unit then holds it full.
    ("leaky_bucket", 1.0, 1_000, [True, False, True, False])])
def test_allowance_returns_with_time(child, algorithm, refill_rate, later_ms, expected):
    outcome, _ = run_json(child, f"""
e = E({algorithm!r}, "active", 1, {refill_rate}, None, None, "")
seen = []
for at in ({T0}, {T0}, {T0} + {later_ms} // 2, {T0} + {later_ms}):
    set_clock(at)
    seen.append(e.check("10.0.0.1", "/")["allowed"])
print(json.dumps(seen))
""")
    assert outcome == expected


def test_latency_spans_the_readings_of_one_call(child):
    """With each clock reading 3 ms after the one before, latency_ms shows how many readings
    a check takes after its start: the algorithm's and the record's, plus the new-key
    default's on the first check."""
    outcome, _ = run_json(child, f"""
with open(CLOCK_FILE, "w") as f:
    f.write("{T0} 3\\n")
e = E("token_bucket", "active", 5, 0, None, None, "")
print(json.dumps([e.check("10.0.0.1", "/")["decision"]["latency_ms"] for _ in range(3)]))
""")
    assert outcome == [9, 6, 6]


def test_clock_before_1970_when_the_check_starts(child):
    outcome, stderr = run_json(child, f"""
active = E("token_bucket", "active", 1, 0, None, None, "")
disabled = E("token_bucket", "disabled", 1, 0, None, None, "")
set_clock(-1500)
errors = [describe(failure(lambda: active.check("a", "/"))),
          describe(failure(lambda: disabled.check("a", "/")))]
set_clock({T0})
# The engine was never reached, so nothing was left poisoned.
print(json.dumps({{"errors": errors, "after": [active.check("a", "/")["allowed"],
                                                 disabled.check("a", "/")["allowed"]]}}))
""")
    for error in outcome["errors"]:
        assert (error["module"], error["name"]) == ("native_runtime", "PanicException")
        assert error["base"] and not error["exception"]
        assert len(error["args"]) == 1 and "1970" in error["args"][0]
        assert "BaseException" in error["doc"]
    assert outcome["after"] == [True, True]
    assert stderr.count("1970") >= 2  # the failure report of each failure


def test_failure_inside_the_engine_poisons_it(child):
    # Step mode: the check's own reading (its start) is 1000, the next one (the new key's
    # default, inside the engine lock) is before 1970.
    outcome, stderr = run_json(child, f"""
engine = E("token_bucket", "active", 5, 0, None, None, "")
disabled = E("token_bucket", "disabled", 5, 0, None, None, "")
with open(CLOCK_FILE, "w") as f:
    f.write("1000 -3000\\n")
first = describe(failure(lambda: engine.check("a", "/")))
set_clock({T0})
later = [describe(failure(lambda: engine.check("a", "/"))),
         describe(failure(lambda: engine.check("b", "/", "someone")))]
print(json.dumps({{"first": first, "later": later,
                  "disabled": disabled.check("a", "/")["allowed"],
                  "fresh": E("token_bucket", "active", 5, 0, None, None, "").check("a", "/")["allowed"]}}))
""")
    assert outcome["first"]["name"] == "PanicException" and "1970" in outcome["first"]["args"][0]
    for error in outcome["later"]:
        assert error["name"] == "PanicException"
        assert "1970" not in error["args"][0]  # a different failure: the poisoned lock
    assert outcome["disabled"] is True and outcome["fresh"] is True
    assert stderr.count("1970") >= 1  # the failure report


def test_panic_raised_by_python_code_is_resumed(child):
    outcome, stderr = run_json(child, f"""
set_clock(-1)
Panic = type(failure(lambda: E("x", "active", 1, 0, None, None, "").check("a", "/")))
set_clock({T0})
class Capacity:
    def __float__(self):
        raise Panic("raised by python code")
import sys
sys.stderr.write("=== resumed ===\\n"); sys.stderr.flush()
error = failure(lambda: E("token_bucket", "active", Capacity(), 0, None, None, ""))
print(json.dumps({{"same_class": type(error) is Panic, "args": list(error.args),
                  "usable": E("token_bucket", "active", 1, 0, None, None, "").check("a", "/")["allowed"]}}))
""")
    assert outcome == {"same_class": True, "args": ["raised by python code"], "usable": True}
    resumed = stderr.split("=== resumed ===", 1)[1]
    assert "Traceback" in resumed and "__float__" in resumed
    assert resumed.count("raised by python code") >= 2  # the traceback and the failure report
