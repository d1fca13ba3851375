"""One measurement of one Python limiter, in a process of its own (started by run.py).

    py_child.py time VARIANT KEYS SAMPLE_SECONDS SAMPLES WARMUP_SECONDS
    py_child.py memory VARIANT KEYS

`time` inserts every key first, warms up, then takes SAMPLES samples of whole rounds over
the keys and prints the CPU nanoseconds per call of each sample as JSON. CPU time of the
whole process, not wall time: the machine is shared, so time spent running other programs
must not count, while the limiter's own helper threads (limits runs a timer thread) must.
`memory` prints the resident-set growth per key over inserting KEYS distinct keys.
Limits are generous, so every call is allowed; the last round is checked for that.
"""

import gc
import json
import math
import os
import random
import sys
import time

ROUTE = "/api/items"
ONE_KEY = "203.0.113.7"
GENEROUS = 10**9
# tolm forgets a client once its bucket has refilled; a refill this slow keeps every key of a
# run in the table, as the peers keep theirs, so the many-key rows time existing keys.
TOLM_REFILL_PER_S = 1e-3


def ipv4_like_keys(count, first=0):
    return [f"10.{(i >> 16) & 255}.{(i >> 8) & 255}.{i & 255}" for i in range(first, first + count)]


# Each variant returns (call shape, callable, fixed argument, is_allowed). The call shapes
# keep the loop around every limiter the same: one plain call per key, no wrapper frame.
def tolm(scenario):
    import tolm_native

    engine = tolm_native.NativeEngine("token_bucket", "active", GENEROUS, TOLM_REFILL_PER_S, None, None,
                                      "")
    return "key_route", engine.check, ROUTE, lambda r: r["allowed"] is True


def tolm_shared(scenario):
    """The shared-memory store: a region named by the runner (TOLM_BENCH_REGION), sized for
    every key of the run, so a check times the same work as the private table's."""
    import tolm_native

    opener = getattr(tolm_native, "_open", None)
    if opener is None:
        raise SystemExit("skipped: this build of tolm_native has no _open (shared store factory)")
    engine = opener("token_bucket", "active", GENEROUS, TOLM_REFILL_PER_S,
                    max_clients=int(os.environ.get("TOLM_BENCH_REGION_CLIENTS", "200000")),
                    shared=os.environ["TOLM_BENCH_REGION"])
    return "key_route", engine.check, ROUTE, lambda r: r["allowed"] is True


def _limits_redis(strategy_name):
    # flask-limiter and slowapi both hand their checks to limits; with
    # storage_uri="redis://..." that is this storage, and their default strategy is the fixed
    # window: one check is one round trip to redis-server.
    def make(scenario):
        from limits import RateLimitItemPerMinute, strategies
        from limits.storage import storage_from_string

        storage = storage_from_string(os.environ["BENCH_REDIS_URL"])
        limiter = getattr(strategies, strategy_name)(storage)
        return "item_key", limiter.hit, RateLimitItemPerMinute(GENEROUS), lambda r: r is True

    return make


def _limits_redis_refused(strategy_name):
    # The same storage with a limit of one per minute: every check after the first is refused,
    # at the same one round trip.
    def make(scenario):
        from limits import RateLimitItemPerMinute, strategies
        from limits.storage import storage_from_string

        storage = storage_from_string(os.environ["BENCH_REDIS_URL"])
        limiter = getattr(strategies, strategy_name)(storage)
        return "item_key", limiter.hit, RateLimitItemPerMinute(1), lambda r: r is False

    return make


def _tolm_redis(lease, refused, algorithm="token_bucket"):
    # tolm's Redis store (tolm.limiter(redis=...)): exact mode is one script call per check;
    # lease mode takes up to `lease` units per round trip, and keeps a refusal until the client
    # may retry. The time budget is generous: a benchmark must not measure the fallback.
    def make(scenario):
        import tolm

        settings = dict(capacity=1, refill_rate=TOLM_REFILL_PER_S) if refused else \
            dict(capacity=GENEROUS, refill_rate=TOLM_REFILL_PER_S)
        if lease:
            settings.update(lease=lease, lease_ms=600_000)
        limiter = tolm.limiter(algorithm, redis=os.environ["BENCH_REDIS_URL"], redis_timeout_ms=5000,
                               redis_prefix=f"tolm{os.getpid()}:", **settings)
        want = not refused
        return "key_route", limiter.check, ROUTE, lambda r: r["allowed"] is want

    return make


