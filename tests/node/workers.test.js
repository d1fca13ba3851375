'use strict';
// Every worker thread registers the addon in its own environment and keeps its own
// instances; workers that end with live instances release them.
const test = require('node:test');
const assert = require('node:assert/strict');
const { Worker } = require('node:worker_threads');
const { addonPath, load } = require('./support/addon');

const { TolmNode } = load();

function worker(source, workerData) {
  return new Promise((resolve, reject) => {
    const w = new Worker(`
      const { parentPort } = require('node:worker_threads');
      const addon = require(${JSON.stringify(addonPath)});
      ${source}
    `, { eval: true, workerData });
    const messages = [];
    w.on('message', (m) => messages.push(m));
    w.on('error', reject);
    w.on('exit', (code) => (code === 0 ? resolve(messages) : reject(new Error(`exit ${code}`))));
  });
}

test('workers register concurrently and limit independently of each other', async () => {
  const main = new TolmNode({ capacity: 3, refillRate: 0 });
  const runs = await Promise.all(Array.from({ length: 6 }, (_, i) => worker(`
    const node = new addon.TolmNode({ capacity: 3, refillRate: 0, algorithm: 'w${i}' });
    const allowed = [];
    for (let k = 0; k < 5; k++) allowed.push(node.checkRequest('shared-ip', '/', 0).allowed);
    parentPort.postMessage({ keys: Object.keys(addon), allowed,
      algorithm: node.checkRequest('x', '/', 0).algorithm });
  `)));
  runs.forEach(([message], i) => {
    assert.deepEqual(message, {
      keys: ['TolmNode'],
      allowed: [true, true, true, false, false],
      algorithm: `w${i}`,
    });
  });
  // The workers' checks of the same address spent nothing of this thread's instance.
  assert.deepEqual([0, 1, 2, 3].map(() => main.checkRequest('shared-ip', '/', 0).allowed),
    [true, true, true, false]);
});

test('an instance made in one thread is refused by the class of another', async () => {
  // Posting an instance clones its own properties only, leaving the native part behind: the
  // worker's class must refuse the copy rather than read it as an engine.
  const main = new TolmNode({ capacity: 1, refillRate: 0 });
  const [outcome] = await worker(`
    const { workerData } = require('node:worker_threads');
    const tries = [];
    const argumentsOf = { checkRequest: ['a', '/', 0], _decide: ['a', '/', new Float64Array(3)], _decider: [new Float64Array(3)] };
    for (const method of ['checkRequest', '_decide', '_decider']) {
      try {
        addon.TolmNode.prototype[method].call(workerData, ...argumentsOf[method]);
        tries.push('accepted');
      } catch (error) {
        tries.push(error.code);
      }
    }
    parentPort.postMessage(tries);
  `, main);
  assert.deepEqual(outcome, ['InvalidArg', 'InvalidArg', 'InvalidArg']);
  assert.equal(main.checkRequest('a', '/', 0).allowed, true);
});

test('a worker that ends while its instances are alive tears down cleanly', async () => {
  const main = new TolmNode({ capacity: 1, refillRate: 0 });
  for (let round = 0; round < 3; round++) {
    // worker() rejects unless the thread exits with code 0.
    const messages = await worker(`
      globalThis.kept = [];
      for (let i = 0; i < 50; i++) {
        const node = new addon.TolmNode({ capacity: 1, refillRate: 0 });
        node.checkRequest('ip' + i, '/', 0);
        kept.push(node);
      }
      parentPort.postMessage(kept.map((node, i) => node.checkRequest('ip' + i, '/', 0).allowed));
    `);
    assert.deepEqual(messages, [Array(50).fill(false)], `round ${round}`);
    // Instances of this thread outlive the workers' teardown.
    assert.equal(main.checkRequest(`after ${round}`, '/', 0).allowed, true);
  }
});
