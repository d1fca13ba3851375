"""Flask behind tolm: each customer holding an issued API key may send 20 requests at once,
then 5 per second; a request without a valid key is limited by its client address (an IPv6
client by its /56 network). Refused requests get 429 with Retry-After before Flask sees them.

The API key a client sends is checked against the issued keys BEFORE it becomes a rate-limit
key: the limit follows the customer the key belongs to. A key that is merely sent (any text a
client can make up) is never a rate-limit key, or a client would get a fresh allowance with
every new value.

    pip install . flask            # from the repository root
    TOLM_API_KEYS='alice=k-alice-4f9c2e,bob=k-bob-81d07a' python examples/flask_app.py
    curl -i -H 'X-Api-Key: k-alice-4f9c2e' http://127.0.0.1:5000/
"""

import hashlib
import os
from typing import Dict, Optional

from flask import Flask, jsonify, request

from tolm import limiter
from tolm.wsgi import TolmMiddleware


def issued_keys(spec: str) -> Dict[str, str]:
    """{sha256 of an issued key: its owner} from "owner=key,owner=key". Only digests are kept,
    so a lookup compares digests, which tells an attacker nothing about the keys."""
    table = {}
    for pair in filter(None, (p.strip() for p in spec.split(","))):
        owner, _, key = pair.partition("=")
        if owner and key:
            table[hashlib.sha256(key.encode()).hexdigest()] = owner
    return table


ISSUED = issued_keys(os.environ.get("TOLM_API_KEYS", ""))


def customer(environ: Dict[str, object]) -> Optional[str]:
    """The owner of a valid X-Api-Key; None (limit by address) for a missing or unknown key."""
    presented = environ.get("HTTP_X_API_KEY")
    if not isinstance(presented, str) or not presented:
        return None
    digest = hashlib.sha256(presented.encode("utf-8", "surrogateescape")).hexdigest()
    return ISSUED.get(digest)


app = Flask(__name__)
app.wsgi_app = TolmMiddleware(  # type: ignore[method-assign]
    app.wsgi_app,
    limiter("token_bucket", capacity=20, refill_rate=5),
    identity=customer,
)
# Behind one reverse proxy, let REMOTE_ADDR be the address that proxy saw (name the hop
# count, never trust every X-Forwarded-For entry):
#   from werkzeug.middleware.proxy_fix import ProxyFix
#   app.wsgi_app = ProxyFix(app.wsgi_app, x_for=1)  # outermost, so it runs before tolm


@app.get("/")
def index():  # type: ignore[no-untyped-def]
    result = request.environ["tolm.decision"]
    return jsonify(hello=customer(request.environ) or "anonymous",
                   remaining=result["remaining"])


if __name__ == "__main__":
    app.run(host="127.0.0.1", port=int(os.environ.get("PORT", "5000")))
