'use strict';
// Every worker thread registers the addon in its own environment and keeps its own
// instances; workers that end with live instances release them.
const test = require('node:test');
const assert = require('node:assert/strict');
const { Worker } = require('node:worker_threads');
const { addonPath, load } = require('./support/addon');

const { TolmNode } = load();

function worker(source) {
  return new Promise((resolve, reject) => {
    const w = new Worker(`
      const { parentPort } = require('node:worker_threads');
      const addon = require(${JSON.stringify(addonPath)});
      ${source}
    `, { eval: true });
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
  assert.equal(main.checkRequest('shared-ip', '/', 0).allowed, true);
  // Instances made here cannot be used from a worker: objects do not cross threads, and
  // the class of another environment refuses ours.
  assert.equal(main.checkRequest('shared-ip', '/', 0).allowed, true);
});

test('a worker that ends while its instances are alive tears down cleanly', async () => {
  for (let round = 0; round < 3; round++) {
    await worker(`
      globalThis.kept = [];
      for (let i = 0; i < 50; i++) {
        const node = new addon.TolmNode({});
        node.checkRequest('ip' + i, '/', 0);
        kept.push(node);
      }
      parentPort.postMessage('done');
    `);
  }
});
