"""The Redis store against a real redis-server: its scripts decide exactly as the in-process
engine for the same requests at the same times, keys live exactly until their client has
recovered, several processes share one limit exactly, and a server that stops, restarts,
stalls or drops the connection is answered as the limiter was told to."""

import asyncio
import json
import os
import random
import shutil
import struct
import subprocess
import sys
import time
from pathlib import Path

import pytest

import redis_server as support

redis = pytest.importorskip("redis", reason="the redis package is not installed "
                                            "(scripts/bootstrap installs it)")

import tolm  # noqa: E402
from tolm import asgi as tolm_asgi  # noqa: E402
from tolm import wsgi as tolm_wsgi  # noqa: E402


@pytest.fixture
def server(tmp_path):
    yield from support.running(tmp_path)


ROOT = Path(__file__).resolve().parents[2]
T0 = 1_700_000_000_000
ALGORITHMS = ("token_bucket", "leaky_bucket", "fixed_window", "sliding_window")


def sequence(seed, steps):
    """Times and clients that cross refill, drain and window edges: gaps of one ms, of the
    window and one ms either side of it, and of the fractional refill intervals."""
    rng = random.Random(seed)
    gaps = [0, 0, 1, 1, 2, 7, 142, 143, 333, 999, 1000, 1001, 1428, 1429, 59999, 60000, 60001]
    now, out = T0, []
    for _ in range(steps):
        now += rng.choice(gaps)
        out.append((now, rng.choice(("a", "b", "a"))))
    return out


def native_decisions(child, algorithm, capacity, rate, steps):
    script = f"""
        import json, tolm_native
        engine = tolm_native.NativeEngine({algorithm!r}, "active", {capacity!r}, {rate!r},
                                          None, None, "")
        out = []
        for now, key in {steps!r}:
            set_clock(now)
            out.append(list(engine._decide(key, "/", None)))
        print(json.dumps(out))
    """
    done = child.run(script)
    assert done.returncode == 0, done.stderr
    return [tuple(row) for row in json.loads(done.stdout)]


SETTINGS = [  # (capacity, rate): whole and fractional capacities, rates that round
    (3, 0.7), (5, 3.3), (2.5, 1 / 3), (10, 7), (1, 0.1),
]


