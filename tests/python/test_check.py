"""What check returns: dictionary shapes, modes, algorithm and mode fallback, keying."""

import threading

import pytest

from tolm_native import NativeEngine

OUTER = ["allowed", "would_block", "reason", "decision"]
NESTED = ["decision", "reason", "algorithm", "route", "remaining", "latency_ms"]


def exhaust(engine, ip="10.0.0.1", route="/", identity=None):
    """Checks until the first refusal and returns (allowed count, refusing result)."""
    for allowed in range(100):
        result = engine.check(ip, route, identity)
        if result["would_block"]:
            return allowed, result
    raise AssertionError("never refused")


@pytest.mark.parametrize("api_key", [None, "", "key"])
@pytest.mark.parametrize("mode, refused, expected", [
    ("active", False, {"allowed": True, "would_block": False, "reason": "within_limit",
                       "decision": "allow"}),
    ("active", True, {"allowed": False, "would_block": True, "reason": "token_exhausted",
                      "decision": "block"}),
    ("shadow", False, {"allowed": True, "would_block": False, "reason": "within_limit",
                       "decision": "allow"}),
    ("shadow", True, {"allowed": True, "would_block": True, "reason": "token_exhausted",
                      "decision": "would_block"}),
])
def test_evaluated_results(make_engine, api_key, mode, refused, expected):
    engine = make_engine(mode=mode, capacity=1, api_key=api_key)
    result = engine.check("10.0.0.1", "/login")
    if refused:
        result = engine.check("10.0.0.1", "/login")
    assert list(result) == OUTER
    assert list(result["decision"]) == NESTED
    nested = result["decision"]
    assert (result["allowed"], result["would_block"], result["reason"], nested["decision"]) == (
        expected["allowed"], expected["would_block"], expected["reason"], expected["decision"])
    assert nested["reason"] == expected["reason"]
    assert nested["algorithm"] == "token_bucket"
    assert nested["route"] == "/login"
    assert nested["remaining"] == 0
    assert type(result["allowed"]) is bool and type(result["would_block"]) is bool
    assert type(nested["remaining"]) is int and type(nested["latency_ms"]) is int
    assert 0 <= nested["latency_ms"] < 10_000


@pytest.mark.parametrize("api_key", [None, "key"])
def test_disabled_mode(make_engine, api_key):
    engine = make_engine(mode="disabled", capacity=0, api_key=api_key)
    for _ in range(3):
        result = engine.check("10.0.0.1", "/x", "someone")
        assert list(result) == ["allowed", "would_block", "decision"]
        assert result["allowed"] is True and result["would_block"] is False
        nested = result["decision"]
        assert list(nested) == NESTED
        assert (nested["decision"], nested["reason"], nested["remaining"]) == (
            "allow", "within_limit", None)
        assert type(nested["latency_ms"]) is int


@pytest.mark.parametrize("algorithm", ["Token_Bucket", " token_bucket", "token_bucket ", "",
                                       "SLIDING_WINDOW", "leaky", "tökën"])
def test_unknown_algorithm_runs_token_bucket_and_is_reported_verbatim(make_engine, algorithm):
    engine = make_engine(algorithm=algorithm, capacity=2)
    allowed, refusal = exhaust(engine)
    assert allowed == 2
    assert refusal["reason"] == "token_exhausted"  # the token bucket's own refusal reason
    assert refusal["decision"]["algorithm"] == algorithm


@pytest.mark.parametrize("algorithm, reason", [
    ("token_bucket", "token_exhausted"), ("sliding_window", "limit_exceeded"),
    ("fixed_window", "limit_exceeded"), ("leaky_bucket", "limit_exceeded")])
def test_named_algorithms(make_engine, algorithm, reason):
    engine = make_engine(algorithm=algorithm, capacity=3)
    allowed, refusal = exhaust(engine)
    assert allowed == 3
    assert refusal["reason"] == reason and refusal["decision"]["reason"] == reason
    assert refusal["decision"]["algorithm"] == algorithm


