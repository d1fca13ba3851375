"""How a request becomes the engine's key: client addresses by network, identities in their
own namespace, and long keys folded into a fixed-size digest.

Key forms (the Node middleware builds the very same ones):

- ``203.0.113.7``: an IPv4 client, also when it arrives IPv4-mapped (``::ffff:203.0.113.7``).
- ``2001:db8:0:1200::/56``: an IPv6 client, keyed by its network (the prefix length is a
  setting; with ``False`` the full address is the key, without a suffix).
- ``ip:<text>``: an address that does not parse, keyed by its text.
- ``id:<identity>``: what the application's identity function returned.
- ``id#<hex>`` / ``ip#<hex>``: an identity or unparsed text whose key would be longer than
  ``MAX_KEY_BYTES``, replaced by its HMAC-SHA256 under a key drawn once per process.
- ``unknown``: no address at all.

Canonical addresses never start with ``i`` (not a hex digit), so no identity and no
unparsed text can produce the key of a real address, and the two prefixes keep identities
and unparsed texts apart.
"""

from __future__ import annotations

import hashlib
import hmac
import ipaddress
import secrets
from functools import lru_cache
from typing import Optional, Union

#: The key of a request that carries no client address and no identity. All such requests
#: share one allowance: a limiter that cannot tell clients apart must not let them through
#: unlimited.
UNKNOWN_KEY = "unknown"

IDENTITY_PREFIX = "id:"
IDENTITY_DIGEST_PREFIX = "id#"
RAW_PREFIX = "ip:"
RAW_DIGEST_PREFIX = "ip#"

#: Longest key, in UTF-8 bytes, kept as it is; a longer one is replaced by its digest so that
#: one request cannot make the engine keep kilobytes for it.
MAX_KEY_BYTES = 128

# Longer than any written form of an address with brackets, zone and port worth parsing.
_MAX_PARSED_CHARS = 100
# No key of up to this many characters can exceed MAX_KEY_BYTES (4 bytes per code point).
_SURELY_SHORT = MAX_KEY_BYTES // 4

_DIGEST_KEY = secrets.token_bytes(32)

Subnet = Union[int, bool]


def text(value: object) -> str:
    """`value` as a str that encodes to UTF-8. Lone surrogates (which the engine refuses with
    UnicodeEncodeError) become backslash escapes, so odd input changes the key, not the
    outcome."""
    if type(value) is str and value.isascii():
        return value
    if not isinstance(value, str):
        value = str(value)
    try:
        value.encode("utf-8")
    except UnicodeEncodeError:
        value = value.encode("utf-8", "backslashreplace").decode("utf-8")
    return value


def _bounded(prefix: str, digest_prefix: str, value: str) -> str:
    key = prefix + value
    if len(key) > _SURELY_SHORT and len(key.encode("utf-8")) > MAX_KEY_BYTES:
        mac = hmac.new(_DIGEST_KEY, value.encode("utf-8"), hashlib.sha256)
        return digest_prefix + mac.hexdigest()
    return key


def identity_key(identity: object) -> str:
    """The engine key of an identity the application returned (not None)."""
    return _bounded(IDENTITY_PREFIX, IDENTITY_DIGEST_PREFIX, text(identity))


def _is_port(digits: str) -> bool:
    return 0 < len(digits) <= 5 and digits.isascii() and digits.isdigit()


def _host_of(address: str) -> Optional[str]:
    """The address inside ``[v6]``, ``[v6]:port``, ``v4:port`` and ``v6%zone`` forms; None when
    the text has none of the shapes an address is written in."""
    if address.startswith("["):
        end = address.find("]")
        if end < 0:
            return None
        host, rest = address[1:end], address[end + 1:]
        if ":" not in host or (rest and not (rest[0] == ":" and _is_port(rest[1:]))):
            return None
    elif address.count(":") == 1:
        host, port = address.split(":")
        if not _is_port(port):
            return None
    else:
        host = address
    zone = host.find("%")
    if zone >= 0:
        if ":" not in host or zone == len(host) - 1:
            return None
        host = host[:zone]
    return host


def format_ipv6(value: int) -> str:
    """The RFC 5952 text of a 128-bit address: lower-case hex without leading zeros, the
    longest run of two or more zero groups (the first of equals) written as ``::``."""
    groups = [(value >> shift) & 0xFFFF for shift in range(112, -16, -16)]
    best_start, best_len, start = -1, 1, -1
    for i, group in enumerate(groups + [1]):
        if group == 0:
            if start < 0:
                start = i
        elif start >= 0:
            if i - start > best_len:
                best_start, best_len = start, i - start
            start = -1
    parts = ["%x" % g for g in groups]
    if best_start < 0:
        return ":".join(parts)
    head = ":".join(parts[:best_start])
    tail = ":".join(parts[best_start + best_len:])
    return head + "::" + tail


@lru_cache(maxsize=8192)
def _address_key(address: str, subnet: Subnet) -> str:
    host = _host_of(address)
    if host is not None:
        try:
            if ":" in host:
                parsed = ipaddress.IPv6Address(host)
                mapped = parsed.ipv4_mapped
                if mapped is not None:
                    return str(mapped)
                if subnet is False:
                    return format_ipv6(int(parsed))
                mask = ((1 << subnet) - 1) << (128 - subnet)
                return f"{format_ipv6(int(parsed) & mask)}/{subnet}"
            return str(ipaddress.IPv4Address(host))
        except ValueError:
            pass
    return _bounded(RAW_PREFIX, RAW_DIGEST_PREFIX, address)


def address_key(address: object, subnet: Subnet = 56) -> str:
    """The engine key of a client address as the server reported it (see the module
    docstring); UNKNOWN_KEY when there is none."""
    if address is None:
        return UNKNOWN_KEY
    value = text(address)
    if not value:
        return UNKNOWN_KEY
    if len(value) > _MAX_PARSED_CHARS:  # never an address; kept out of the cache
        return _bounded(RAW_PREFIX, RAW_DIGEST_PREFIX, value)
    return _address_key(value, subnet)
