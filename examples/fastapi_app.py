"""FastAPI (any Starlette-style ASGI app works the same) behind tolm in shadow mode: each client
address (an IPv6 client by its /56 network) is measured against 100 requests in any 60
seconds, nothing is refused, and the endpoint sees when the limit would have been hit, and
so do clients, through the RateLimit headers. Switch mode to "active" to enforce it.

    pip install . fastapi uvicorn          # from the repository root
    uvicorn --app-dir examples fastapi_app:app --port 8000
    curl -i http://127.0.0.1:8000/
"""

from typing import Dict, Union

from fastapi import FastAPI, Request

from tolm import limiter
from tolm.asgi import TolmMiddleware

app = FastAPI()
app.add_middleware(TolmMiddleware, engine=limiter("sliding_window", "shadow", capacity=100))


@app.get("/")
async def index(request: Request) -> Dict[str, Union[str, int, bool, None]]:
    result = request.state.tolm_decision
    return {"hello": "world", "remaining": result["remaining"],
            "would_block": result["would_block"]}