class TestExactness:
    @pytest.mark.parametrize("algorithm", ALGORITHMS)
    def test_same_decisions_as_the_engine(self, server, child, algorithm):
        for seed, (capacity, rate) in enumerate(SETTINGS):
            steps = sequence(seed, 150)
            expected = native_decisions(child, algorithm, capacity, rate, steps)
            # A generous budget and no fallback: every answer must be the script's.
            limiter = tolm.limiter(algorithm, capacity=capacity, refill_rate=rate,
                                   redis=server.url, redis_prefix=f"x{seed}:",
                                   redis_timeout_ms=5000, on_redis_error="refuse")
            got = [limiter._decide(key, "/", None, now_ms=now) for now, key in steps]
            assert limiter.redis_stats["errors"] == 0
            for i, (want, have) in enumerate(zip(expected, got)):
                assert have == want, (algorithm, capacity, rate, i, steps[i])
            limiter.close()

    def test_shadow_and_disabled_modes_answer_as_the_engine(self, server, child):
        steps = [(T0 + i, "a") for i in range(5)]
        for mode in ("shadow", "disabled"):
            done = child.run(f"""
                import json, tolm_native
                engine = tolm_native.NativeEngine("fixed_window", {mode!r}, 2, 0, None, None, "")
                out = []
                for now, key in {steps!r}:
                    set_clock(now)
                    out.append(list(engine._decide(key, "/", None)))
                print(json.dumps(out))
            """)
            expected = [tuple(r) for r in json.loads(done.stdout)]
            limiter = tolm.limiter("fixed_window", mode, capacity=2, refill_rate=0,
                                   redis=server.url, redis_timeout_ms=2000, redis_prefix=mode)
            assert [limiter._decide(k, "/", None, now_ms=t) for t, k in steps] == expected

    def test_costs(self, server):
        # A cost of n takes n units at once and is refused whole when they are not there.
        for algorithm in ALGORITHMS:
            limiter = tolm.limiter(algorithm, capacity=10, refill_rate=1, redis=server.url, redis_timeout_ms=2000)
            admitted = [limiter._decide("c", "/", None, 4, now_ms=T0)[0] & 1 for _ in range(3)]
            assert admitted == [1, 1, 0], algorithm
            assert limiter._decide("c", "/", None, 2, now_ms=T0)[0] & 1 == 1, algorithm
        sliding = tolm.limiter("sliding_window", capacity=10, redis=server.url, redis_timeout_ms=2000)
        with pytest.raises(ValueError, match="whole number"):
            sliding.check("c", "/", cost=1.5)
        for bad in (0, -1, float("nan"), float("inf")):
            with pytest.raises(ValueError, match="cost"):
                sliding.check("c", "/", cost=bad)

    def test_fixed_window_counter_on_the_servers_clock(self, server):
        # On the server's clock the fixed window keeps a bare counter that expires with the
        # window; within one window it must count as the passed-clock state does: refused
        # requests uncounted, a cost over the limit opening the window and taking nothing,
        # fractional costs, and whole costs added to a fractional count.
        rng = random.Random(7)
        steps = [(rng.choice("ab"), rng.choice((1, 1, 2, 3, 0.5, 1.5, 7))) for _ in range(200)]
        steps[:0] = [("c", 7), ("c", 1)]
        window = 60000
        passed = tolm.limiter("fixed_window", capacity=6.9, window_ms=window, redis=server.url,
                              redis_prefix="p:", redis_timeout_ms=2000, on_redis_error="refuse")
        live = tolm.limiter("fixed_window", capacity=6.9, window_ms=window, redis=server.url,
                            redis_prefix="l:", redis_timeout_ms=2000, on_redis_error="refuse")
        for i, (key, cost) in enumerate(steps):
            if i == 100:
                # A new window for every client, on both clocks.
                redis.Redis.from_url(server.url).flushall()
            want = passed._decide(key, "/", None, cost, now_ms=T0)
            have = live._decide(key, "/", None, cost)
            assert have[:2] == want[:2], (i, key, cost)
            # Times left: the whole window at T0, a little less on the live clock.
            for w, h in zip(want[2:], have[2:]):
                assert (w is None) == (h is None) and (h is None or window - 1000 < h <= w), (i, w, h)
        assert live.redis_stats["errors"] == 0

        # A lease on the counter takes its batches from the same count.
        leasing = tolm.limiter("fixed_window", capacity=50, window_ms=window, redis=server.url,
                               redis_prefix="q:", redis_timeout_ms=2000, lease=8, lease_ms=60000)
        assert sum(leasing.check("d", "/")["allowed"] for _ in range(80)) == 50
        assert leasing.redis_stats["calls"] < 50

    def test_fixed_window_counter_reopens_when_its_key_expires(self, server):
        limiter = tolm.limiter("fixed_window", capacity=2, window_ms=400, redis=server.url,
                               redis_timeout_ms=2000, on_redis_error="refuse")
        client = redis.Redis.from_url(server.url)
        assert [limiter._decide("r", "/", None)[0] & 1 for _ in range(2)] == [1, 1]
        outcome, _, admit_after, whole_after = limiter._decide("r", "/", None)
        assert outcome & 1 == 0 and 0 < admit_after == whole_after <= 400
        assert 0 <= client.pttl("tolm:fw:r") < 400
        # The server's own clock expires the key, which no fake clock reaches.
        time.sleep((admit_after + 50) / 1000)  # Real time is the point.
        assert not client.exists("tolm:fw:r")
        outcome, remaining, _, whole_after = limiter._decide("r", "/", None)
        assert outcome & 1 == 1 and remaining == 1 and 350 < whole_after <= 400

    def test_both_runtimes_load_one_script_per_algorithm(self, server):
        # The prelude and each algorithm's text are joined alike in both runtimes: the same
        # digest, which is the one the server computes, so either runtime finds the script the
        # other loaded.
        from tolm._redis import script_source

        admin = redis.Redis.from_url(server.url)
        node = subprocess.run(
            ["node", "-e", "const { scriptSource } = require(process.argv[1]);"
             "const crypto = require('crypto');"
             "console.log(JSON.stringify(process.argv.slice(2).map((a) => crypto.createHash("
             "'sha1').update(scriptSource(a)).digest('hex'))))",
             str(ROOT / "lib" / "redis.js"), *ALGORITHMS], capture_output=True, text=True)
        digests = [admin.script_load(script_source(a)) for a in ALGORITHMS]
        assert len(set(digests)) == len(ALGORITHMS)
        if node.returncode == 0:
            assert json.loads(node.stdout) == digests
        for algorithm, digest in zip(ALGORITHMS, digests):
            limiter = tolm.limiter(algorithm, redis=server.url, redis_timeout_ms=2000)
            assert limiter._script.sha == digest
            limiter.close()
        admin.close()


