'use strict';
// tests/keying_cases.json, the table the Python suite reads too: how addresses and
// identities become keys, and which clients share an allowance over real HTTP (addresses
// reported by a trusted proxy through X-Forwarded-For).
const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');

const { load } = require('./support/addon');
const { serving, exchange } = require('./support/http');
const { addressKey, identityKey, MAX_KEY_BYTES } = require('../../lib/keys');
const { limiter, withRateLimit } = require('../../lib/middleware');

const { TolmNode } = load();
const cases = JSON.parse(fs.readFileSync(path.join(__dirname, '..', 'keying_cases.json'), 'utf8'));

const textOf = (c, field) => (c.repeat ? c.repeat[0].repeat(c.repeat[1]) : c[field]);

function expectKey(c, value, key) {
  if (c.digest) assert.match(key, new RegExp(`^${c.digest}[0-9a-f]{64}$`));
  else if (c.prefix) assert.equal(key, c.prefix + value);
  else assert.equal(key, c.key);
  assert.ok(Buffer.byteLength(key) <= MAX_KEY_BYTES, key);
}

test('address keys follow the shared table', () => {
  for (const c of cases.addresses) {
    const address = textOf(c, 'address');
    expectKey(c, address, addressKey(address, c.subnet));
  }
});

test('identity keys follow the shared table; digests are stable and distinct', () => {
  for (const c of cases.identities) {
    const identity = textOf(c, 'identity');
    expectKey(c, String(identity), identityKey(identity));
  }
  const a = 'a'.repeat(500);
  const b = `${'a'.repeat(499)}b`;
  assert.equal(identityKey(a), identityKey(a));
  assert.notEqual(identityKey(a), identityKey(b));
  assert.equal(identityKey(a).slice(3), addressKey(a, 56).slice(3));
  assert.notEqual(identityKey(a), addressKey(a, 56));
});

test('clients share an allowance only within one key (table groups, over HTTP)', async () => {
  for (const group of cases.groups) {
    const [first, second] = group.addresses;
    const handler = withRateLimit(limiter({ capacity: 1, refillRate: 0 }, { TolmNode }),
      (req, res) => res.end('ok'), { trustProxy: 1 });
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
