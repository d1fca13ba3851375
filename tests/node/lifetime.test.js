'use strict';
// Memory: collected instances release their engines, and calls that throw leak nothing.
// Each case runs in its own process with --expose-gc so that its measurements are its own.
const test = require('node:test');
const assert = require('node:assert/strict');
const { runChild, emulationSkips } = require('./support/addon');

const settle = `
  const settle = async () => {
    for (let i = 0; i < 6; i++) { gc(); await new Promise((r) => setImmediate(r)); }
  };
  const rssMb = () => process.memoryUsage().rss / 1048576;
`;

// Under AddressSanitizer freed memory sits in quarantine, so resident memory grows by design.
const sanitized = process.env.TOLM_SANITIZED === '1' && 'resident memory is not flat under a sanitizer';

test('collected instances are finalized and their per-key state is freed', {
  skip: sanitized || emulationSkips('the rounds of garbage collection can outlast the child time limit emulated'),
}, () => {
  const { status, stderr, output } = runChild(`${settle}
    (async () => {
      let collected = 0;
      const registry = new FinalizationRegistry(() => { collected++; });
      const round = () => {
        const node = new TolmNode({ capacity: 5 });
        for (let k = 0; k < 4000; k++) node.checkRequest('10.0.' + k, '/', 0);
        registry.register(node, null);
      };
      for (let i = 0; i < 20; i++) round();
      await settle();
      const before = rssMb();
      for (let i = 0; i < 300; i++) { round(); if (i % 25 === 0) await settle(); }
      await settle();
      emit({ growth: rssMb() - before, collected });
    })();
  `, { nodeArgs: ['--expose-gc'] });
  assert.equal(status, 0, stderr);
  const { growth, collected } = output[0];
  // 1.2 million keys stay resident if engines are never released (well over 100 MB).
  assert.ok(growth < 40, `rss grew by ${growth.toFixed(1)} MB`);
  assert.ok(collected >= 250, `only ${collected} of 320 instances were collected`);
});

test('a bound decider keeps its engine after the instance is collected, and frees it once collected itself', {
  skip: sanitized || emulationSkips('the rounds of garbage collection can outlast the child time limit emulated'),
}, () => {
  const { status, stderr, output } = runChild(`${settle}
    (async () => {
      let collected = 0;
      const registry = new FinalizationRegistry(() => { collected++; });
      // The instance is dropped at once; its decider goes on spending the same allowance.
      const numbers = new Float64Array(3);
      let decide = new TolmNode({ capacity: 3, refillRate: 0 })._decider(numbers);
      await settle();
      const spent = [decide('k', '/'), decide('k', '/'), decide('k', '/'), decide('k', '/')].map((o) => o & 1);
      decide = null;
      const round = () => {
        const node = new TolmNode({ capacity: 5 });
        const bound = node._decider(new Float64Array(3));
        for (let k = 0; k < 4000; k++) bound('10.0.' + k, '/');
        registry.register(bound, null);
      };
      for (let i = 0; i < 20; i++) round();
      await settle();
      const before = rssMb();
      for (let i = 0; i < 300; i++) { round(); if (i % 25 === 0) await settle(); }
      await settle();
      emit({ spent, growth: rssMb() - before, collected });
    })();
  `, { nodeArgs: ['--expose-gc'] });
  assert.equal(status, 0, stderr);
  const { spent, growth, collected } = output[0];
  assert.deepEqual(spent, [1, 1, 1, 0]);
  assert.ok(growth < 40, `rss grew by ${growth.toFixed(1)} MB`);
  assert.ok(collected >= 250, `only ${collected} of 320 deciders were collected`);
});

test('a million calls that throw do not leak', {
  skip: sanitized || emulationSkips('two million calls take minutes emulated'),
}, () => {
  const { status, stderr, output } = runChild(`${settle}
    (async () => {
      const node = new TolmNode({});
      const bad = { deep: { list: [1, 2, 3] } };
      const burst = (n) => {
        for (let i = 0; i < n; i++) {
          try { node.checkRequest(i % 2 ? bad : 5, '/', 0); } catch (e) {}
          try { node.checkRequest('ip', '/', 'late'); } catch (e) {}
        }
      };
      burst(50000);
      await settle();
      const before = rssMb();
      for (let i = 0; i < 10; i++) { burst(50000); await settle(); }
      emit(rssMb() - before);
    })();
  `, { nodeArgs: ['--expose-gc'] });
  assert.equal(status, 0, stderr);
  assert.ok(output[0] < 20, `rss grew by ${output[0].toFixed(1)} MB`);
});