class TestExpiry:
    def test_keys_live_until_their_client_has_recovered(self, server):
        client = redis.Redis.from_url(server.url)
        cases = [
            # (algorithm, capacity, rate, window_ms, ms until recovered after one admission)
            ("token_bucket", 10, 2, 60000, 500),
            ("leaky_bucket", 10, 4, 60000, 250),
            ("fixed_window", 10, 0, 1500, 1500),
            ("sliding_window", 10, 0, 1500, 1501),
        ]
        for algorithm, capacity, rate, window, lives in cases:
            limiter = tolm.limiter(algorithm, capacity=capacity, refill_rate=rate,
                                   window_ms=window, redis=server.url, redis_timeout_ms=2000,
                                   on_redis_error="refuse")
            limiter.check("e", "/")
            (key,) = client.keys("tolm:*")
            # PTTL counts down on the server's own clock from the moment the script ran.
            assert lives - 200 <= client.pttl(key) <= lives, algorithm
            client.flushall()

    def test_keys_are_kept_on_a_passed_clock(self, server):
        # The server's expiry cannot follow a caller's clock: such keys wait for a check.
        client = redis.Redis.from_url(server.url)
        limiter = tolm.limiter(capacity=2, refill_rate=1, redis=server.url, redis_timeout_ms=2000)
        limiter._decide("p", "/", None, now_ms=T0)
        assert client.pttl("tolm:tb:p") == -1

    def test_a_recovered_bucket_leaves_no_key(self, server):
        client = redis.Redis.from_url(server.url)
        limiter = tolm.limiter(capacity=2, refill_rate=1, redis=server.url, redis_timeout_ms=2000)
        limiter._decide("r", "/", None, now_ms=T0)
        assert client.exists("tolm:tb:r")
        # Refused outright (cost above capacity) once full again: nothing left to keep.
        assert limiter._decide("r", "/", None, 3, now_ms=T0 + 5000)[0] & 1 == 0
        assert not client.exists("tolm:tb:r")

    def test_one_off_clients_all_expire(self, server):
        client = redis.Redis.from_url(server.url)
        for algorithm in ALGORITHMS:
            limiter = tolm.limiter(algorithm, capacity=5, refill_rate=1, redis=server.url, redis_timeout_ms=2000)
            pipe_keys = [f"10.0.{i // 256}.{i % 256}" for i in range(300)]
            for ip in pipe_keys:
                limiter.check(ip, "/")
        keys = client.keys("*")
        assert len(keys) == 1200
        ttls = [client.pttl(k) for k in keys]
        assert all(0 < ttl <= 60001 for ttl in ttls)


WORKER = """
import sys
sys.path[:0] = [{build!r}, {python!r}]
import tolm
limiter = tolm.limiter({algorithm!r}, capacity=40, refill_rate=0, redis={url!r},
                       redis_timeout_ms=2000)
print(sum(limiter.check("shared", "/")["allowed"] for _ in range(30)))
"""


class TestSeveralProcesses:
    @pytest.mark.parametrize("algorithm", ["token_bucket", "fixed_window", "sliding_window",
                                           "leaky_bucket"])
    def test_admit_exactly_the_limit(self, server, algorithm):
        import conftest

        code = WORKER.format(build=str(conftest.BUILD_DIR), python=str(ROOT / "python"),
                             algorithm=algorithm, url=server.url)
        workers = [subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE,
                                    text=True) for _ in range(4)]
        counts = [int(w.communicate(timeout=60)[0]) for w in workers]
        assert all(w.returncode == 0 for w in workers)
        # 120 requests at once against 40: a leaky bucket with no drain takes 40 too.
        assert sum(counts) == 40, counts