def floor(scenario):
    import tolm_bench_floor

    return "key_route", tolm_bench_floor.check, ROUTE, lambda r: r["allowed"] is True


def dict_bucket(scenario):
    from dict_bucket import DictTokenBucket

    limiter = DictTokenBucket(GENEROUS, GENEROUS)
    return "key_route", limiter.check, ROUTE, lambda r: r["allowed"] is True


def _limits(strategy_name, per):
    def make(scenario):
        from limits import RateLimitItemPerMinute, RateLimitItemPerSecond, strategies
        from limits.storage import MemoryStorage

        item_class = RateLimitItemPerSecond if per == "second" and scenario != "memory" else RateLimitItemPerMinute
        limiter = getattr(strategies, strategy_name)(MemoryStorage())
        return "item_key", limiter.hit, item_class(GENEROUS), lambda r: r is True

    return make


def pyrate(scenario):
    from pyrate_limiter import (BucketFactory, Duration, Limiter, MonotonicClock, Rate, RateItem,
                                StateBucket, TokenBucket)

    # The per-key routing the pyrate-limiter documentation shows, with its constant-size
    # token bucket; a StateBucket has nothing to leak, so no leak task is scheduled.
    class PerKeyFactory(BucketFactory):
        def __init__(self, rates):
            self.clock = MonotonicClock()
            self.rates = rates
            self.buckets = {}

        def wrap_item(self, name, weight=1):
            return RateItem(name, self.clock.now(), weight=weight)

        def get(self, item):
            bucket = self.buckets.get(item.name)
            if bucket is None:
                bucket = self.buckets[item.name] = StateBucket(self.rates, algorithm=TokenBucket())
            return bucket

    limiter = Limiter(PerKeyFactory([Rate(GENEROUS, Duration.SECOND)]))
    return "key_weight_blocking", limiter.try_acquire, None, lambda r: r is True


def token_bucket(scenario):
    import token_bucket as tb

    limiter = tb.Limiter(GENEROUS, GENEROUS, tb.MemoryStorage())
    return "key", limiter.consume, None, lambda r: r is True


VARIANTS = {
    "tolm": tolm,
    "tolm_shared": tolm_shared,
    "floor": floor,
    "limits_fixed": _limits("FixedWindowRateLimiter", "minute"),
    # A moving window logs every allowed hit until it leaves the window, and limits inserts
    # each hit at the front of that list: a one-second window keeps a hot key's log (and so
    # the cost of each hit) bounded; the memory run uses a minute so nothing expires mid-way.
    "limits_moving": _limits("MovingWindowRateLimiter", "second"),
    "limits_sliding": _limits("SlidingWindowCounterRateLimiter", "minute"),
    "pyrate": pyrate,
    "token_bucket": token_bucket,
    "dict": dict_bucket,
    "limits_redis_fixed": _limits_redis("FixedWindowRateLimiter"),
    "limits_redis_moving": _limits_redis("MovingWindowRateLimiter"),
    "limits_redis_fixed_refused": _limits_redis_refused("FixedWindowRateLimiter"),
    "tolm_redis_exact": _tolm_redis(0, False),
    # The fixed window, the peers' own algorithm: its key is a bare counter that expires with
    # the window.
    "tolm_redis_exact_fixed": _tolm_redis(0, False, "fixed_window"),
    "tolm_redis_exact_refused": _tolm_redis(0, True),
    "tolm_redis_lease": _tolm_redis(100, False),
    "tolm_redis_lease_refused": _tolm_redis(100, True),
}
# Warm-up long enough for the state to reach its steady size (the moving window's log fills
# for one window length).
MIN_WARMUP = {"limits_moving": 1.3}


