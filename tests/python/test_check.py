"""What check returns: dictionary shapes, modes, algorithm and mode fallback, keying."""

import pytest


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
@pytest.mark.parametrize("mode, checks, outer, decision, reason", [
    ("active", 1, (True, False), "allow", "within_limit"),
    ("active", 2, (False, True), "block", "token_exhausted"),
    ("shadow", 2, (True, True), "would_block", "token_exhausted"),
    ("Shadow", 2, (False, True), "block", "token_exhausted"),  # unknown modes enforce
    ("disabled", 2, (True, False), "allow", None),
])
def test_result_shape_per_mode(make_engine, api_key, mode, checks, outer, decision, reason):
    engine = make_engine(mode=mode, capacity=1, api_key=api_key)
    for _ in range(checks):
        result = engine.check("10.0.0.1", "/login")
    nested = result["decision"]
    assert list(result) == (OUTER if reason else ["allowed", "would_block", "decision"])
    assert list(nested) == NESTED
    assert (result["allowed"], result["would_block"]) == outer
    assert all(type(result[key]) is bool for key in ("allowed", "would_block"))
    assert (result.get("reason"), nested["decision"]) == (reason, decision)
    assert nested["reason"] == (reason or "within_limit")
    assert (nested["algorithm"], nested["route"]) == ("token_bucket", "/login")
    assert nested["remaining"] == (0 if reason else None)
    assert type(nested["latency_ms"]) is int and 0 <= nested["latency_ms"] < 10_000


@pytest.mark.parametrize("algorithm, reason", [
    ("token_bucket", "token_exhausted"), ("sliding_window", "limit_exceeded"),
    ("fixed_window", "limit_exceeded"), ("leaky_bucket", "limit_exceeded"),
    # Any other text runs the token bucket and is still reported as written.
    ("Token_Bucket", "token_exhausted"), (" sliding_window", "token_exhausted"),
    ("", "token_exhausted"), ("алгоритм", "token_exhausted")])
def test_algorithm_choice_and_report(make_engine, algorithm, reason):
    allowed, refusal = exhaust(make_engine(algorithm=algorithm, capacity=3))
    assert allowed == 3
    assert refusal["reason"] == refusal["decision"]["reason"] == reason
    assert refusal["decision"]["algorithm"] == algorithm


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


def test_route_round_trips(make_engine):
    route = "/ünï/cödé/🙂"
    assert make_engine().check("::1", route, "ид")["decision"]["route"] == route

    class Route(str):
        pass

    # A str subclass goes in as text; what comes back is a plain str with the same text.
    returned = make_engine().check(Route("::1"), Route("/sub"), Route("id"))["decision"]["route"]
    assert type(returned) is str and returned == "/sub"


def test_every_result_is_a_dictionary_of_its_own(make_engine):
    """Changing, clearing or extending one result changes no later result, of the same engine
    or of another."""
    tokens = make_engine(capacity=5)
    windows = make_engine(algorithm="fixed_window", capacity=5)
    first = tokens.check("1.1.1.1", "/x")
    first["decision"].update(algorithm="changed", remaining=-1, extra=1)
    first.update(allowed="changed", extra=1)
    del first["reason"]
    tokens.check("1.1.1.1", "/x")["decision"].clear()
    third = tokens.check("1.1.1.1", "/x")
    assert third == {"allowed": True, "would_block": False, "reason": "within_limit",
                     "decision": {"decision": "allow", "reason": "within_limit",
                                  "algorithm": "token_bucket", "route": "/x", "remaining": 2,
                                  "latency_ms": third["decision"]["latency_ms"]}}
    assert list(third) == OUTER and list(third["decision"]) == NESTED
    assert windows.check("1.1.1.1", "/y")["decision"]["algorithm"] == "fixed_window"


def test_remaining_follows_each_engine_and_key(make_engine):
    """Counts are right whether they repeat or change, interleaved across keys and engines."""
    big = make_engine(algorithm="fixed_window", capacity=10**12)
    small = make_engine(algorithm="fixed_window", capacity=3)
    seen = []
    for ip in ["a", "b", "a", "b", "b", "a", "a"]:
        seen.append((big.check(ip, "/")["decision"]["remaining"],
                     small.check(ip, "/")["decision"]["remaining"]))
    left = 10**12
    assert seen == [(left - 1, 2), (left - 1, 2), (left - 2, 1), (left - 2, 1), (left - 3, 0),
                    (left - 3, 0), (left - 4, 0)]


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
