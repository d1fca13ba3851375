'use strict';
// tests/keying_cases.json, the table the Python suite reads too: how addresses and
// identities become keys, and which clients share an allowance over real HTTP (addresses
// reported by a trusted proxy through X-Forwarded-For). Then what the table cannot say:
// trusted proxies matched as written, and the memory a flood of long one-off keys costs.
// tests/python/test_keying.py also checks that both runtimes key 20,000 generated texts alike.
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');

const { load } = require('./support/addon');
const { serving, exchange } = require('./support/http');
const {
  addressKey, identityKey, fitKey, nat64Networks, proxyMatcher, MAX_KEY_BYTES,
} = require('../../lib/keys');
const { limiter, rateLimit, withRateLimit } = require('../../lib/middleware');

const { TolmNode } = load();
const cases = JSON.parse(fs.readFileSync(path.join(__dirname, '..', 'keying_cases.json'), 'utf8'));

const textOf = (c, field) => (c.repeat ? c.repeat[0].repeat(c.repeat[1]) : c[field]);

function expectKey(c, value, key) {
  if (c.digest) assert.match(key, new RegExp(`^${c.digest}[0-9a-f]{64}$`));
  else if (c.prefix) assert.equal(key, c.prefix + value);
  else assert.equal(key, c.key, JSON.stringify(c));
  assert.ok(Buffer.byteLength(key) <= MAX_KEY_BYTES, key);
}

test('address keys follow the shared table, also when kept from an earlier request', () => {
  const nat64 = cases.addresses.map((c) => nat64Networks('test', c.nat64));
  for (let pass = 0; pass < 2; pass += 1) {
    cases.addresses.forEach((c, i) => {
      const address = textOf(c, 'address');
      expectKey(c, address, addressKey(address, c.subnet, nat64[i]));
    });
  }
});

test('identity keys follow the shared table, one to one; digests are stable and distinct', () => {
  for (const c of cases.identities) {
    const identity = textOf(c, 'identity');
    expectKey(c, String(identity), identityKey(identity));
  }
  for (const identities of cases.distinct) {
    const keys = identities.map(identityKey);
    assert.equal(new Set(keys).size, keys.length, JSON.stringify(keys));
    const raw = identities.map((i) => addressKey(i, 56));
    assert.equal(new Set(raw).size, raw.length, JSON.stringify(raw));
  }
  const a = 'a'.repeat(500);
  const b = `${'a'.repeat(499)}b`;
  assert.equal(identityKey(a), identityKey(a));
  assert.notEqual(identityKey(a), identityKey(b));
  assert.equal(identityKey(a).slice(3), addressKey(a, 56).slice(3));
  assert.notEqual(identityKey(a), addressKey(a, 56));
});

test('fitKey leaves short keys alone and digests long ones as the middleware does', () => {
  for (const c of cases.fitted) {
    const key = textOf(c, 'key');
    const fitted = fitKey(key, c.digest_prefix);
    if (c.same) assert.equal(fitted, key);
    else expectKey(c, key, fitted);
  }
  const long = 'u'.repeat(1000);
  assert.equal(fitKey(long, 'id#'), identityKey(long));
  assert.equal(fitKey(long, 'ip#'), addressKey(long, 56));
  assert.equal(fitKey(undefined, 'id#'), undefined);
  assert.equal(require('../../lib/middleware').fitKey, fitKey);
});

test('local NAT64 prefixes: bad entries are refused, naming the entry', () => {
  for (const entry of cases.nat64_refused) {
    assert.throws(() => nat64Networks('rateLimit', [entry]),
      (err) => err instanceof RangeError && err.message.includes(JSON.stringify(entry)), entry);
  }
  assert.throws(() => nat64Networks('rateLimit', 96), /options\.nat64Prefixes must be/);
  assert.throws(() => rateLimit(limiter({}, { TolmNode }), { nat64Prefixes: ['2001:db8::1/96'] }),
    /bits set after its prefix; write 2001:db8::\/96/);
  assert.throws(() => rateLimit(limiter({}, { TolmNode }), { nat64_prefixes: [] }), /use nat64Prefixes/);
  assert.equal(nat64Networks('rateLimit', []), null);
});