LEASE_WORKER = """
import sys
sys.path[:0] = [{build!r}, {python!r}]
import tolm
limiter = tolm.limiter({algorithm!r}, capacity=200, refill_rate=0, redis={url!r},
                       redis_timeout_ms=2000, lease=20, lease_ms=60000)
admitted = sum(limiter.check("shared", "/")["allowed"] for _ in range(120))
print(admitted, limiter.redis_stats["calls"])
"""


HOST_LEASE_WORKER = """
import sys
sys.path[:0] = [{build!r}, {python!r}]
import tolm
limiter = tolm.limiter(capacity=200, refill_rate=0, redis={url!r}, redis_timeout_ms=2000,
                       lease=20, lease_ms=60000, shared={region!r})
admitted = sum(limiter.check("shared", "/")["allowed"] for _ in range(120))
print(admitted, limiter.redis_stats["calls"])
"""
HOST_LEASE_NODE_WORKER = """
const [middleware, addon, url, region] = process.argv.slice(1);
const { limiter } = require(middleware);
const { TolmNode } = require(addon);
const store = limiter({ capacity: 200, refillRate: 0, redis: url, redisTimeoutMs: 2000,
  lease: 20, leaseMs: 60000, shared: region }, { TolmNode });
(async () => {
  let admitted = 0;
  for (let i = 0; i < 120; i += 1) if ((await store.check('shared', '/')).allowed) admitted += 1;
  console.log(admitted, store.redisStats.calls);
  await store.close();
})();
"""


async def _acheck_all(limiter, count):
    return [await limiter.acheck("a", "/") for _ in range(count)]


