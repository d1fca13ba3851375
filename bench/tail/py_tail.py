"""Per-call latency of one Python limiter under many clients, in a process of its own
(started by bench/tail/measure.py).

    py_tail.py VARIANT CLIENTS WARMUP_SECONDS MIN_WINDOW MAX_WINDOW MAX_CALLS OUT_DIR

The limiter and its call are those of the throughput benchmark (bench/peers/py_child.py,
imported). CLIENTS distinct keys are inserted first (no collection is forced afterwards),
a warm-up follows, then the measured window: every tenth call comes from a key never seen
before, the other nine from the live keys in a fixed pseudo-random order. Each call is timed
on its own with time.perf_counter_ns and its nanoseconds stored in a preallocated array, so
nothing on the timed path allocates a container.

The window lasts MIN_WINDOW seconds; a limiter that keeps its clients in objects the
collector tracks gets more, up to MAX_WINDOW, until a full (generation-2) collection has
happened in it: with a million clients such collections are rare (the collector waits for
the tracked objects to grow by a quarter), and a window without one would leave out the
pause a server of that limiter does meet.

Writes OUT_DIR/VARIANT.lat (int64 nanoseconds per call) and OUT_DIR/VARIANT.blocks (int64:
the wall clock at the start of every block of 1024 calls and at the end, then this thread's
CPU clock at the same moments) and prints a JSON summary: the timer's own cost, the window,
the collector's work in it (collections per generation from gc.get_stats, pauses from
gc.callbacks), involuntary context switches and the load average.
"""

import gc
import json
import mmap
import os
import random
import resource
import sys
import time
from array import array

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "peers"))
import py_child  # noqa: E402  the variant table shared with the throughput benchmark

FRESH_EVERY = 10  # one call in ten is from a never-seen key
BLOCK_SHIFT = 10  # the timeline keeps one timestamp per 1024 calls
BLOCK_MASK = (1 << BLOCK_SHIFT) - 1
PICKS = 1 << 20  # length of the repeating pseudo-random order over the live keys
SEED = 20240613
TIMER_PAIRS = 1_000_000
GC_EVENTS = 1 << 20  # collections recorded with their times; counting never stops
GC_REPORTED_NS = 100_000  # collections at least this long are listed one by one
EXTEND_MIN_TRACKED_PER_KEY = 0.5
TRACKED_SAMPLE = 50_000

CALLS = {
    "key_route": "call(key, fixed)",
    "item_key": "call(fixed, key)",
    "key": "call(key)",
    "key_weight_blocking": "call(key, 1, False)",
}

# One loop per call shape, identical but for the call itself. The key is chosen before the
# first clock read and the latency stored after the second, so the timed span holds one call
# and one clock read. A fresh key is built here, untimed, as a server builds it from a request.
LOOP = """
def loop(call, fixed, live, picks, lat, timeline, cputime, first, stop, fresh, deadline, clock,
         thread_clock):
    mask = len(picks) - 1
    i = first
    while i < stop:
        if not i & BLOCK_MASK:
            now = timeline[i >> BLOCK_SHIFT] = clock()
            cputime[i >> BLOCK_SHIFT] = thread_clock()
            if now > deadline:
                break
        if i % FRESH_EVERY == FRESH_EVERY - 1:
            key = f"{11 + (fresh >> 24)}.{(fresh >> 16) & 255}.{(fresh >> 8) & 255}.{fresh & 255}"
            fresh += 1
        else:
            key = live[picks[i & mask]]
        t0 = clock()
        CALL
        t1 = clock()
        lat[i] = t1 - t0
        i += 1
    return i, fresh
"""

def fresh_key(n):
    return f"{11 + (n >> 24)}.{(n >> 16) & 255}.{(n >> 8) & 255}.{n & 255}"


def make_loop(shape):
    source = LOOP.replace("CALL", CALLS[shape])
    scope = {"FRESH_EVERY": FRESH_EVERY, "BLOCK_SHIFT": BLOCK_SHIFT, "BLOCK_MASK": BLOCK_MASK}
    exec(compile(source, f"<tail loop {shape}>", "exec"), scope)
    return scope["loop"]