@pytest.mark.parametrize("mode", ["Shadow", "DISABLED", "shadow ", "", "enforce"])
def test_unknown_mode_enforces(make_engine, mode):
    allowed, refusal = exhaust(make_engine(mode=mode, capacity=1))
    assert allowed == 1
    assert refusal["allowed"] is False and refusal["decision"]["decision"] == "block"


def test_remaining_is_an_unsigned_64_bit_count(make_engine):
    engine = make_engine(algorithm="sliding_window", capacity=1e30)  # limit saturates at 2**64-1
    assert engine.check("a", "/")["decision"]["remaining"] == 2 ** 64 - 2


@pytest.mark.parametrize("first, second, shared", [
    (("1.1.1.1", "/a", None), ("1.1.1.1", "/b", None), True),  # routes are not part of the key
    (("1.1.1.1", "/", "alice"), ("1.1.1.1", "/", None), False),  # identity apart from its ip
    (("1.1.1.1", "/", "alice"), ("2.2.2.2", "/", "alice"), True),  # identity across addresses
    (("1.1.1.1", "/", ""), ("2.2.2.2", "/", ""), True),  # the empty identity is one key
    (("1.1.1.1", "/", ""), ("1.1.1.1", "/", None), False),  # ...and not the address
    (("1.1.1.1", "/", "2.2.2.2"), ("2.2.2.2", "/", None), True),  # keys carry no prefix
])
def test_keying(make_engine, first, second, shared):
    engine = make_engine(capacity=1)
    assert engine.check(*first)["allowed"] is True
    assert engine.check(*second)["allowed"] is (not shared)


def test_identity_none_and_omitted_are_alike(make_engine):
    engine = make_engine(capacity=2)
    engine.check("9.9.9.9", "/")
    engine.check("9.9.9.9", "/", None)
    assert engine.check(ip="9.9.9.9", route="/")["allowed"] is False


def test_instances_keep_separate_state(make_engine):
    first, second = make_engine(capacity=1), make_engine(capacity=1)
    assert first.check("a", "/")["allowed"] and second.check("a", "/")["allowed"]
    assert not first.check("a", "/")["allowed"]


def test_texts_round_trip(make_engine):
    route = "/ünï/cödé/🙂"
    result = make_engine(algorithm="алгоритм").check("::1", route, "ид")
    assert result["decision"]["route"] == route
    assert result["decision"]["algorithm"] == "алгоритм"


def test_results_are_fresh_objects(make_engine):
    engine = make_engine(capacity=5)
    first = engine.check("a", "/")
    first["decision"]["remaining"] = "changed"
    first["extra"] = 1
    second = engine.check("a", "/")
    assert second is not first and second["decision"] is not first["decision"]
    assert list(second) == OUTER and second["decision"]["remaining"] == 3


def test_concurrent_checks_share_one_allowance(make_engine):
    engine = make_engine(capacity=500)
    allowed = []

    def worker():
        allowed.append(sum(engine.check("shared", "/")["allowed"] for _ in range(200)))

    threads = [threading.Thread(target=worker) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert sum(allowed) == 500


def test_check_reentered_from_a_finalizer(make_engine):
    """A collection that runs while a result is being built may call check again on the same
    thread; neither result may take anything from the other."""
    import gc

    engine = make_engine(capacity=100)
    inner = []

    class Cycle:
        def __init__(self):
            self.me = self

        def __del__(self):
            inner.append(engine.check("inner-ip", "/inner-route", "inner-identity"))

    threshold = gc.get_threshold()
    outer = []
    try:
        for _ in range(50):
            Cycle()
            gc.set_threshold(1)
            outer.append(engine.check("outer-ip", "/outer-route"))
            gc.set_threshold(*threshold)
    finally:
        gc.set_threshold(*threshold)
    gc.collect()
    assert inner, "no finalizer ran"
    assert {result["decision"]["route"] for result in outer} == {"/outer-route"}
    assert {result["decision"]["route"] for result in inner} == {"/inner-route"}
    remaining = [result["decision"]["remaining"] for result in outer]
    assert remaining == sorted(remaining, reverse=True)  # the outer key's own count
