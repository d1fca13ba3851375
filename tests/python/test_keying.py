"""tests/keying_cases.json, the table the Node suite reads too: how addresses and identities
become keys, and which clients share an allowance over real HTTP."""

import json
import re
from pathlib import Path

import pytest

from middleware_servers import exchange
from test_middleware_friendly import CLIENT, asgi_stack, wsgi_stack

import tolm
from tolm import _keys

CASES = json.loads((Path(__file__).resolve().parents[1] / "keying_cases.json").read_text())


def _text(case, field):
    if "repeat" in case:
        unit, times = case["repeat"]
        return unit * times
    return case[field]


def _expect(case, value, key):
    if "digest" in case:
        assert re.fullmatch(re.escape(case["digest"]) + "[0-9a-f]{64}", key), key
    elif "prefix" in case:
        assert key == case["prefix"] + value
    else:
        assert key == case["key"]


@pytest.mark.parametrize("case", CASES["addresses"], ids=lambda c: repr(_text(c, "address"))[:40])
def test_address_keys(case):
    address = _text(case, "address")
    subnet = case["subnet"]
    key = _keys.address_key(address, subnet)
    _expect(case, address, key)
    assert len(key.encode()) <= _keys.MAX_KEY_BYTES


@pytest.mark.parametrize("case", CASES["identities"], ids=lambda c: repr(_text(c, "identity"))[:40])
def test_identity_keys(case):
    identity = _text(case, "identity")
    key = _keys.identity_key(identity)
    _expect(case, str(identity), key)
    assert len(key.encode()) <= _keys.MAX_KEY_BYTES


def test_digests_are_stable_per_input_and_differ_between_inputs():
    long_a, long_b = "a" * 500, "a" * 499 + "b"
    assert _keys.identity_key(long_a) == _keys.identity_key(long_a)
    assert _keys.identity_key(long_a) != _keys.identity_key(long_b)
    # The same text as an identity and as an unparsed address stays apart.
    assert _keys.identity_key(long_a)[3:] == _keys.address_key(long_a)[3:]
    assert _keys.identity_key(long_a) != _keys.address_key(long_a)


@pytest.mark.parametrize("stack", [wsgi_stack, asgi_stack], ids=["wsgi", "asgi"])
@pytest.mark.parametrize("group", CASES["groups"], ids=lambda g: g["about"])
def test_clients_share_an_allowance_only_within_one_key(stack, group):
    first, second = group["addresses"]
    with stack(tolm.limiter(capacity=1, refill_rate=0)) as port:
        assert exchange(port, headers={CLIENT: first})[0] == 200
        status = exchange(port, headers={CLIENT: second})[0]
    assert status == (429 if group["shared"] else 200)


def test_ipv6_subnet_is_configurable_and_can_be_off():
    a, b = "2001:db8:1:100::1", "2001:db8:1:100::2"
    for subnet, shared in [(56, True), (126, True), (128, False), (False, False)]:
        with wsgi_stack(tolm.limiter(capacity=1, refill_rate=0), ipv6_subnet=subnet) as port:
            assert exchange(port, headers={CLIENT: a})[0] == 200
            assert exchange(port, headers={CLIENT: b})[0] == (429 if shared else 200), subnet