def percentile(sorted_values, fraction):
    return sorted_values[min(len(sorted_values) - 1, int(fraction * len(sorted_values)))]


def timer_cost(clock):
    """Back-to-back readings, stored the way the loop stores a latency."""
    pairs = array("q", bytes(8 * TIMER_PAIRS))
    for i in range(TIMER_PAIRS):
        t0 = clock()
        t1 = clock()
        pairs[i] = t1 - t0
    ordered = sorted(pairs)
    return {"median_ns": percentile(ordered, 0.5), "p999_ns": percentile(ordered, 0.999),
            "max_ns": ordered[-1], "pairs": TIMER_PAIRS}


class GcRecorder:
    """Times every collection through gc.callbacks into preallocated arrays."""

    def __init__(self, clock):
        self.clock = clock
        self.events = array("q", bytes(8 * 3 * GC_EVENTS))
        self.count = 0
        self.full = 0
        self.started = 0

    def __call__(self, phase, info):
        now = self.clock()
        if phase == "start":
            self.started = now
            return
        n = self.count
        if n < GC_EVENTS:
            self.events[3 * n] = info["generation"]
            self.events[3 * n + 1] = self.started
            self.events[3 * n + 2] = now
        self.count = n + 1
        if info["generation"] == 2:
            self.full += 1

    def summary(self, begin):
        generations = {}
        listed = []
        for n in range(min(self.count, GC_EVENTS)):
            generation, start, end = self.events[3 * n: 3 * n + 3]
            cell = generations.setdefault(str(generation), {"max_ns": 0, "total_ns": 0})
            cell["max_ns"] = max(cell["max_ns"], end - start)
            cell["total_ns"] += end - start
            if end - start >= GC_REPORTED_NS:
                listed.append([f"gen{generation}", start - begin, end - start])
        return generations, listed, self.count > GC_EVENTS


def zeroed_int64(count):
    """An int64 array whose pages the kernel maps on first store: the stores happen outside
    the timed span, and a run that stops early never touches the rest."""
    return memoryview(mmap.mmap(-1, 8 * count)).cast("q")


