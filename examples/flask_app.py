"""Flask behind tolm: each API key (or, without one, each client address) may send 20
requests at once, then 5 per second. Refused requests get 429 before Flask sees them.

    pip install . flask            # from the repository root
    python examples/flask_app.py   # then: curl -i -H 'X-Api-Key: k1' http://127.0.0.1:5000/
"""

from flask import Flask, jsonify, request

from tolm import limiter
from tolm.wsgi import TolmMiddleware

app = Flask(__name__)
app.wsgi_app = TolmMiddleware(  # type: ignore[method-assign]
    app.wsgi_app,
    limiter("token_bucket", capacity=20, refill_rate=5),
    identity=lambda environ: environ.get("HTTP_X_API_KEY"),
)


@app.get("/")
def index():
    result = request.environ["tolm.decision"]
    return jsonify(hello="world", remaining=result["decision"]["remaining"])


if __name__ == "__main__":
    app.run(host="127.0.0.1", port=5000)
