"""One ASGI server of the HTTP benchmark: a small Starlette app, served by uvicorn (uvloop,
httptools, ``--proxy-headers --forwarded-allow-ips 127.0.0.1``) as ``asgi_app:app``,
configured by the environment:

  BENCH_HTTP_VARIANT  none | tolm | tolm-bare (tolm without headers) | peer (slowapi)
  BENCH_HTTP_LIMIT    JSON {capacity, refill_rate} for tolm's token bucket and {per_second}
                      for slowapi's one-second fixed window

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
elif VARIANT == "peer":
    from slowapi import Limiter, _rate_limit_exceeded_handler
    from slowapi.errors import RateLimitExceeded
    from slowapi.middleware import SlowAPIASGIMiddleware
    from slowapi.util import get_remote_address

    state = Limiter(key_func=get_remote_address, default_limits=[f"{LIMIT['per_second']}/second"],
                    storage_uri="memory://", headers_enabled=True)
    middleware.append(Middleware(SlowAPIASGIMiddleware))
elif VARIANT != "none":
    raise SystemExit(f"unknown variant {VARIANT!r}")

app = Starlette(routes=[Route("/", home)], middleware=middleware)
if state is not None:
    app.state.limiter = state
    app.add_exception_handler(RateLimitExceeded, _rate_limit_exceeded_handler)  # type: ignore[arg-type]
