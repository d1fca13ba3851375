"""Flask with the tolm.flask extension: every signed-in user (else every client address) gets
20 requests at once and 5 more per second; the login view has a tighter limit of its own, and
the health check none. The identity is read from Flask's session, inside the request context.

    pip install . flask            # from the repository root
    FLASK_SECRET_KEY=change-me python examples/flask_extension.py
    curl -i -c jar http://127.0.0.1:5000/login/alice -X POST
    curl -i -b jar http://127.0.0.1:5000/
"""

import os

from flask import Flask, g, session

import tolm
from tolm.flask import Limiter

limiter = Limiter(
    default=tolm.limiter("token_bucket", capacity=20, refill_rate=5),
    # The session is signed by Flask: its user is verified, never a value the client made up.
    identity=lambda request: session.get("user"),
)

app = Flask(__name__)
app.secret_key = os.environ.get("FLASK_SECRET_KEY", "dev only: set FLASK_SECRET_KEY")
limiter.init_app(app)


@app.get("/")
def index():  # type: ignore[no-untyped-def]
    return {"hello": session.get("user", "anonymous"), "remaining": g.tolm["remaining"]}


@app.post("/login/<name>")
@limiter.limit(tolm.limiter("fixed_window", capacity=5))  # 5 tries per minute per address
def login(name: str):  # type: ignore[no-untyped-def]
    session["user"] = name  # stands for a real password check
    return {"signed_in": name}


@app.get("/health")
@limiter.exempt
def health():  # type: ignore[no-untyped-def]
    return "ok"


if __name__ == "__main__":
    app.run(host="127.0.0.1", port=int(os.environ.get("PORT", "5000")))
