"""tolm_native._open, the factory of the friendly layers: its options, the refusals that name
them, window lengths, the clock that never steps back, shared regions and _stats."""

import json
import os

import pytest

import tolm_native

T0 = 1_700_000_000_000


def region_name(tag):
    return f"tolm-test-open-{tag}-{os.getpid()}"


def run_json(child, script):
    result = child.run("import json, tolm_native\n" + script)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout.splitlines()[-1])


class TestOptions:
    def test_defaults_decide_as_the_public_class(self):
        opened = tolm_native._open("token_bucket", "active", 3, 0)
        public = tolm_native.NativeEngine("token_bucket", "active", 3, 0, None, None, "")
        assert type(opened) is tolm_native.NativeEngine
        for _ in range(5):
            assert opened._decide("ip", "/", None) == public._decide("ip", "/", None)

    @pytest.mark.parametrize("kwargs, option", [
        ({"window_ms": 0}, "window_ms"),
        ({"window_ms": 1.5}, "window_ms"),
        ({"window_ms": float("nan")}, "window_ms"),
        ({"window_ms": 2.0 ** 60}, "window_ms"),
        ({"max_clients": -1}, "max_clients"),
        ({"max_clients": 2 ** 40}, "max_clients"),
        ({"clock": "steady"}, "clock"),
        ({"shared": "a/b", "max_clients": 10}, "shared"),
        ({"shared": "", "max_clients": 10}, "shared"),
        ({"shared": "fine-name"}, "max_clients"),
    ])
    def test_bad_values_are_refused_naming_the_option(self, kwargs, option):
        with pytest.raises(ValueError, match=f"^{option}"):
            tolm_native._open("fixed_window", "active", 5, 0, **kwargs)

    @pytest.mark.parametrize("args, option", [
        (("leaky", "active", 1, 1), "algorithm"),
        (("token_bucket", "enforce", 1, 1), "mode"),
    ])
    def test_unknown_names_are_refused_rather_than_falling_back(self, args, option):
        with pytest.raises(ValueError, match=f"^{option} must be one of"):
            tolm_native._open(*args)

    @pytest.mark.parametrize("kwargs, option", [
        ({"window_ms": "60s"}, "window_ms"),
        ({"clock": 1}, "clock"),
        ({"shared": 5, "max_clients": 1}, "shared"),
    ])
    def test_wrong_types_are_type_errors_naming_the_option(self, kwargs, option):
        with pytest.raises(TypeError, match=f"argument '{option}'"):
            tolm_native._open("token_bucket", "active", 1, 1, **kwargs)

    def test_settings_after_the_fourth_are_keyword_only(self):
        with pytest.raises(TypeError):
            tolm_native._open("token_bucket", "active", 1, 1, 1000)

    def test_whole_floats_and_debug_flags_are_accepted(self):
        engine = tolm_native._open("fixed_window", "shadow", 1, 0, window_ms=1000.0, debug=True,
                                   api_key=None, backend_url="http://127.0.0.1:1")
        assert engine._decide("ip", "/", None)[0] & 1


class TestWindowLength:
    @pytest.mark.parametrize("algorithm", ["fixed_window", "sliding_window"])
    def test_the_window_ends_at_its_own_length(self, child, algorithm):
        outcome = run_json(child, f"""
engine = tolm_native._open({algorithm!r}, "active", 1, 0, window_ms=1500)
public = tolm_native.NativeEngine({algorithm!r}, "active", 1, 0, None, None, "")
def at(e, ms):
    set_clock({T0} + ms)
    return e._decide("ip", "/", None)
first = at(engine, 0)
public_first = at(public, 0)
print(json.dumps({{"first": first, "public_first": public_first,
                   "refused": at(engine, 1499), "after": at(engine, 1501)[0] & 1,
                   "public_after": at(public, 1501)[0] & 1}}))
""")
        # The whole allowance is back after the window's own length (the sliding window counts
        # a request until it is more than the window old), and only this engine reopens.
        extra = 1 if algorithm == "sliding_window" else 0
        assert outcome["first"][0] & 1 and outcome["first"][3] == 1500 + extra
        assert outcome["public_first"][3] == 60000 + extra
        assert not outcome["refused"][0] & 1 and outcome["refused"][2] in (1, 2)
        assert outcome["after"] == 1 and outcome["public_after"] == 0


class TestClock:
    @pytest.mark.parametrize("algorithm, refill", [
        ("token_bucket", 0.001), ("fixed_window", 0), ("sliding_window", 0)])
    def test_a_wall_clock_step_changes_no_decision_on_the_monotonic_clock(
            self, child, algorithm, refill):
        outcome = run_json(child, f"""
steady = tolm_native._open({algorithm!r}, "active", 1, {refill}, window_ms=1000,
                           clock="monotonic")
wall = tolm_native._open({algorithm!r}, "active", 1, {refill}, window_ms=1000)
both = lambda: [steady._decide("c", "/", None), wall._decide("c", "/", None)]
first = both()
# The wall clock steps while the monotonic clock (the file's third field) stays.
set_clock("{T0 - 3_600_000} 0 {T0}")      # an hour back
back = both()
set_clock("{T0 + 86_400_000} 0 {T0}")     # a day ahead
ahead = both()
print(json.dumps({{"first": first, "back": back, "ahead": ahead}}))
""")
        steady_first, _ = outcome["first"]
        steady_back, _ = outcome["back"]
        steady_ahead, wall_ahead = outcome["ahead"]
        assert steady_first[0] & 1
        # No real time passed: the monotonic engine refuses both times with a short, true wait,
        # while the wall clock engine is fooled by the step forward.
        assert not steady_back[0] & 1 and steady_back[2] <= 1_000_001
        assert not steady_ahead[0] & 1 and steady_ahead[2] <= 1_000_001
        assert wall_ahead[0] & 1