def main():
    variant, clients = sys.argv[1], int(sys.argv[2])
    warmup_seconds, min_window, max_window = float(sys.argv[3]), float(sys.argv[4]), float(sys.argv[5])
    max_calls, out_dir = int(sys.argv[6]), sys.argv[7]
    load_start = os.getloadavg()[0]
    clock = time.perf_counter_ns
    timer = timer_cost(clock)

    # A tuple of strings holds nothing the collector tracks; it is untracked at the first
    # collection, so the harness adds no work to the collections measured below.
    live = tuple(py_child.ipv4_like_keys(clients))
    rng = random.Random(SEED)
    picks = array("I", (rng.randrange(clients) for _ in range(PICKS)))
    lat = zeroed_int64(max_calls)
    # Wall clock and this thread's CPU clock at the start of every block of calls, and once
    # more at the end: a slow call in a block whose wall time far exceeds its CPU time was
    # off the processor (preempted, or waiting for the GIL), not working.
    timeline = zeroed_int64((max_calls >> BLOCK_SHIFT) + 2)
    cputime = zeroed_int64(len(timeline))

    shape, call, fixed, is_allowed = py_child.VARIANTS[variant]("time")
    loop = make_loop(shape)
    thread_clock = time.thread_time_ns
    # Every live key inserted; the first few between two collections, to count the objects
    # the limiter keeps per client. None is forced after the rest: the window starts where
    # the inserts left the collector, somewhere in its cycle as a server's would be.
    sample = min(clients, TRACKED_SAMPLE)
    setup_begin = clock()
    gc.collect()
    tracked_before = len(gc.get_objects())
    py_child.make_round(shape, call, fixed, live[:sample])()
    gc.collect()
    tracked_per_key = (len(gc.get_objects()) - tracked_before) / sample
    py_child.make_round(shape, call, fixed, live[sample:])()
    setup_seconds = (clock() - setup_begin) / 1e9

    warmup_seconds = max(warmup_seconds, py_child.MIN_WARMUP.get(variant, 0))
    _, fresh = loop(call, fixed, live, picks, lat, timeline, cputime, 0, max_calls, 0,
                    clock() + int(warmup_seconds * 1e9), clock, thread_clock)
    fresh_before = fresh

    recorder = GcRecorder(clock)
    gc.callbacks.append(recorder)
    stats_before = gc.get_stats()
    usage_before = resource.getrusage(resource.RUSAGE_THREAD)
    begin = clock()
    calls, fresh = loop(call, fixed, live, picks, lat, timeline, cputime, 0, max_calls, fresh,
                        begin + int(min_window * 1e9), clock, thread_clock)
    # A limiter whose clients live in objects the collector tracks gets more time, a second
    # at a time, until a full collection has happened in the window.
    extended = tracked_per_key >= EXTEND_MIN_TRACKED_PER_KEY
    last = begin + int(max_window * 1e9)
    while extended and recorder.full == 0 and calls < max_calls and clock() < last:
        calls, fresh = loop(call, fixed, live, picks, lat, timeline, cputime, calls, max_calls,
                            fresh, min(last, clock() + 1_000_000_000), clock, thread_clock)
    blocks = (calls + BLOCK_MASK) >> BLOCK_SHIFT
    end = timeline[blocks] = clock()
    cputime[blocks] = thread_clock()
    usage_after = resource.getrusage(resource.RUSAGE_THREAD)
    stats_after = gc.get_stats()
    gc.callbacks.remove(recorder)
    begin = timeline[0]

    # What one full collection of this heap costs, forced once after the window (reported
    # apart from the percentiles).
    forced = clock()
    gc.collect()
    forced = clock() - forced

    # Untimed: live keys and the window's fresh keys must still be allowed.
    sample = list(live[:1000]) + [fresh_key(n) for n in range(fresh_before, fresh, 97)]
    py_child.check_round(shape, call, fixed, sample, is_allowed)

    with open(os.path.join(out_dir, f"{variant}.lat"), "wb") as out:
        out.write(lat[:calls])
    with open(os.path.join(out_dir, f"{variant}.blocks"), "wb") as out:
        out.write(timeline[:blocks + 1])
        out.write(cputime[:blocks + 1])

    generations, listed, truncated = recorder.summary(begin)
    collections = {str(g): stats_after[g]["collections"] - stats_before[g]["collections"]
                   for g in range(len(stats_after))}
    for g, cell in generations.items():
        cell["count"] = collections.get(g, 0)
    result = {
        "runtime": "Python", "variant": variant, "clients": clients,
        "timer": dict(timer, clock="time.perf_counter_ns"),
        "setup_seconds": round(setup_seconds, 2), "warmup_seconds": warmup_seconds,
        "window_ns": end - begin, "window_begin_ns": begin, "calls": calls,
        "tracked_objects_per_key": round(tracked_per_key, 2), "window_extended": extended,
        "fresh_keys_before_window": fresh_before, "fresh_keys_in_window": fresh - fresh_before,
        "fresh_every": FRESH_EVERY, "block_calls": 1 << BLOCK_SHIFT,
        "gc": {"collections": collections, "pauses": generations, "full": collections.get("2", 0),
               "listed": listed, "events_truncated": truncated, "forced_full_ns": forced,
               "listed_min_ns": GC_REPORTED_NS},
        "involuntary_switches": usage_after.ru_nivcsw - usage_before.ru_nivcsw,
        "cpu_share": (cputime[blocks] - cputime[0]) / (end - begin),
        "cpu_share_of": "main thread",
        "load_average": [load_start, os.getloadavg()[0]],
    }
    json.dump(result, sys.stdout)
    sys.stdout.flush()
    # limits' MemoryStorage keeps a timer thread; do not wait for it.
    os._exit(0)


if __name__ == "__main__":
    main()
