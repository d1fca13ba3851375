"""One ASGI server of the HTTP benchmark: a small Starlette app, served by uvicorn (uvloop,
httptools, ``--proxy-headers --forwarded-allow-ips 127.0.0.1``) as ``asgi_app:app``,
configured by the environment:

  BENCH_HTTP_VARIANT  none | tolm | tolm-bare (tolm without headers) | peer (slowapi)
                      | tolm-shared (tolm on the shared region TOLM_BENCH_REGION, every worker
                      one limit) | tolm-redis, tolm-redis-lease, tolm-redis-host (tolm's Redis
                      store, exact, lease mode, and lease mode with the host's region, on
                      BENCH_REDIS_URL) | peer-redis (slowapi on the redis-server BENCH_REDIS_URL)
  BENCH_HTTP_LIMIT    JSON {capacity, refill_rate} for tolm's token bucket and {per_second}
                      (or {per_minute}) for slowapi's fixed window

uvicorn trusts one proxy on loopback, so the load generator's X-Forwarded-For address is the
client's key (scope["client"]) for tolm and for slowapi alike. Both limiters sit in the same
place, as Starlette middleware.
"""

import inspect
import json
import os
from typing import Any, List

from starlette.applications import Starlette
from starlette.middleware import Middleware
from starlette.requests import Request
from starlette.responses import PlainTextResponse
from starlette.routing import Route

VARIANT = os.environ.get("BENCH_HTTP_VARIANT", "none")
LIMIT = json.loads(os.environ.get("BENCH_HTTP_LIMIT", "{}"))


async def home(request: Request) -> PlainTextResponse:
    return PlainTextResponse("ok")


middleware: List[Middleware] = []
state: Any = None

if VARIANT in ("tolm", "tolm-bare"):
    from tolm import limiter
    from tolm.asgi import TolmMiddleware

    engine = limiter("token_bucket", capacity=LIMIT["capacity"], refill_rate=LIMIT["refill_rate"])
    options = {}
    # A build whose middleware has no headers switch sends none: both tolm variants then
    # measure the same thing, and the report says so.
    if "headers" in inspect.signature(TolmMiddleware).parameters:
        options["headers"] = VARIANT == "tolm"
    middleware.append(Middleware(TolmMiddleware, engine, **options))
elif VARIANT == "tolm-shared":
    from tolm import limiter
    from tolm.asgi import TolmMiddleware

    region = os.environ["TOLM_BENCH_REGION"]
    clients = int(os.environ.get("TOLM_BENCH_REGION_CLIENTS", "200000"))
    if "shared" in inspect.signature(limiter).parameters:
        engine = limiter("token_bucket", capacity=LIMIT["capacity"],  # type: ignore[call-arg]
                         refill_rate=LIMIT["refill_rate"], shared=region, max_clients=clients)
        middleware.append(Middleware(TolmMiddleware, engine))
    else:
        # A tree whose friendly limiter has no shared= option yet: the native factory it
        # would call; a bare engine gives the middleware no settings to send headers from.
        import tolm_native

        engine = tolm_native._open("token_bucket", "active", LIMIT["capacity"],
                                   LIMIT["refill_rate"], shared=region, max_clients=clients)
        middleware.append(Middleware(TolmMiddleware, engine, headers=False, legacy_headers=False))
elif VARIANT in ("tolm-redis", "tolm-redis-lease", "tolm-redis-host"):
    # tolm's Redis store: exact (one round trip per request) or lease mode (batches of up to
    # 100 spent in the worker); a generous time budget, so that Redis is measured, not the
    # fallback.
    from tolm import limiter
    from tolm.asgi import TolmMiddleware

    lease = {"lease": 100, "lease_ms": 1000} if VARIANT != "tolm-redis" else {}
    if VARIANT == "tolm-redis-host":
        # The workers' leases in one region of the host (its name beside tolm-shared's).
        lease.update(shared=os.environ["TOLM_BENCH_REGION"] + "-leases",
                     max_clients=int(os.environ["TOLM_BENCH_REGION_CLIENTS"]))
    engine = limiter("token_bucket", capacity=LIMIT["capacity"], refill_rate=LIMIT["refill_rate"],
                     redis=os.environ["BENCH_REDIS_URL"], redis_timeout_ms=1000,
                     redis_prefix="tolm-http:", **lease)
    middleware.append(Middleware(TolmMiddleware, engine))
elif VARIANT in ("peer", "peer-redis"):
    from slowapi import Limiter, _rate_limit_exceeded_handler
    from slowapi.errors import RateLimitExceeded
    from slowapi.middleware import SlowAPIASGIMiddleware
    from slowapi.util import get_remote_address

    rate = f"{LIMIT['per_minute']}/minute" if "per_minute" in LIMIT else f"{LIMIT['per_second']}/second"
    storage = os.environ["BENCH_REDIS_URL"] if VARIANT == "peer-redis" else "memory://"
    state = Limiter(key_func=get_remote_address, default_limits=[rate], storage_uri=storage,
                    headers_enabled=True)
    middleware.append(Middleware(SlowAPIASGIMiddleware))
elif VARIANT != "none":
    raise SystemExit(f"unknown variant {VARIANT!r}")

app = Starlette(routes=[Route("/", home)], middleware=middleware)
if state is not None:
    app.state.limiter = state
    app.add_exception_handler(RateLimitExceeded, _rate_limit_exceeded_handler)  # type: ignore[arg-type]