class TestShared:
    def test_two_engines_of_one_region_share_the_allowance(self):
        name = region_name("share")
        tolm_native._remove_shared(name)
        try:
            first = tolm_native._open("fixed_window", "active", 3, 0, shared=name,
                                      max_clients=100, window_ms=5000)
            second = tolm_native._open("fixed_window", "active", 3, 0, shared=name,
                                       max_clients=100, window_ms=5000)
            allowed = [engine._decide("client", "/", None)[0] & 1
                       for engine in (first, second, first, second)]
            assert allowed == [1, 1, 1, 0]
            assert first._stats() == {"evictions": 0, "clients": 1}
            assert second._stats()["clients"] == 1
        finally:
            assert tolm_native._remove_shared(name) is True
        assert tolm_native._remove_shared(name) is False

    def test_other_settings_for_an_existing_region_are_refused(self):
        name = region_name("mismatch")
        tolm_native._remove_shared(name)
        try:
            tolm_native._open("fixed_window", "active", 3, 0, shared=name, max_clients=10)
            with pytest.raises((OSError, ValueError), match="window_ms=1000"):
                tolm_native._open("fixed_window", "active", 3, 0, shared=name, max_clients=10,
                                  window_ms=1000)
        finally:
            tolm_native._remove_shared(name)

    def test_remove_shared_refuses_a_bad_name(self):
        with pytest.raises(ValueError, match="^name"):
            tolm_native._remove_shared("../etc")


def test_stats_count_private_clients():
    engine = tolm_native._open("token_bucket", "active", 5, 1)
    assert engine._stats() == {"evictions": 0, "clients": 0}
    for key in ("a", "b", "c"):
        engine._decide(key, "/", None)
    assert engine._stats() == {"evictions": 0, "clients": 3}


class TestCost:
    @pytest.mark.parametrize("algorithm", [
        "token_bucket", "leaky_bucket", "fixed_window", "sliding_window"])
    def test_cost_takes_that_many_units_at_once(self, algorithm):
        engine = tolm_native._open(algorithm, "active", 5, 0)
        assert engine._decide("c", "/", None, 3)[:2] == (5, 2)
        assert not engine._decide("c", "/", None, 3)[0] & 1  # refused whole: takes nothing
        assert engine._decide("c", "/", None, 2)[:2] == (5, 0)

    def test_cost_one_and_no_cost_decide_alike(self):
        plain = tolm_native._open("token_bucket", "active", 3, 0)
        costed = tolm_native._open("token_bucket", "active", 3, 0)
        for _ in range(5):
            assert plain._decide("c", "/", None) == costed._decide("c", "/", None, 1.0)

    @pytest.mark.parametrize("algorithm, cost, message", [
        ("token_bucket", 0, "^cost must be a number above 0"),
        ("token_bucket", float("nan"), "^cost must be a number above 0"),
        ("leaky_bucket", -2, "^cost must be a number above 0"),
        ("fixed_window", 1.5, "^cost must be a whole number of requests for fixed_window"),
    ])
    def test_bad_costs_are_refused(self, algorithm, cost, message):
        engine = tolm_native._open(algorithm, "active", 5, 1)
        with pytest.raises(ValueError, match=message):
            engine._decide("c", "/", None, cost)
        assert engine._stats()["clients"] == 0

    def test_cost_is_positional_only_and_typed(self):
        engine = tolm_native._open("token_bucket", "active", 5, 1)
        with pytest.raises(TypeError):
            engine._decide("c", "/", None, cost=2)
        with pytest.raises(TypeError, match="argument 'cost'"):
            engine._decide("c", "/", None, "2")


class TestClientChanges:
    def test_reset_refund_penalty_block_and_clear(self):
        engine = tolm_native._open("fixed_window", "active", 3, 0)
        allowed = lambda: sum(engine._decide("c", "/", None)[0] & 1 for _ in range(5))  # noqa: E731
        assert allowed() == 3
        engine._adjust("c", -1)
        assert allowed() == 1
        engine._reset("c")
        engine._adjust("c", 2)
        assert allowed() == 1
        engine._block("c", 10_000)
        engine._adjust("c", -3)
        assert allowed() == 0
        engine._reset("c")
        assert allowed() == 3
        engine._clear()
        assert engine._stats()["clients"] == 0

    def test_bad_arguments_name_themselves(self):
        engine = tolm_native._open("sliding_window", "active", 3, 0)
        with pytest.raises(ValueError, match="^units must be a whole number"):
            engine._adjust("c", 0.5)
        with pytest.raises(ValueError, match="^duration_ms must be a whole number"):
            engine._block("c", -1)
        with pytest.raises(TypeError, match="argument 'key'"):
            engine._reset(5)

    def test_a_block_holds_for_every_engine_of_a_region(self):
        name = region_name("block")
        tolm_native._remove_shared(name)
        try:
            first, second = (tolm_native._open("token_bucket", "active", 2, 1, shared=name,
                                               max_clients=10) for _ in range(2))
            first._block("c", 60_000)
            assert not second._decide("c", "/", None)[0] & 1
            second._reset("c")
            assert first._decide("c", "/", None)[0] & 1
            first._clear()
            assert second._stats()["clients"] == 0
        finally:
            tolm_native._remove_shared(name)


def test_max_clients_caps_a_private_engine_and_counts_evictions():
    engine = tolm_native._open("token_bucket", "active", 5, 0, max_clients=64)
    for i in range(2000):
        engine._decide(f"k{i}", "/", None)
    stats = engine._stats()
    assert 32 <= stats["clients"] <= 64 + 63
    assert stats["clients"] + stats["evictions"] == 2000
