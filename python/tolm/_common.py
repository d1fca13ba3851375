"""What the WSGI and ASGI middleware share: the key rules and the refusal body."""

import json
from typing import Any, Dict, Optional, Protocol

#: The key of a request that carries no client address and no identity. All such requests
#: share one allowance: a limiter that cannot tell clients apart must not let them through
#: unlimited.
UNKNOWN_KEY = "unknown"

REFUSED_STATUS = 429


class Engine(Protocol):
    """Anything with the ``check`` method of ``tolm_native.NativeEngine``."""

    def check(self, ip: str, route: str, identity: Optional[str] = None) -> Any: ...


def text(value: object) -> str:
    """`value` as a str that encodes to UTF-8. Lone surrogates (which the engine refuses with
    UnicodeEncodeError) become backslash escapes, so odd input changes the key, not the
    outcome."""
    if not isinstance(value, str):
        value = str(value)
    try:
        value.encode("utf-8")
    except UnicodeEncodeError:
        value = value.encode("utf-8", "backslashreplace").decode("utf-8")
    return value


def address_key(address: object) -> str:
    """The client address as the engine's key; UNKNOWN_KEY when there is none."""
    if address is None:
        return UNKNOWN_KEY
    key = text(address)
    return key if key else UNKNOWN_KEY


def identity_key(identity: object) -> Optional[str]:
    """What a user's identity function returned, as the engine's identity (None: no identity,
    the client address is the key)."""
    return None if identity is None else text(identity)


def refusal_body(result: Dict[str, Any]) -> bytes:
    """The JSON body of a 429 answer: what was refused and why, in the engine's words."""
    decision = result.get("decision") or {}
    body = {
        "error": "too_many_requests",
        "reason": result.get("reason"),
        "algorithm": decision.get("algorithm"),
        "remaining": decision.get("remaining"),
    }
    return json.dumps(body, separators=(",", ":")).encode("utf-8")
