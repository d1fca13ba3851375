"""tests/keying_cases.json, the table the Node suite reads too: how addresses and identities
become keys, and which clients share an allowance over real HTTP. Then what the table cannot
say: clients behind one translator, and the memory a flood of long one-off keys costs."""

import json
import os
import re
import sys
from pathlib import Path

import pytest

from middleware_servers import exchange
from test_middleware_friendly import CLIENT, asgi_stack, wsgi_stack

import tolm
from tolm import _keys
from tolm.wsgi import TolmMiddleware

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
        assert key == case["key"], case


# -- the shared table -------------------------------------------------------------------------

@pytest.mark.parametrize("case", CASES["addresses"], ids=lambda c: repr(_text(c, "address"))[:40])
def test_address_keys(case):
    address = _text(case, "address")
    nat64 = _keys.nat64_networks("test", case.get("nat64"))
    key = _keys.address_key(address, case["subnet"], nat64)
    _expect(case, address, key)
    assert len(key.encode()) <= _keys.MAX_KEY_BYTES


@pytest.mark.parametrize("case", CASES["identities"], ids=lambda c: repr(_text(c, "identity"))[:40])
def test_identity_keys(case):
    identity = _text(case, "identity")
    key = _keys.identity_key(identity)
    _expect(case, str(identity), key)
    assert len(key.encode()) <= _keys.MAX_KEY_BYTES


@pytest.mark.parametrize("identities", CASES["distinct"], ids=lambda i: repr(i)[:40])
def test_distinct_texts_never_share_a_key(identities):
    for make in (_keys.identity_key, _keys.address_key):
        keys = [make(identity) for identity in identities]
        assert len(set(keys)) == len(keys), keys


def test_digests_are_stable_per_input_and_differ_between_inputs():
    long_a, long_b = "a" * 500, "a" * 499 + "b"
    assert _keys.identity_key(long_a) == _keys.identity_key(long_a)
    assert _keys.identity_key(long_a) != _keys.identity_key(long_b)
    # The same text as an identity and as an unparsed address stays apart.
    assert _keys.identity_key(long_a)[3:] == _keys.address_key(long_a)[3:]
    assert _keys.identity_key(long_a) != _keys.address_key(long_a)


@pytest.mark.parametrize("case", CASES["fitted"], ids=lambda c: repr(_text(c, "key"))[:40])
def test_fit_key_leaves_short_keys_alone_and_digests_long_ones(case):
    key = _text(case, "key")
    fitted = _keys.fit_key(key, case["digest_prefix"])
    if case.get("same"):
        assert fitted is key
    else:
        _expect(case, key, fitted)
    long = "u" * 1000
    assert _keys.fit_key(long, "id#") == _keys.identity_key(long)
    assert _keys.fit_key(long, "ip#") == _keys.address_key(long)
    assert _keys.fit_key(None, "id#") is None
    assert tolm.fit_key is _keys.fit_key


@pytest.mark.parametrize("entry", CASES["nat64_refused"])
def test_bad_nat64_prefixes_are_refused_naming_the_entry(entry):
    with pytest.raises(ValueError, match=re.escape(repr(entry))):
        _keys.nat64_networks("tolm.wsgi.TolmMiddleware", [entry])


def test_nat64_prefixes_option_is_checked_when_the_middleware_is_built():
    engine = tolm.limiter()
    with pytest.raises(ValueError, match=r"bits set after its prefix; write 2001:db8::/96"):
        TolmMiddleware(None, engine, nat64_prefixes="2001:db8::1/96")
    with pytest.raises(TypeError, match="nat64_prefixes must be"):
        TolmMiddleware(None, engine, nat64_prefixes=96)
    assert _keys.nat64_networks("test", []) is None


@pytest.mark.parametrize("stack", [wsgi_stack, asgi_stack], ids=["wsgi", "asgi"])
@pytest.mark.parametrize("group", CASES["groups"], ids=lambda g: g["about"])
def test_clients_share_an_allowance_only_within_one_key(stack, group):
    first, second = group["addresses"]
    with stack(tolm.limiter(capacity=1, refill_rate=0),
               nat64_prefixes=group.get("nat64")) as port:
        assert exchange(port, headers={CLIENT: first})[0] == 200
        status = exchange(port, headers={CLIENT: second})[0]
    assert status == (429 if group["shared"] else 200)


def test_ipv6_subnet_is_configurable_and_can_be_off():
    a, b = "2001:db8:1:100::1", "2001:db8:1:100::2"
    for subnet, shared in [(56, True), (126, True), (128, False), (False, False)]:
        with wsgi_stack(tolm.limiter(capacity=1, refill_rate=0), ipv6_subnet=subnet) as port:
            assert exchange(port, headers={CLIENT: a})[0] == 200
            assert exchange(port, headers={CLIENT: b})[0] == (429 if shared else 200), subnet


def test_a_second_limit_per_48_caps_a_client_that_spreads_over_its_56s():
    per_client = TolmMiddleware(_ok, tolm.limiter(capacity=1, refill_rate=0))
    with wsgi_stack(tolm.limiter(capacity=4, refill_rate=0), app=per_client, ipv6_subnet=48,
                    headers=False) as port:
        statuses = [exchange(port, headers={CLIENT: f"2001:db8:7:{i:x}00::1"})[0]
                    for i in range(20)]
        elsewhere = exchange(port, headers={CLIENT: "2001:db8:8::1"})[0]
    assert statuses == [200] * 4 + [429] * 16
    assert elsewhere == 200


def _ok(environ, start_response):
    start_response("200 OK", [("Content-Type", "text/plain")])
    return [b"ok"]


# -- translators ------------------------------------------------------------------------------

