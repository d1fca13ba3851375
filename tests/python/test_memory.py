"""Calls that succeed and calls that fail leave nothing behind: the process's resident memory
stays flat over a million checks and a hundred thousand failed constructions."""

import os

import pytest

from tolm_native import NativeEngine

# Under AddressSanitizer freed memory sits in quarantine, so resident memory grows by design.
pytestmark = pytest.mark.skipif(os.environ.get("TOLM_SANITIZED") == "1",
                                reason="resident memory is not flat under a sanitizer")

PAGE_KB = os.sysconf("SC_PAGE_SIZE") // 1024
ALLOWED_GROWTH_KB = 4096  # one leaked 32-byte object per call would be far above this


def resident_kb():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE_KB


def growth_kb(action, count):
    action(count // 10)  # settle allocator pools and caches first
    before = resident_kb()
    action(count)
    return resident_kb() - before


def test_checks_keep_memory_flat():
    engine = NativeEngine("token_bucket", "active", 1e12, 1e6, None, None, "")
    other = NativeEngine("sliding_window", "shadow", 2, 0, "key", "debug", "http://backend")
    check, check_refused = engine.check, other.check

    def run(count):
        for _ in range(count // 2):
            check("10.0.0.1", "/api/items")
            check_refused("10.0.0.2", "/api/items", "user-1")

    assert growth_kb(run, 1_000_000) < ALLOWED_GROWTH_KB


BAD_CONSTRUCTIONS = [
    ((), {}),  # binding: missing arguments
    (("token_bucket", "active", 1, 1, None, None, "", "extra"), {}),  # too many
    (("token_bucket", "active", 1, 1, None, None), {"url": ""}),  # unknown keyword
    (("token_bucket", "active", "1", 1, None, None, ""), {}),  # labelled float TypeError
    (("token_bucket", "active", 1, 1, "key", "debug", None), {}),  # last one, after six converted
    (("token_bucket", "active", 2 ** 2000, 1, None, None, ""), {}),  # unlabelled OverflowError
]


def test_failed_calls_keep_memory_flat():
    engine = NativeEngine("token_bucket", "active", 10, 1, None, None, "")

    def run(count):
        for i in range(count // len(BAD_CONSTRUCTIONS)):
            for args, kwargs in BAD_CONSTRUCTIONS:
                try:
                    NativeEngine(*args, **kwargs)
                except (TypeError, OverflowError):
                    pass
            try:
                engine.check("10.0.0.1", "/", b"identity")
            except TypeError:
                pass

    assert growth_kb(run, 100_000) < ALLOWED_GROWTH_KB
