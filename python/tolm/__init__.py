"""Rate-limiting middleware for Python servers, built on the native ``tolm_native`` engine.

``limiter()`` builds an engine from checked keyword settings; ``tolm.wsgi.TolmMiddleware`` and
``tolm.asgi.TolmMiddleware`` put one in front of a WSGI or ASGI application.
"""

from ._common import Engine
from ._keys import UNKNOWN_KEY, fit_key
from ._limiter import Limiter, limiter
from ._redis import RedisLimiter

__all__ = ["UNKNOWN_KEY", "Engine", "Limiter", "RedisLimiter", "fit_key", "limiter"]

# The one place the release's version is written: pyproject.toml reads it for the wheel and
# the sdist, and `make dist` copies it into package.json.
__version__ = "0.1.0"