FORMS = [
    lambda i: f"64:ff9b::10.0.{i >> 8}.{i & 255}",
    lambda i: f"2001:db8:64::10.1.{i >> 8}.{i & 255}",
    lambda i: f"2002:0a02:{i:x}::1",
    lambda i: f"2001:0:4136:e378:8000:63bf:f5fc:{0xFFFF - i:x}",
]


@pytest.mark.parametrize("form", FORMS, ids=["nat64", "local nat64", "6to4", "teredo"])
def test_ipv4_clients_behind_one_translator_each_keep_their_allowance(form):
    engine = tolm.limiter(capacity=5, refill_rate=0)
    local = _keys.nat64_networks("test", ["2001:db8:64::/96"])
    admitted = sum(engine.check(_keys.address_key(form(i), 56, local), "/")["allowed"]
                   for i in range(1000))
    assert admitted == 1000


# -- long keys --------------------------------------------------------------------------------

def _resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/statm")
@pytest.mark.skipif(os.environ.get("TOLM_SANITIZED") == "1",
                    reason="resident memory is not flat under a sanitizer (freed memory sits in "
                           "its quarantine)")
def test_long_keys_given_to_check_are_stored_as_digests():
    # Refill 0 keeps every key, so growth is what 100k keys cost. Kept whole, the 1 KB texts
    # alone would take over 100 MB; digests take a few dozen bytes each.
    engine = tolm.limiter(capacity=1, refill_rate=0)
    pad = "x" * 1024
    before = _resident_bytes()
    for i in range(100_000):
        assert engine.check("203.0.113.7", "/", f"{i}{pad}")["allowed"]
    grown = (_resident_bytes() - before) / 1e6
    assert grown < 50, f"grew {grown:.1f} MB"
    # The digest is the key: the same long identity, or address, is refused the second time.
    assert not engine.check("203.0.113.7", "/", f"7{pad}")["allowed"]
    assert engine.check(pad, "/")["allowed"]
    assert not engine.check(pad, "/")["allowed"]
    # A short key is handed over exactly as given.
    assert engine.check("k" * 128, "/")["allowed"]
    assert not engine.engine.check("k" * 128, "/")["allowed"]


# -- both runtimes, on many generated texts ---------------------------------------------------

_NODE_KEYS = """
const keys = require(process.argv[1]);
const { addresses, identities, nat64 } = JSON.parse(require('fs').readFileSync(0, 'utf8'));
const local = keys.nat64Networks('test', nat64);
process.stdout.write(JSON.stringify({
  addresses: addresses.map(([a, subnet]) => keys.addressKey(a, subnet, local)),
  identities: identities.map((i) => keys.identityKey(i)),
}));
"""


def _generated(count):
    """Addresses around every form the keys treat apart: embedded IPv4 prefixes, the edges of
    ::/104, leading zeros, brackets, ports, zones, and texts that are nearly addresses."""
    import random
    rng = random.Random(22)
    heads = ["", "::", "::ffff:", "::ffff:0:", "64:ff9b::", "64:ff9b:1::", "2002:{}:{}::",
             "2001:0:{}:{}::", "2001::", "2001:db8:64::", "2001:db8:{}:{}::", "fe80::",
             "0:0:0:0:0:", "1::", "::1:"]
    groups = ["0", "00", "0000", "ffff", "FFFF", "1", "a", "100", "cb00", "10000"]
    octets = ["0", "00", "01", "1", "10", "127", "203", "255", "256"]
    out = []
    for _ in range(count):
        if rng.random() < 0.4:
            tail = ".".join(rng.choice(octets) if rng.random() < 0.1 else str(rng.randrange(256))
                            for _ in range(rng.choice([3, 4, 4, 4, 4, 4, 5])))
        else:
            tail = ":".join(rng.choice(groups + [f"{rng.randrange(0x10000):x}"])
                            for _ in range(rng.randrange(1, 7)))
        text = rng.choice(heads).format(*(f"{rng.randrange(0x10000):x}" for _ in "ab")) + tail
        text = rng.choice([text] * 17 + [f"[{text}]:{rng.randrange(70000)}", f"{text}%eth0",
                                         text.replace(":", rng.choice([":::", "\\", "\ud800"]), 1)])
        out.append([text, rng.choice([56, 48, 64, 128, 1, False])])
    return out


def test_python_and_node_key_thousands_of_generated_texts_alike():
    import shutil
    import subprocess
    node = shutil.which("node")
    if node is None:
        pytest.skip("node is not installed")
    addresses = _generated(20000)
    identities = [a for a, _ in addresses[:3000]] + ["x\\" * n + "\ud800" * m
                                                     for n in range(5) for m in range(3)]
    nat64 = ["2001:db8:64::/96", "2001:db8:100::/40"]
    keys_js = str(Path(__file__).resolve().parents[2] / "lib" / "keys.js")
    given = json.dumps({"addresses": addresses, "identities": identities, "nat64": nat64})
    answer = subprocess.run([node, "-e", _NODE_KEYS, keys_js], input=given, capture_output=True,
                            text=True, timeout=120, check=True)
    from_node = json.loads(answer.stdout)
    local = _keys.nat64_networks("test", nat64)
    ours = {"addresses": [_keys.address_key(a, subnet, local) for a, subnet in addresses],
            "identities": [_keys.identity_key(i) for i in identities]}

    def comparable(key):  # digests are keyed per process: compare their shape
        return key[:3] + "<digest>" if len(key) == 67 and key[2] == "#" else key

    for kind in ("addresses", "identities"):
        given_texts = addresses if kind == "addresses" else identities
        differ = [(given_texts[i], a, b) for i, (a, b) in enumerate(zip(ours[kind], from_node[kind]))
                  if comparable(a) != comparable(b)]
        assert not differ, differ[:10]
    assert len(set(ours["addresses"])) > 5000  # the texts are varied, not one key
