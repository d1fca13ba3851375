"""What the framework integrations (``tolm.flask``, ``tolm.fastapi``, ``tolm.django``) share:
a limit given as a limiter, a settings dict or a rate text, and the warning that a
per-process limiter under a multi-worker server multiplies every client's allowance."""

from __future__ import annotations

import inspect
import os
import shlex
import sys
import warnings
from typing import Any, Dict, List, Optional, Sequence, cast

from ._limiter import Limiter, limiter

__all__ = ["as_limiter", "warn_if_multi_worker", "worker_count"]


def as_limiter(owner: str, limit: object) -> Limiter:
    """`limit` as a Limiter: one built by ``tolm.limiter(...)`` (whose allowance every place
    given it shares), a dict of ``tolm.limiter`` settings, or a rate text such as
    ``"5/minute"`` where ``tolm.limiter`` reads one."""
    if isinstance(limit, Limiter):
        return limit
    if isinstance(limit, dict):
        return limiter(**limit)
    if isinstance(limit, str):
        if "rate" not in inspect.signature(limiter).parameters:
            raise TypeError(f"{owner}: this version of tolm.limiter reads no rate text such as "
                            f"{limit!r}; give tolm.limiter(capacity=..., refill_rate=...) or a "
                            f"dict of those settings")
        # Through Any: the rate parameter is looked up at run time, above.
        build: Any = limiter
        return cast(Limiter, build(rate=limit))
    raise TypeError(f"{owner}: a limit must be built by tolm.limiter(...), a dict of its "
                    f"settings or a rate text; got {limit!r}")


def _option(args: Sequence[str], names: Sequence[str]) -> Optional[str]:
    """The value given to the last of `names` among command-line `args`."""
    found = None
    for i, arg in enumerate(args):
        for name in names:
            if arg == name and i + 1 < len(args):
                found = args[i + 1]
            elif name.startswith("--") and arg.startswith(name + "="):
                found = arg[len(name) + 1:]
            elif not name.startswith("--") and arg.startswith(name) and arg[len(name):].isdigit():
                found = arg[len(name):]
    return found


def _count(text: Optional[str]) -> int:
    try:
        return int(text) if text is not None else 0
    except ValueError:
        return 0


def worker_count(argv: Sequence[str], environ: Dict[str, str],
                 modules: Sequence[str]) -> Optional[str]:
    """The server that runs this process as one of several workers ("gunicorn" or "uvicorn"),
    as far as its command line and environment tell; None for a single process."""
    program = os.path.basename(argv[0]) if argv else ""
    if "gunicorn" in modules or program == "gunicorn":
        args: List[str] = list(argv[1:])
        args += shlex.split(environ.get("GUNICORN_CMD_ARGS", ""))
        given = _option(args, ("-w", "--workers"))
        workers = _count(given if given is not None else environ.get("WEB_CONCURRENCY"))
        if workers > 1:
            return "gunicorn"
    if "uvicorn" in modules:
        given = _option(list(argv[1:]), ("--workers",))
        workers = _count(given if given is not None else environ.get("WEB_CONCURRENCY")
                         or environ.get("UVICORN_WORKERS"))
        if workers > 1:
            return "uvicorn"
    return None


_warned = False


def warn_if_multi_worker(engine: object) -> None:
    """Once per process: a RuntimeWarning when a limiter whose state lives in this process
    serves one of several workers, each of which admits a client its whole allowance."""
    global _warned
    if _warned or getattr(engine, "shared", None):
        return
    server = worker_count(sys.argv, dict(os.environ), list(sys.modules))
    if server is None:
        return
    _warned = True
    if "shared" in inspect.signature(limiter).parameters:
        remedy = "build it with tolm.limiter(..., shared=\"name\") so the workers share one store"
    else:
        remedy = "see the README's \"Limits you must know\" section"
    warnings.warn(f"tolm: this {server} process is one of several workers and its limiter "
                  f"keeps its counts in this process alone, so each client gets its allowance "
                  f"once per worker; {remedy}", RuntimeWarning, stacklevel=3)
