"""Rate-limiting middleware for Python servers, built on the native ``tolm_native`` engine.

``limiter()`` builds an engine with keyword settings; ``tolm.wsgi.TolmMiddleware`` and
``tolm.asgi.TolmMiddleware`` put one in front of a WSGI or ASGI application.
"""

from typing import TYPE_CHECKING, Optional

from ._common import UNKNOWN_KEY, Engine

if TYPE_CHECKING:  # the stub, without importing the extension module at import time
    from tolm_native import NativeEngine

__all__ = ["UNKNOWN_KEY", "Engine", "limiter"]


def limiter(algorithm: str = "token_bucket", mode: str = "active", capacity: float = 100,
            refill_rate: float = 10, api_key: Optional[str] = None) -> "NativeEngine":
    """A new ``tolm_native.NativeEngine`` with the Node package's defaults (capacity 100,
    refill rate 10 per second, active mode). See the README for what each setting means."""
    # Imported here so that the middleware modules load (and can be given any engine-like
    # object) even where the native module is not importable.
    from tolm_native import NativeEngine

    return NativeEngine(algorithm, mode, capacity, refill_rate, api_key, None, "")
