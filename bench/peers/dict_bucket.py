"""The limiter a Python user could write in ten minutes: a token bucket per key in a plain
dict, returning the same nested dictionary as NativeEngine.check. It is the baseline the
benchmark holds tolm against, so it does the same observable work: it reads the wall clock,
refills, decides, and reports the route, the remaining whole tokens and the latency."""

import time


class DictTokenBucket:
    def __init__(self, capacity, refill_rate):
        self.capacity = float(capacity)
        self.refill_rate = float(refill_rate)
        self.buckets = {}

    def check(self, ip, route, identity=None):
        started = time.time()
        key = ip if identity is None else identity
        state = self.buckets.get(key)
        if state is None:
            tokens = self.capacity
            state = self.buckets[key] = [tokens, started]
        else:
            tokens = state[0] + (started - state[1]) * self.refill_rate
            if tokens > self.capacity:
                tokens = self.capacity
            state[1] = started
        if tokens >= 1.0:
            state[0] = tokens - 1.0
            allowed, decision, reason = True, "allow", "within_limit"
        else:
            state[0] = tokens
            allowed, decision, reason = False, "block", "token_exhausted"
        return {
            "allowed": allowed,
            "would_block": not allowed,
            "reason": reason,
            "decision": {
                "decision": decision,
                "reason": reason,
                "algorithm": "token_bucket",
                "route": route,
                "remaining": int(state[0]),
                "latency_ms": int((time.time() - started) * 1000),
            },
        }