test('clients share an allowance only within one key (table groups, over HTTP)', async () => {
  for (const group of cases.groups) {
    const [first, second] = group.addresses;
    const handler = withRateLimit(limiter({ capacity: 1, refillRate: 0 }, { TolmNode }),
      (req, res) => res.end('ok'), { trustProxy: 1, nat64Prefixes: group.nat64 });
    await serving(handler, async (port) => {
      assert.equal((await exchange(port, '/', { 'x-forwarded-for': first })).status, 200);
      const { status } = await exchange(port, '/', { 'x-forwarded-for': second });
      assert.equal(status, group.shared ? 429 : 200, group.about);
    });
  }
});

test('ipv6Subnet is configurable and can be off', async () => {
  const a = '2001:db8:1:100::1';
  const b = '2001:db8:1:100::2';
  for (const [ipv6Subnet, shared] of [[56, true], [126, true], [128, false], [false, false]]) {
    const handler = withRateLimit(limiter({ capacity: 1, refillRate: 0 }, { TolmNode }),
      (req, res) => res.end('ok'), { trustProxy: 1, ipv6Subnet });
    await serving(handler, async (port) => {
      assert.equal((await exchange(port, '/', { 'x-forwarded-for': a })).status, 200);
      assert.equal((await exchange(port, '/', { 'x-forwarded-for': b })).status,
        shared ? 429 : 200, String(ipv6Subnet));
    });
  }
});

test('trusted proxies are matched as written, and the verdicts kept change nothing', () => {
  const trusted = proxyMatcher('withRateLimit', ['10.0.0.0/8', '::ffff:192.168.0.0/112', '2001:db8::/32']);
  // Embedded IPv4 forms other than the mapped one are other machines' clients, not the proxy.
  const yes = ['10.1.2.3', '::ffff:10.1.2.3', '[::ffff:a01:203]:443', '192.168.7.7', '2001:db8::5', '[2001:db8::5]:80'];
  const no = ['192.169.0.1', '2001:db9::5', '64:ff9b::10.1.2.3', '2002:a01:203::1', '::10.1.2.3', 'junk', '', undefined];
  for (let round = 0; round < 2; round += 1) {
    for (const address of yes) assert.equal(trusted(address), true, address);
    for (const address of no) assert.equal(trusted(address), false, address);
    for (let i = 0; i < 3000; i += 1) trusted(`10.${i >> 8}.${i & 255}.1`); // past the kept verdicts
  }
  // An IPv6 network that covers ::ffff:0:0/96 does not vouch for IPv4 peers.
  assert.deepEqual(['1.2.3.4', '2001:db8::1'].map(proxyMatcher('t', ['::/0'])), [false, true]);
});

function rssGrowth(run) {
  const before = process.memoryUsage.rss();
  run();
  return (process.memoryUsage.rss() - before) / 1e6;
}

test('long keys are stored as digests: 100k one-off 1 KB identities grow memory little',
  { skip: process.env.TOLM_SANITIZED === '1' && 'resident memory is not flat under a sanitizer' }, () => {
  // Refill 0 keeps every key, so growth is what 100k keys cost. Kept whole, the 1 KB texts
  // alone would take over 100 MB; digests take a few dozen bytes each.
  const middleware = rateLimit(limiter({ capacity: 1, refillRate: 0 }, { TolmNode }),
    { key: (req) => req.user, headers: false });
  const res = { headersSent: false, setHeader() {}, end() {} };
  const pad = 'x'.repeat(1024);
  let passed = 0;
  const next = () => { passed += 1; };
  const grown = rssGrowth(() => {
    for (let i = 0; i < 100000; i += 1) {
      middleware({ user: `${i}${pad}`, url: '/', headers: {}, socket: {} }, res, next);
    }
  });
  assert.equal(passed, 100000);
  assert.ok(grown < 60, `grew ${grown.toFixed(1)} MB`);
  // The digest is the key: the same long identity is refused the second time.
  middleware({ user: `7${pad}`, url: '/', headers: {}, socket: {} }, res, next);
  assert.equal(passed, 100000);
});
