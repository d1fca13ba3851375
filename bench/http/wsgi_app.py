"""One WSGI server of the HTTP benchmark: a small Flask app, served by gunicorn as
``gunicorn ... wsgi_app:app``, configured by the environment:

  BENCH_HTTP_VARIANT  none | tolm | tolm-bare (tolm without headers) | peer (flask-limiter)
  BENCH_HTTP_LIMIT    JSON {capacity, refill_rate} for tolm's token bucket and {per_second}
                      for flask-limiter's one-second fixed window

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
elif VARIANT == "peer":
    from flask_limiter import Limiter
    from flask_limiter.util import get_remote_address

    Limiter(get_remote_address, app=app, default_limits=[f"{LIMIT['per_second']} per second"],
            storage_uri="memory://", headers_enabled=True)
elif VARIANT != "none":
    raise SystemExit(f"unknown variant {VARIANT!r}")

app.wsgi_app = ProxyFix(app.wsgi_app, x_for=1)  # type: ignore[method-assign]