class TestLease:
    def test_batches_spare_round_trips_and_refusals_are_remembered(self, server):
        limiter = tolm.limiter(capacity=1000, refill_rate=0, redis=server.url, redis_timeout_ms=2000, lease=50,
                               lease_ms=60000, on_redis_error="refuse")
        admitted = sum(limiter.check("l", "/")["allowed"] for _ in range(1100))
        # One holder spends every unit it takes: exactly the limit, and batches of up to
        # 50 that shrink to single units near the end.
        assert admitted == 1000
        calls = limiter.redis_stats["calls"]
        assert calls < 100, calls
        for _ in range(500):
            assert not limiter.check("l", "/")["allowed"]
        assert limiter.redis_stats["calls"] == calls  # the refusal is kept locally
        assert limiter.redis_stats["local"] >= 1000 - calls + 500

    def test_a_full_lease_table_keeps_the_clients_that_come_back(self, server, monkeypatch):
        import tolm._redis

        monkeypatch.setattr(tolm._redis, "_MAX_LEASES", 8)
        limiter = tolm.limiter(capacity=1000, refill_rate=0, redis=server.url, redis_timeout_ms=2000, lease=5,
                               lease_ms=60000, on_redis_error="refuse")
        clients = [f"c{i}" for i in range(8)]
        for client in clients:
            assert limiter.check(client, "/")["allowed"]
        first_round = limiter.redis_stats["calls"]
        # Eight clients in a table of eight, batches of five: each renews its own lease every
        # fifth check, in place.
        for _ in range(20):
            for client in clients:
                assert limiter.check(client, "/")["allowed"]
        assert limiter.redis_stats["calls"] - first_round <= 8 * 4
        # A ninth client makes room by letting the oldest quarter go, not the whole table.
        assert limiter.check("newcomer", "/")["allowed"]
        assert len(limiter._held) == 7
        assert limiter._key("c0", None) not in limiter._held
        assert limiter._key("c7", None) in limiter._held
        # Full again, with one entry expired: a quarter of the room is still made, the oldest
        # going beside the expired one, so the next newcomers scan nothing.
        assert limiter.check("second", "/")["allowed"]
        expired = limiter._held[limiter._key("c5", None)]
        expired[1] = expired[2] = 0.0
        assert limiter.check("third", "/")["allowed"]
        assert len(limiter._held) == 7
        assert limiter._key("c5", None) not in limiter._held
        assert limiter._key("c2", None) not in limiter._held  # the oldest left

    def test_a_refusal_is_kept_only_until_the_client_may_retry(self, server):
        limiter = tolm.limiter("fixed_window", capacity=2, redis=server.url, redis_timeout_ms=2000, lease=10,
                               window_ms=60000, on_redis_error="refuse")
        assert [limiter.check("m", "/")["allowed"] for _ in range(3)] == [True, True, False]
        held = limiter._held[limiter._key("m", None)]
        refused_for = held[2] - time.monotonic()
        assert 55 < refused_for <= 60  # the window's end, not a fixed guess
        # Another client is not affected by that refusal.
        assert limiter.check("n", "/")["allowed"]

    @pytest.mark.parametrize("algorithm", ["token_bucket", "fixed_window", "sliding_window"])
    def test_several_holders_stay_within_the_bound(self, server, algorithm):
        import conftest

        code = LEASE_WORKER.format(build=str(conftest.BUILD_DIR), python=str(ROOT / "python"),
                                   algorithm=algorithm, url=server.url)
        workers = [subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE,
                                    text=True) for _ in range(4)]
        rows = [w.communicate(timeout=60)[0].split() for w in workers]
        admitted = sum(int(r[0]) for r in rows)
        calls = sum(int(r[1]) for r in rows)
        # No refill and one interval: over-admission is impossible (Redis grants no more
        # than the limit) and under-admission is at most holders x k unspent units.
        assert 200 - 4 * 20 <= admitted <= 200, admitted
        assert calls < 480 / 3, calls

    def test_a_hosts_workers_share_its_leases(self, server):
        # Python and Node workers of one host, with one shared region holding the host's
        # leases: the host is one holder, so at most one batch goes unspent, and a refusal
        # one worker got is kept for every worker, a new one included.
        import conftest
        import tolm_native

        region = f"tolm-test-{os.getpid()}-leases"
        tolm_native._remove_shared(region)
        code = HOST_LEASE_WORKER.format(build=str(conftest.BUILD_DIR),
                                        python=str(ROOT / "python"), url=server.url,
                                        region=region)
        commands = [[sys.executable, "-c", code] for _ in range(3)]
        node = shutil.which("node")
        if node is not None:
            commands.append([node, "-e", HOST_LEASE_NODE_WORKER, str(ROOT / "lib" / "middleware.js"),
                             str(conftest.BUILD_DIR / "tolm_native.node"), server.url, region])
        try:
            workers = [subprocess.Popen(c, stdout=subprocess.PIPE, text=True) for c in commands]
            rows = [w.communicate(timeout=60)[0].split() for w in workers]
            assert all(w.returncode == 0 for w in workers), rows
            admitted = sum(int(r[0]) for r in rows)
            calls = sum(int(r[1]) for r in rows)
            assert 200 - 20 <= admitted <= 200, rows
            assert calls < 480 / 3, rows
            late = tolm.limiter(capacity=200, refill_rate=0, redis=server.url,
                                redis_timeout_ms=2000, lease=20, lease_ms=60000, shared=region)
            assert not late.check("shared", "/")["allowed"]
            assert late.redis_stats["calls"] == 0 and late.redis_stats["local"] == 1
        finally:
            tolm_native._remove_shared(region)

    def test_the_host_fetches_its_next_batch_ahead(self, server):
        # The request that takes the host's batch under a quarter fetches the next one, so
        # that the host does not run empty: in sequence, every check after the first is
        # decided from the host's units, on either client.
        import tolm_native

        region = f"tolm-test-{os.getpid()}-ahead"
        for name, run in (("sync", lambda limiter: [limiter.check("a", "/") for _ in range(100)]),
                          ("asyncio", lambda limiter: asyncio.run(_acheck_all(limiter, 100)))):
            tolm_native._remove_shared(region)
            redis.Redis.from_url(server.url).flushall()
            try:
                limiter = tolm.limiter(capacity=1000, refill_rate=0, redis=server.url,
                                       redis_timeout_ms=2000, lease=8, lease_ms=60000,
                                       shared=region)
                answers = run(limiter)
                assert all(a["allowed"] for a in answers), name
                stats = limiter.redis_stats
                # Batches of up to 8, asked for when fewer than 2 are left: about one round
                # trip per 7 checks.
                assert stats["local"] == 99, (name, stats)
                assert stats["calls"] <= 100 / 6 + 2, (name, stats)
            finally:
                tolm_native._remove_shared(region)

    def test_bad_lease_settings(self, server):
        for bad in (0, -1, 1.5, True):
            with pytest.raises(ValueError, match="lease"):
                tolm.limiter(redis=server.url, redis_timeout_ms=2000, lease=bad)
        with pytest.raises(ValueError, match="lease_ms"):
            tolm.limiter(redis=server.url, redis_timeout_ms=2000, lease=5, lease_ms=0)
        with pytest.raises(ValueError, match="give lease"):
            tolm.limiter(redis=server.url, redis_timeout_ms=2000, shared="tolm-test-no-lease")
        with pytest.raises(ValueError, match="max_clients"):
            tolm.limiter(redis=server.url, redis_timeout_ms=2000, lease=5, max_clients=10)


