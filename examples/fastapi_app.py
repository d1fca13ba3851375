"""FastAPI (any Starlette-style ASGI app works the same) behind tolm: each client address may
send 100 requests in any 60 seconds. In shadow mode nothing is refused, and the endpoint can
still see that the limit would have been hit.

    pip install . fastapi uvicorn          # from the repository root
    uvicorn --app-dir examples fastapi_app:app --port 8000
    curl -i http://127.0.0.1:8000/
"""

from fastapi import FastAPI, Request

from tolm import limiter
from tolm.asgi import TolmMiddleware

app = FastAPI()
app.add_middleware(TolmMiddleware, engine=limiter("sliding_window", "active", capacity=100))


@app.get("/")
async def index(request: Request) -> dict:
    result = request.state.tolm_decision
    return {"hello": "world", "remaining": result["decision"]["remaining"],
            "would_block": result["would_block"]}
