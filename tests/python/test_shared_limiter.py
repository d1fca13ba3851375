"""The friendly limiter's options for one limit across processes and for bounded memory:
shared, max_clients and clock checked with clear errors, clear() and stats(), the warning for
limits whose clients never recover while nothing bounds the memory, and elapsed time that a
wall-clock step does not change."""

import json
import sys
import warnings
from pathlib import Path

import pytest

PYTHON_DIR = Path(__file__).resolve().parents[2] / "python"
sys.path.insert(0, str(PYTHON_DIR))

import tolm  # noqa: E402
import tolm_native  # noqa: E402
needs_opener = pytest.mark.skipif(not hasattr(tolm_native, "_open"),
                                  reason="this tolm_native has no shared store (_open) yet")


@pytest.mark.parametrize("options, error, message", [
    ({"shared": 7}, TypeError, "shared must be a str"),
    ({"shared": ""}, ValueError, "1 to 200 printable ASCII"),
    ({"shared": "a/b"}, ValueError, "without blanks, '/'"),
    ({"shared": "a\\b"}, ValueError, "printable ASCII"),
    ({"shared": "a b"}, ValueError, "printable ASCII"),
    ({"shared": "é"}, ValueError, "printable ASCII"),
    ({"shared": "x" * 201}, ValueError, "1 to 200"),
    ({"shared": "ok", "max_clients": 0}, ValueError, "max_clients must be an int from 1 to"),
    ({"max_clients": -1}, ValueError, "from 0 to 268435456 (0: no bound)"),
    ({"max_clients": 2**28 + 1}, ValueError, "268435456"),
    ({"max_clients": 10.0}, TypeError, "max_clients must be an int"),
    ({"max_clients": True}, TypeError, "max_clients must be an int"),
    ({"clock": "steady"}, ValueError, "'monotonic', 'wall'"),
    ({"maxClients": 5}, TypeError, "did you mean 'max_clients'"),
])
def test_sharing_and_bounds_options_are_refused_with_what_is_accepted(options, error, message):
    with pytest.raises(error) as refused:
        tolm.limiter(capacity=1, refill_rate=1, **options)
    assert message in str(refused.value)


@needs_opener
def test_a_limit_whose_clients_need_over_a_day_to_recover_warns_unless_bounded():
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        tolm.limiter(capacity=5, refill_rate=0)
        tolm.limiter(capacity=5, refill_rate=1e-320)
        tolm.limiter(capacity=100, refill_rate=100 / 90_000, algorithm="leaky_bucket")
        # Not warned: a day or less, the windows, a bound.
        tolm.limiter(capacity=100, refill_rate=100 / 86_400)
        tolm.limiter(algorithm="sliding_window", capacity=5, refill_rate=0)
        tolm.limiter(capacity=5, refill_rate=0, max_clients=1000)
    texts = [str(w.message) for w in caught if issubclass(w.category, RuntimeWarning)]
    assert len(texts) == 3, texts
    assert "never gets its allowance back" in texts[0] and "max_clients=N" in texts[0]
    assert "never gets" in texts[1]
    assert "needs 25 hours" in texts[2]
    # The warning points at the caller, not at tolm.
    assert all(w.filename == __file__ for w in caught)


@needs_opener
@pytest.mark.filterwarnings("ignore::RuntimeWarning")
def test_clear_forgets_every_client():
    lim = tolm.limiter(capacity=2, refill_rate=0, max_clients=0)
    assert [lim.check(k, "/")["allowed"] for k in "aaab"] == [True, True, False, True]
    lim.clear()
    assert lim.stats()["clients"] == 0
    assert lim.check("a", "/")["allowed"] is True


@needs_opener
def test_max_clients_bounds_a_private_limiter_and_counts_evictions():
    bounded = tolm.limiter(capacity=2, refill_rate=0, max_clients=64)

    def admitted(key):
        return bounded.check(key, "/")["allowed"]

    assert [admitted("a"), admitted("a"), admitted("a")] == [True, True, False]
    for i in range(5000):
        admitted(f"flood-{i}")
    stats = bounded.stats()
    assert stats["clients"] <= 2 * 64
    assert stats["evictions"] >= 5000 - 2 * 64
    assert (bounded.max_clients, bounded.shared, bounded.clock) == (64, None, "monotonic")
    # No warning for never-recovering settings: the bound keeps memory in check.


@needs_opener
def test_a_shared_limiter_is_one_allowance_for_every_limiter_of_that_name():
    name = "tolm-test-limiter-one-allowance"
    tolm_native._remove_shared(name)
    try:
        first = tolm.limiter(capacity=3, refill_rate=0, shared=name)
        second = tolm.limiter(capacity=3, refill_rate=0, shared=name)
        assert first.max_clients == 100_000 and "shared='" in repr(first)
        got = [lim.check("k", "/")["allowed"] for lim in (first, second) * 2]
        assert got == [True, True, True, False]
        with pytest.raises((OSError, ValueError)) as refused:
            tolm.limiter(capacity=4, refill_rate=0, shared=name)
        assert name in str(refused.value)
        second.clear()
        assert first.check("k", "/")["allowed"] is True
    finally:
        tolm_native._remove_shared(name)


@needs_opener
def test_elapsed_time_does_not_follow_a_wall_clock_step(child):
    # A client refused just before the wall clock steps back an hour is admitted once its
    # real second has passed; a step forward of a day frees nobody. With clock="wall" (the
    # native classes' clock) both steps change the decisions.
    start = 1_700_000_000_000
    done = child.run(f"""
        import json, sys
        sys.path.insert(0, {str(PYTHON_DIR)!r})
        import tolm
        answers = {{}}
        for clock in ("monotonic", "wall"):
            set_clock("{start} 0 0")
            lim = tolm.limiter(capacity=1, refill_rate=1, clock=clock, max_clients=100)
            ok = lambda: lim.check("c", "/")["allowed"]
            seen = [ok(), ok()]
            set_clock("{start - 3_600_000} 0 1000")
            seen.append(ok())
            set_clock("{start + 86_400_000} 0 1000")
            seen.append(ok())
            answers[clock] = seen
        print(json.dumps(answers))
    """)
    assert done.returncode == 0, done.stderr
    answers = json.loads(done.stdout.strip().splitlines()[-1])
    assert answers["monotonic"] == [True, False, True, False]
    assert answers["wall"] == [True, False, False, True]


@needs_opener
def test_a_full_region_evicts_and_counts_but_never_fails_a_check():
    # A region sized for 100 clients meets 3000 that never recover: every check is answered,
    # the region stays within its size (100 plus the shards' margin), and the evictions are
    # counted.
    name = "tolm-test-limiter-full-region"
    tolm_native._remove_shared(name)
    try:
        small = tolm.limiter(capacity=1, refill_rate=0, shared=name, max_clients=100)
        assert all(small.check(f"c{i}", "/")["allowed"] for i in range(3000))
        stats = small.stats()
        assert 100 <= stats["clients"] <= 400
        assert stats["evictions"] == 3000 - stats["clients"]
        # The newest client was never the one evicted.
        assert small.check("c2999", "/")["allowed"] is False
    finally:
        tolm_native._remove_shared(name)