def tokens_left(admin, key):
    """The tokens a token-bucket client's key holds (the first of its two packed doubles)."""
    return struct.unpack("<dd", admin.get(key))[0]


def limiter_on(server, on_error, events=None, **settings):
    settings.setdefault("redis_timeout_ms", 2000)
    limiter = tolm.limiter(capacity=settings.pop("capacity", 2), refill_rate=0,
                           redis=server.url, on_redis_error=on_error,
                           on_redis_event=(lambda kind, error: events.append(kind))
                           if events is not None else None, **settings)
    limiter._retry_after_s = 0  # ask Redis again on the next check
    return limiter


class TestFaults:
    def test_stopped_server_is_answered_by_the_chosen_policy(self, server):
        events = []
        local = limiter_on(server, "local", events)
        refuse = limiter_on(server, "refuse")
        allow = limiter_on(server, "allow")
        assert local.check("f", "/")["allowed"]
        server.stop()
        # The in-process engine keeps the same limit (2) from scratch.
        assert [local.check("f", "/")["allowed"] for _ in range(3)] == [True, True, False]
        assert not refuse.check("f", "/")["allowed"]
        assert refuse.check("f", "/")["reason"] == "token_exhausted"
        assert allow.check("f", "/")["allowed"]
        assert events == ["fallback"]
        stats = local.redis_stats
        assert stats["fallbacks"] == 3 and stats["errors"] == 3 and stats["recoveries"] == 0
        assert not local.redis_available

    def test_restarted_server_is_used_again_and_reloads_the_scripts(self, server):
        events = []
        limiter = limiter_on(server, "refuse", events, capacity=3)
        assert limiter.check("g", "/")["allowed"]
        server.restart()  # same port, empty, no scripts, the old connection dead
        # The dead connection is replaced at once and the script loaded again: no fallback.
        assert [limiter.check("g", "/")["allowed"] for _ in range(4)] == [True] * 3 + [False]
        assert limiter.redis_stats["fallbacks"] == 0 and events == []

    def test_recovery_after_an_outage_is_reported(self, server):
        events = []
        limiter = limiter_on(server, "refuse", events)
        server.stop()
        assert not limiter.check("h", "/")["allowed"]
        server.start()
        assert limiter.check("h", "/")["allowed"]
        assert events == ["fallback", "recovery"]
        assert limiter.redis_stats["recoveries"] == 1 and limiter.redis_available

    def test_flushed_scripts_and_dropped_connections_cost_nothing(self, server):
        admin = redis.Redis.from_url(server.url)
        limiter = limiter_on(server, "refuse", capacity=5)
        assert limiter.check("i", "/")["allowed"]
        admin.script_flush()
        assert limiter.check("i", "/")["allowed"]
        admin.client_kill_filter(_type="normal", skipme=True)
        assert limiter.check("i", "/")["allowed"]
        assert limiter.redis_stats["errors"] == 0
        assert tokens_left(admin, "tolm:tb:i") == 2

    def test_a_connection_dropped_mid_request_is_decided_by_the_policy(self, server):
        # The server ran the dropped request, so sending it again could count it twice: the
        # policy decides it instead, and the next check runs on a new connection.
        proxy = support.DroppingProxy(server.port)
        admin = redis.Redis.from_url(server.url)
        try:
            for on_error, expected in (("refuse", False), ("allow", True), ("local", True)):
                events = []
                limiter = tolm.limiter(capacity=5, refill_rate=0, redis=proxy.url,
                                       redis_prefix=f"{on_error}:", on_redis_error=on_error,
                                       redis_timeout_ms=2000,
                                       on_redis_event=lambda kind, error: events.append(kind))
                limiter._retry_after_s = 0  # ask Redis again on the next check
                assert limiter.check("d", "/")["allowed"]
                proxy.drop_next.set()
                assert limiter.check("d", "/")["allowed"] is expected
                assert events == ["fallback"]
                stats = limiter.redis_stats
                assert (stats["errors"], stats["fallbacks"], stats["calls"]) == (1, 1, 2)
                assert limiter.check("d", "/")["allowed"]
                assert events == ["fallback", "recovery"] and limiter.redis_available
                # Three checks reached the server, each counted once.
                assert tokens_left(admin, f"{on_error}:tb:d") == 2
                limiter.close()
            # The asyncio client alike.
            events = []
            limiter = tolm.limiter(capacity=5, refill_rate=0, redis=proxy.url,
                                   redis_prefix="async:", on_redis_error="refuse",
                                   redis_timeout_ms=2000,
                                   on_redis_event=lambda kind, error: events.append(kind))
            limiter._retry_after_s = 0

            async def run():
                first = (await limiter.acheck("d", "/"))["allowed"]
                proxy.drop_next.set()
                dropped = (await limiter.acheck("d", "/"))["allowed"]
                after = (await limiter.acheck("d", "/"))["allowed"]
                await limiter.aclose()
                return first, dropped, after

            assert asyncio.run(run()) == (True, False, True)
            assert events == ["fallback", "recovery"]
            assert tokens_left(admin, "async:tb:d") == 2
            assert proxy.dropped == 4
        finally:
            proxy.close()
            admin.close()

    def test_a_stalled_server_times_out_within_the_budget(self, server):
        events = []
        limiter = limiter_on(server, "refuse", events, redis_timeout_ms=300, capacity=3)
        assert limiter.check("j", "/")["allowed"]
        server.pause()
        try:
            started = time.monotonic()
            result = limiter.check("j", "/")
            waited = time.monotonic() - started
        finally:
            server.resume()
        assert not result["allowed"] and events == ["fallback"]
        assert waited < 5  # bounded by the budget, not by the stall
        # The server ran the stalled request once it woke: it was counted all the same.
        assert [limiter.check("j", "/")["allowed"] for _ in range(2)] == [True, False]
        assert events == ["fallback", "recovery"]

    def test_asyncio_stall_times_out_too(self, server):
        limiter = limiter_on(server, "allow", redis_timeout_ms=300, capacity=1)

        async def run():
            first = await limiter.acheck("k", "/")
            second = await limiter.acheck("k", "/")
            server.pause()
            try:
                stalled = await limiter.acheck("k", "/")
            finally:
                server.resume()
            await limiter.aclose()
            return first, second, stalled

        first, second, stalled = asyncio.run(run())
        assert first["allowed"] and not second["allowed"] and stalled["allowed"]
        assert limiter.redis_stats["fallbacks"] == 1


