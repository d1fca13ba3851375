"""NativeEngine.check on an existing key (token bucket, no api key) beside the floor function
measured in the same run, plus the resident-memory change over a million checks and a hundred
thousand failed constructions."""

import gc
import os
import statistics
import time

import tolm_bench_floor
import tolm_native

BATCH = 200_000
BATCHES = 21


def per_call_ns(function, *args):
    """Median over BATCHES of the per-call time of a loop of BATCH calls."""
    samples = []
    for _ in range(BATCHES):
        start = time.thread_time_ns()
        for _ in range(BATCH):
            function(*args)
        samples.append((time.thread_time_ns() - start) / BATCH)
    return statistics.median(samples)


def nothing(ip, route):
    return None


def resident_kb():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def main():
    gc.disable()
    engine = tolm_native.NativeEngine("token_bucket", "active", 100, 1e9, None, None, "")
    check = engine.check
    check("203.0.113.7", "/api/items")  # the key exists from here on
    floor = tolm_bench_floor.check
    # Same keys, same small ints (remaining 99 from a bucket refilled at once, latency 0).
    expected = floor("203.0.113.7", "/api/items")
    actual = check("203.0.113.7", "/api/items")
    assert list(actual) == list(expected) and list(actual["decision"]) == list(expected["decision"])
    assert actual["decision"]["remaining"] < 256, actual  # a cached small int, as in the floor

    # Interleave so that both see the same machine state; report the medians.
    engine_ns, floor_ns, empty_ns = [], [], []
    for _ in range(3):
        engine_ns.append(per_call_ns(check, "203.0.113.7", "/api/items"))
        floor_ns.append(per_call_ns(floor, "203.0.113.7", "/api/items"))
        empty_ns.append(per_call_ns(nothing, "203.0.113.7", "/api/items"))
    engine_median, floor_median = statistics.median(engine_ns), statistics.median(floor_ns)
    print(f"NativeEngine.check (token bucket, existing key, no api key): {engine_median:7.1f} ns/call")
    print(f"floor (2 str conversions + 2 dicts, cached keys)            : {floor_median:7.1f} ns/call")
    print(f"Python function call, for scale                             : "
          f"{statistics.median(empty_ns):7.1f} ns/call")
    print(f"engine above floor: {engine_median - floor_median:.1f} ns "
          f"(goal: check median <= 350 ns)")

    gc.enable()
    before = resident_kb()
    for _ in range(1_000_000):
        check("203.0.113.7", "/api/items")
    after_checks = resident_kb()
    for _ in range(100_000):
        try:
            tolm_native.NativeEngine("token_bucket", "active", "x", 1, "key", None, "")
        except TypeError:
            pass
    after_failures = resident_kb()
    print(f"resident memory: {before} kB, after 1,000,000 checks {after_checks} kB, "
          f"after 100,000 failed constructions {after_failures} kB")


if __name__ == "__main__":
    main()
