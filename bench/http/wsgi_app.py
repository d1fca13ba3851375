"""One WSGI server of the HTTP benchmark: a small Flask app, served by gunicorn as
``gunicorn ... wsgi_app:app``, configured by the environment:

  BENCH_HTTP_VARIANT  none | tolm | tolm-bare (tolm without headers) | peer (flask-limiter)
                      | tolm-shared (tolm on the shared region TOLM_BENCH_REGION, every worker
                      one limit) | tolm-redis, tolm-redis-lease, tolm-redis-host (tolm's Redis
                      store, exact, lease mode, and lease mode with the host's region, on
                      BENCH_REDIS_URL) | peer-redis (flask-limiter on the redis-server BENCH_REDIS_URL)
  BENCH_HTTP_LIMIT    JSON {capacity, refill_rate} for tolm's token bucket and {per_second}
                      (or {per_minute}) for flask-limiter's fixed window

Every variant sits behind werkzeug's ProxyFix with one trusted hop, so the load generator's
X-Forwarded-For address is the client's key for tolm and for flask-limiter alike.
"""

import inspect
import json
import os

from flask import Flask
from werkzeug.middleware.proxy_fix import ProxyFix

VARIANT = os.environ.get("BENCH_HTTP_VARIANT", "none")
LIMIT = json.loads(os.environ.get("BENCH_HTTP_LIMIT", "{}"))

app = Flask(__name__)


@app.get("/")
def home() -> str:
    return "ok"


if VARIANT in ("tolm", "tolm-bare"):
    from tolm import limiter
    from tolm.wsgi import TolmMiddleware

    engine = limiter("token_bucket", capacity=LIMIT["capacity"], refill_rate=LIMIT["refill_rate"])
    # A build whose middleware has no headers switch sends none: both tolm variants then
    # measure the same thing, and the report says so.
    if "headers" in inspect.signature(TolmMiddleware).parameters:
        app.wsgi_app = TolmMiddleware(app.wsgi_app, engine,  # type: ignore[call-arg]
                                      headers=VARIANT == "tolm")
    else:
        app.wsgi_app = TolmMiddleware(app.wsgi_app, engine)  # type: ignore[method-assign]
elif VARIANT == "tolm-shared":
    from tolm import limiter
    from tolm.wsgi import TolmMiddleware

    region = os.environ["TOLM_BENCH_REGION"]
    clients = int(os.environ.get("TOLM_BENCH_REGION_CLIENTS", "200000"))
    if "shared" in inspect.signature(limiter).parameters:
        engine = limiter("token_bucket", capacity=LIMIT["capacity"],  # type: ignore[call-arg]
                         refill_rate=LIMIT["refill_rate"], shared=region, max_clients=clients)
        app.wsgi_app = TolmMiddleware(app.wsgi_app, engine)  # type: ignore[method-assign]
    else:
        # A tree whose friendly limiter has no shared= option yet: the native factory it
        # would call; a bare engine gives the middleware no settings to send headers from.
        import tolm_native

        engine = tolm_native._open("token_bucket", "active", LIMIT["capacity"],
                                   LIMIT["refill_rate"], shared=region, max_clients=clients)
        app.wsgi_app = TolmMiddleware(app.wsgi_app, engine, headers=False,  # type: ignore[method-assign]
                                      legacy_headers=False)
elif VARIANT in ("tolm-redis", "tolm-redis-lease", "tolm-redis-host"):
    # tolm's Redis store: exact (one round trip per request) or lease mode (batches of up to
    # 100 spent in the worker); a generous time budget, so that Redis is measured, not the
    # fallback.
    from tolm import limiter
    from tolm.wsgi import TolmMiddleware

    lease = {"lease": 100, "lease_ms": 1000} if VARIANT != "tolm-redis" else {}
    if VARIANT == "tolm-redis-host":
        # The workers' leases in one region of the host (its name beside tolm-shared's).
        lease.update(shared=os.environ["TOLM_BENCH_REGION"] + "-leases",
                     max_clients=int(os.environ["TOLM_BENCH_REGION_CLIENTS"]))
    engine = limiter("token_bucket", capacity=LIMIT["capacity"], refill_rate=LIMIT["refill_rate"],
                     redis=os.environ["BENCH_REDIS_URL"], redis_timeout_ms=1000,
                     redis_prefix="tolm-http:", **lease)
    app.wsgi_app = TolmMiddleware(app.wsgi_app, engine)  # type: ignore[method-assign]
elif VARIANT in ("peer", "peer-redis"):
    from flask_limiter import Limiter
    from flask_limiter.util import get_remote_address

    rate = (f"{LIMIT['per_minute']} per minute" if "per_minute" in LIMIT
            else f"{LIMIT['per_second']} per second")
    storage = os.environ["BENCH_REDIS_URL"] if VARIANT == "peer-redis" else "memory://"
    Limiter(get_remote_address, app=app, default_limits=[rate], storage_uri=storage,
            headers_enabled=True)
elif VARIANT != "none":
    raise SystemExit(f"unknown variant {VARIANT!r}")

app.wsgi_app = ProxyFix(app.wsgi_app, x_for=1)  # type: ignore[method-assign]