class TestCluster:
    @pytest.fixture
    def cluster(self, tmp_path):
        yield from support.running_cluster(tmp_path)

    def test_clients_on_every_node_admit_exactly_their_limit(self, cluster):
        from redis.cluster import RedisCluster

        client = RedisCluster(host="127.0.0.1", port=cluster[0].port, socket_timeout=2)
        for algorithm in ALGORITHMS:
            limiter = tolm.limiter(algorithm, capacity=3, refill_rate=0, redis=client,
                                   on_redis_error="refuse")
            keys = [f"198.51.100.{i}" for i in range(30)]
            admitted = {k: sum(limiter.check(k, "/")["allowed"] for _ in range(5)) for k in keys}
            assert set(admitted.values()) == {3}, algorithm
            assert limiter.redis_stats["errors"] == 0
        # The clients' keys landed on every node, each script touching only its own.
        sizes = [redis.Redis(port=node.port).dbsize() for node in cluster]
        assert all(size > 0 for size in sizes) and sum(sizes) == 120, sizes
        client.close()


class TestBadInput:
    def test_refused_when_built(self, server, tmp_path):
        url = server.url
        with pytest.raises(TypeError, match="redis must be"):
            tolm.limiter(redis=object())
        with pytest.raises(ValueError, match="URL"):
            tolm.limiter(redis="http://127.0.0.1:1/")
        with pytest.raises(TypeError, match="redis_prefix"):
            tolm.limiter(redis=url, redis_prefix=b"tolm:")
        with pytest.raises(ValueError, match="on_redis_error"):
            tolm.limiter(redis=url, on_redis_error="ignore")
        with pytest.raises(ValueError, match="redis_timeout_ms"):
            tolm.limiter(redis=url, redis_timeout_ms=0)
        with pytest.raises(ValueError, match="window_ms"):
            tolm.limiter(redis=url, window_ms=0)
        with pytest.raises(ConnectionError, match="not reachable"):
            tolm.limiter(redis=f"redis://127.0.0.1:{support.free_port()}/0")

    def test_server_without_scripting(self, tmp_path):
        if support.REDIS_SERVER is None:
            pytest.skip("redis-server is not installed")
        server = support.RedisServer(str(tmp_path))
        server.start()
        try:
            redis.Redis.from_url(server.url).acl_setuser(
                "default", enabled=True, nopass=True, commands=["+@all", "-@scripting"],
                keys=["*"], channels=["*"], reset=False)
            with pytest.raises(ValueError, match="scripting"):
                tolm.limiter(redis=server.url, redis_timeout_ms=2000)
        finally:
            server.stop()

    def test_middleware_needs_the_matching_client(self, server):
        sync_only = tolm.limiter(redis=redis.Redis.from_url(server.url))
        async_only = tolm.limiter(redis=redis.asyncio.Redis.from_url(server.url))
        with pytest.raises(TypeError, match="synchronous"):
            tolm_asgi.TolmMiddleware(lambda *a: None, sync_only)
        with pytest.raises(TypeError, match="asyncio"):
            tolm_wsgi.TolmMiddleware(lambda e, s: [], async_only)


