"""The Python servers of the framework benchmark (bench/http/frameworks.py): one route, limited
per route the way each framework's users do it, configured by the environment:

  BENCH_FW_APP      flask (served by gunicorn) | fastapi (served by uvicorn)
  BENCH_FW_VARIANT  none | tolm (tolm.flask's @limiter.limit, tolm.fastapi's RateLimit
                    dependency) | peer (flask-limiter's @limiter.limit, slowapi's @limiter.limit)

The limit is far above what the server can answer, so every request is admitted and the figure
is what the check and its headers cost an admitted request.
"""

import os

APP = os.environ.get("BENCH_FW_APP", "flask")
VARIANT = os.environ.get("BENCH_FW_VARIANT", "none")
PER_SECOND = 1_000_000_000

if VARIANT not in ("none", "tolm", "peer"):
    raise SystemExit(f"unknown variant {VARIANT!r}")

if APP == "flask":
    from flask import Flask

    app = Flask(__name__)

    def home() -> str:
        return "ok"

    if VARIANT == "tolm":
        import tolm
        from tolm.flask import Limiter

        limiter = Limiter(app)
        home = limiter.limit(tolm.limiter(capacity=PER_SECOND, refill_rate=PER_SECOND))(home)
    elif VARIANT == "peer":
        from flask_limiter import Limiter as PeerLimiter
        from flask_limiter.util import get_remote_address

        peer = PeerLimiter(get_remote_address, app=app, storage_uri="memory://",
                           headers_enabled=True)
        home = peer.limit(f"{PER_SECOND} per second")(home)
    app.add_url_rule("/", view_func=home)
elif APP == "fastapi":
    from fastapi import Depends, FastAPI, Request, Response

    app = FastAPI()
    if VARIANT == "tolm":
        import tolm
        from tolm.fastapi import RateLimit

        limit = RateLimit(tolm.limiter(capacity=PER_SECOND, refill_rate=PER_SECOND))

        @app.get("/", dependencies=[Depends(limit)])
        async def home() -> str:
            return "ok"
    elif VARIANT == "peer":
        from slowapi import Limiter as PeerLimiter, _rate_limit_exceeded_handler
        from slowapi.errors import RateLimitExceeded
        from slowapi.util import get_remote_address

        peer = PeerLimiter(key_func=get_remote_address, storage_uri="memory://",
                           headers_enabled=True)
        app.state.limiter = peer
        app.add_exception_handler(RateLimitExceeded, _rate_limit_exceeded_handler)

        @app.get("/")
        @peer.limit(f"{PER_SECOND}/second")
        async def home(request: Request, response: Response) -> str:
            return "ok"
    else:
        @app.get("/")
        async def home() -> str:
            return "ok"
else:
    raise SystemExit(f"unknown app {APP!r}")
