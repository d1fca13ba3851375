"""FastAPI with the tolm.fastapi dependency: the search route allows each user of a valid
bearer token 10 requests at once and 2 more per second, and each anonymous address the same;
the login route allows 5 tries per minute per address; other routes are not limited.

    pip install . fastapi uvicorn     # from the repository root
    TOLM_TOKENS='alice=t-alice-5b1e,bob=t-bob-99ac' python examples/fastapi_dependency.py
    curl -i -H 'Authorization: Bearer t-alice-5b1e' http://127.0.0.1:8000/search
"""

import hashlib
import hmac
import os
from typing import Dict, Optional

from fastapi import Depends, FastAPI, Header, HTTPException

import tolm
from tolm.fastapi import RateLimit


def issued(pairs: str) -> Dict[str, str]:
    """{sha256 of an issued token: its owner} from "owner=token,owner=token"."""
    table = {}
    for pair in filter(None, (p.strip() for p in pairs.split(","))):
        owner, _, token = pair.partition("=")
        if owner and token:
            table[hashlib.sha256(token.encode()).hexdigest()] = owner
    return table


TOKENS = issued(os.environ.get("TOLM_TOKENS", ""))


def current_user(authorization: str = Header(default="")) -> Optional[str]:
    """The owner of a valid bearer token, None without one; 401 for a token never issued
    (a made-up value must never become a rate-limit key)."""
    if not authorization:
        return None
    scheme, _, token = authorization.partition(" ")
    digest = hashlib.sha256(token.encode("utf-8", "surrogateescape")).hexdigest()
    for known, owner in TOKENS.items():
        if scheme.lower() == "bearer" and hmac.compare_digest(known, digest):
            return owner
    raise HTTPException(401, "unknown token")


search_limit = RateLimit(tolm.limiter("token_bucket", capacity=10, refill_rate=2),
                         identity=current_user)
login_limit = RateLimit(tolm.limiter("fixed_window", capacity=5))

app = FastAPI()


@app.get("/search", dependencies=[Depends(search_limit)])
async def search(user: Optional[str] = Depends(current_user)) -> Dict[str, object]:
    return {"user": user or "anonymous", "results": []}


@app.post("/login", dependencies=[Depends(login_limit)])
async def login() -> Dict[str, str]:
    return {"token": "issued by your real login"}


@app.get("/health")
async def health() -> str:
    return "ok"


if __name__ == "__main__":
    import uvicorn
    uvicorn.run(app, host="127.0.0.1", port=int(os.environ.get("PORT", "8000")))
