"""How a request becomes the engine's key: client addresses by network, IPv4 clients also when
they arrive inside an IPv6 address, identities in their own namespace, and long keys folded
into a fixed-size digest. docs/keys.md explains the choices.

Key forms (``lib/keys.js`` builds the very same ones, under the same names in camel case):

- ``203.0.113.7``: an IPv4 client, also when it arrives inside IPv6: mapped
  (``::ffff:0:0/96``), translated (``::ffff:0:0:0/96``), compatible (``::/96`` outside
  ``::/104``), NAT64 (``64:ff9b::/96`` and the prefixes given), 6to4 (``2002::/16``) and
  Teredo (``2001::/32``, the client's address).
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
from typing import Optional, Tuple, TypeVar, Union

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
#: No text of up to this many characters can exceed MAX_KEY_BYTES (4 bytes per code point).
SURELY_SHORT_KEY = MAX_KEY_BYTES // 4

_DIGEST_KEY = secrets.token_bytes(32)

Subnet = Union[int, bool]
_Key = TypeVar("_Key")


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


def key_text(value: str) -> str:
    """`value` as a key holds it, one to one: a lone surrogate (which has no UTF-8 form) is
    written ``\\uXXXX``, and so that such an escape cannot be confused with the same six
    characters sent by the client, a backslash is written twice. Texts without either come
    back unchanged."""
    if value.isascii():
        return value.replace("\\", "\\\\") if "\\" in value else value
    if "\\" in value:
        value = value.replace("\\", "\\\\")
    try:
        value.encode("utf-8")
    except UnicodeEncodeError:
        value = value.encode("utf-8", "backslashreplace").decode("utf-8")
    return value


def _digest(prefix: str, value: str) -> str:
    return prefix + hmac.new(_DIGEST_KEY, value.encode("utf-8"), hashlib.sha256).hexdigest()


def _bounded(prefix: str, digest_prefix: str, value: str) -> str:
    key = prefix + value
    if len(key) > SURELY_SHORT_KEY and len(key.encode("utf-8")) > MAX_KEY_BYTES:
        return _digest(digest_prefix, value)
    return key


def identity_key(identity: object) -> str:
    """The engine key of an identity the application returned (not None)."""
    value = identity if isinstance(identity, str) else str(identity)
    return _bounded(IDENTITY_PREFIX, IDENTITY_DIGEST_PREFIX, key_text(value))


def fit_key(key: _Key, digest_prefix: str) -> Union[_Key, str]:
    """`key` as the engine should store it: unchanged when it is not a str or takes at most
    MAX_KEY_BYTES in UTF-8 (a lone surrogate counting three, as the engine's replacement
    character does), else `digest_prefix` and the digest of its one-to-one text."""
    if not isinstance(key, str) or len(key) <= SURELY_SHORT_KEY:
        return key
    if len(key) <= MAX_KEY_BYTES and key.isascii():
        return key
    if len(key.encode("utf-8", "surrogatepass")) <= MAX_KEY_BYTES:
        return key
    return _digest(digest_prefix, key_text(key))


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


# Where a NAT64 prefix of each allowed length carries the IPv4 address: the bytes after the
# prefix, skipping byte 8 (bits 64-71, which must stay zero).
_NAT64_BYTES = {
    32: (4, 5, 6, 7),
    40: (5, 6, 7, 9),
    48: (6, 7, 9, 10),
    56: (7, 9, 10, 11),
    64: (9, 10, 11, 12),
    96: (12, 13, 14, 15),
}
_WELL_KNOWN_NAT64 = 0x0064FF9B << 96

#: Checked local NAT64 prefixes, as (network, length) pairs; see ``nat64_networks``.
Nat64 = Tuple[Tuple[int, int], ...]


def nat64_networks(owner: str, value: object) -> Optional[Nat64]:
    """The local NAT64 prefixes of the ``nat64_prefixes`` option (CIDR strs of an RFC 6052
    length), checked, for ``address_key``; None for none. Raises naming the entry that is not
    one."""
    if value is None:
        return None
    entries = [value] if isinstance(value, str) else value
    if not isinstance(entries, (list, tuple)):
        raise TypeError(f"{owner}: nat64_prefixes must be a CIDR str or a list of them (e.g. "
                        f"'2001:db8:64::/96'); got {value!r}")
    lengths = ", ".join(str(n) for n in _NAT64_BYTES)
    networks = []
    for entry in entries:
        network = None
        if isinstance(entry, str) and "%" not in entry and entry.count("/") == 1:
            address, length = entry.split("/")
            if len(length) == 2 and length.isascii() and length.isdigit() \
                    and int(length) in _NAT64_BYTES and ":" in address:
                try:
                    network = ipaddress.IPv6Network(entry)
                except ValueError as error:
                    if "host bits" in str(error):
                        loose = ipaddress.IPv6Network(entry, strict=False)
                        raise ValueError(f"{owner}: nat64_prefixes entry {entry!r} has bits "
                                         f"set after its prefix; write "
                                         f"{format_ipv6(int(loose.network_address))}/{length}"
                                         ) from None
        if network is None:
            raise ValueError(f"{owner}: nat64_prefixes entry {entry!r} is not an IPv6 network "
                             f"of length {lengths} (e.g. '2001:db8:64::/96')")
        networks.append((int(network.network_address), network.prefixlen))
    # The longest prefix that holds an address decides, as in routing.
    return tuple(sorted(networks, key=lambda network: -network[1])) or None


def _embedded_ipv4(value: int, nat64: Optional[Nat64]) -> Optional[str]:
    """The IPv4 client a 128-bit address stands for, or None: translated
    (``::ffff:0:a.b.c.d``), compatible (``::a.b.c.d``, but not ``::``, ``::1`` or anything else
    in ``::/104``, which are IPv6's own), NAT64 under the well-known prefix or one of
    `nat64`, 6to4 (``2002:AABB:CCDD::/48``) and Teredo (``2001:0::/32``, whose last 32 bits
    are the client's address inverted; the server's address in bits 32-63 is shared by all
    its clients)."""
    if nat64:
        for network, length in nat64:
            if value >> (128 - length) == network >> (128 - length):
                octets = value.to_bytes(16, "big")
                return ".".join(str(octets[i]) for i in _NAT64_BYTES[length])
    high = value >> 32
    if high == 0xFFFF_0000 or (high == 0 and value >= 1 << 24):
        return str(ipaddress.IPv4Address(value & 0xFFFF_FFFF))
    if high == _WELL_KNOWN_NAT64 >> 32:
        return str(ipaddress.IPv4Address(value & 0xFFFF_FFFF))
    if value >> 112 == 0x2002:
        return str(ipaddress.IPv4Address((value >> 80) & 0xFFFF_FFFF))
    if value >> 96 == 0x2001_0000:
        return str(ipaddress.IPv4Address(~value & 0xFFFF_FFFF))
    return None


@lru_cache(maxsize=8192)
def _address_key(address: str, subnet: Subnet, nat64: Optional[Nat64]) -> str:
    host = _host_of(address)
    if host is not None:
        try:
            if ":" in host:
                parsed = ipaddress.IPv6Address(host)
                mapped = parsed.ipv4_mapped
                if mapped is not None:
                    return str(mapped)
                embedded = _embedded_ipv4(int(parsed), nat64)
                if embedded is not None:
                    return embedded
                if subnet is False:
                    return format_ipv6(int(parsed))
                mask = ((1 << subnet) - 1) << (128 - subnet)
                return f"{format_ipv6(int(parsed) & mask)}/{subnet}"
            return str(ipaddress.IPv4Address(host))
        except ValueError:
            pass
    return _bounded(RAW_PREFIX, RAW_DIGEST_PREFIX, key_text(address))


def address_key(address: object, subnet: Subnet = 56, nat64: Optional[Nat64] = None) -> str:
    """The engine key of a client address as the server reported it (see the module
    docstring); UNKNOWN_KEY when there is none. `nat64` comes from ``nat64_networks``."""
    if address is None:
        return UNKNOWN_KEY
    value = address if isinstance(address, str) else str(address)
    if not value:
        return UNKNOWN_KEY
    if len(value) > _MAX_PARSED_CHARS:  # never an address; kept out of the cache
        return _bounded(RAW_PREFIX, RAW_DIGEST_PREFIX, key_text(value))
    return _address_key(value, subnet, nat64)