def make_round(shape, call, fixed, keys):
    if shape == "key_route":
        def one_round():
            result = None
            for key in keys:
                result = call(key, fixed)
            return result
    elif shape == "item_key":
        def one_round():
            result = None
            for key in keys:
                result = call(fixed, key)
            return result
    elif shape == "key":
        def one_round():
            result = None
            for key in keys:
                result = call(key)
            return result
    elif shape == "key_weight_blocking":
        def one_round():
            result = None
            for key in keys:
                result = call(key, 1, False)
            return result
    else:
        raise ValueError(shape)
    return one_round


def check_round(shape, call, fixed, keys, is_allowed):
    """Untimed: every key of one more round must still be allowed."""
    for key in keys:
        if shape == "key_route":
            result = call(key, fixed)
        elif shape == "item_key":
            result = call(fixed, key)
        elif shape == "key":
            result = call(key)
        else:
            result = call(key, 1, False)
        if not is_allowed(result):
            raise SystemExit(f"call for key {key!r} was not allowed: {result!r}")


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def measure_time(variant, key_count, sample_seconds, samples, warmup_seconds):
    # One key hit over and over runs the same loop over a list holding that key repeatedly.
    # TOLM_BENCH_KEY_OFFSET: processes run side by side each take keys of their own.
    first = int(os.environ.get("TOLM_BENCH_KEY_OFFSET", "0"))
    keys = [ONE_KEY] * 1000 if key_count == 1 else ipv4_like_keys(key_count, first)
    shape, call, fixed, is_allowed = VARIANTS[variant]("time")
    one_round = make_round(shape, call, fixed, keys)
    one_round()  # every key inserted
    if key_count > 1 and os.environ.get("TOLM_BENCH_KEY_ORDER") == "shuffled":
        # Visit the keys in an order unrelated to the order they were inserted in, as real
        # clients arrive: a table that keeps entries in insertion order would otherwise read
        # them one after another, which no server's traffic does.
        keys = list(keys)
        random.Random(7).shuffle(keys)
        one_round = make_round(shape, call, fixed, keys)

    warmup_seconds = max(warmup_seconds, MIN_WARMUP.get(variant, 0))
    clock = time.process_time_ns
    rounds = 0
    begin = clock()
    while True:
        one_round()
        rounds += 1
        spent = clock() - begin
        if spent >= warmup_seconds * 1e9:
            break
    per_round = spent / rounds
    rounds_per_sample = max(1, math.ceil(sample_seconds * 1e9 / per_round))

    ns_per_call, wall_ns_per_call = [], []
    calls = rounds_per_sample * len(keys)
    for _ in range(samples):
        wall = time.perf_counter_ns()
        begin = clock()
        for _ in range(rounds_per_sample):
            last = one_round()
        ns_per_call.append((clock() - begin) / calls)
        wall_ns_per_call.append((time.perf_counter_ns() - wall) / calls)
    if not is_allowed(last):
        raise SystemExit(f"last call was not allowed: {last!r}")
    check_round(shape, call, fixed, keys, is_allowed)
    # Every check this process made, for a count of round trips per check.
    checks = len(keys) * (1 + rounds + samples * rounds_per_sample + 1)
    return {"ns_per_call": ns_per_call, "wall_ns_per_call": wall_ns_per_call,
            "calls_per_sample": calls, "checks": checks}


def measure_memory(variant, key_count):
    keys = ipv4_like_keys(key_count)
    gc.collect()
    before = resident_bytes()
    shape, call, fixed, is_allowed = VARIANTS[variant]("memory")
    make_round(shape, call, fixed, keys)()
    gc.collect()
    after = resident_bytes()
    return {"bytes_per_key": (after - before) / key_count, "keys": key_count}


def main():
    mode, variant, key_count = sys.argv[1], sys.argv[2], int(sys.argv[3])
    if mode == "time":
        result = measure_time(variant, key_count, float(sys.argv[4]), int(sys.argv[5]),
                              float(sys.argv[6]))
    else:
        result = measure_memory(variant, key_count)
    json.dump(result, sys.stdout)
    sys.stdout.flush()
    # limits' MemoryStorage keeps a timer thread; do not wait for it.
    os._exit(0)


if __name__ == "__main__":
    main()