class TestMiddleware:
    def test_wsgi_blocks_on_redis(self, server):
        limiter = tolm.limiter("fixed_window", capacity=2, redis=server.url, redis_timeout_ms=2000)
        app = tolm_wsgi.TolmMiddleware(lambda e, start: (start("200 OK", []), [b"ok"])[1],
                                       limiter)
        statuses = []
        for _ in range(3):
            app({"REMOTE_ADDR": "192.0.2.1", "PATH_INFO": "/"},
                lambda status, headers, *rest: statuses.append((status, dict(headers))))
        assert [s for s, _ in statuses] == ["200 OK", "200 OK", "429 Too Many Requests"]
        assert statuses[0][1]["RateLimit"].startswith('"fixed_window";r=1')

    def test_asgi_awaits_redis(self, server):
        limiter = tolm.limiter("fixed_window", capacity=1, redis=server.url, redis_timeout_ms=2000)

        async def inner(scope, receive, send):
            await send({"type": "http.response.start", "status": 200, "headers": []})
            await send({"type": "http.response.body", "body": b"ok"})

        app = tolm_asgi.TolmMiddleware(inner, limiter)

        async def run():
            statuses = []

            async def send(message):
                if message["type"] == "http.response.start":
                    statuses.append(message["status"])

            for _ in range(2):
                await app({"type": "http", "path": "/", "client": ("192.0.2.2", 1)},
                          None, send)
            return statuses

        assert asyncio.run(run()) == [200, 429]
