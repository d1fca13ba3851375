'use strict';
// A limiter whose counts live in this process cannot see the other workers of a cluster: each
// admits a client its whole allowance. Said once per process, when the first middleware is built.
const cluster = require('node:cluster');

let warned = false;

function warnIfClustered(settings, isWorker = cluster.isWorker) {
  if (warned || !isWorker || (settings && settings.shared)) return false;
  warned = true;
  let sharedStore = false;
  try {
    sharedStore = require('./limiter').SETTINGS.includes('shared');
  } catch {
    // an older limiter.js without the list: no shared store to point to
  }
  const remedy = sharedStore
    ? 'build it with limiter({ ..., shared: "name" }) so the workers share one store'
    : 'see the README\'s "Limits you must know" section';
  process.emitWarning(`this process is a cluster worker and its limiter keeps its counts in this process alone, so each client gets its allowance once per worker; ${remedy}`,
    { type: 'TolmWarning', code: 'TOLM_PER_PROCESS' });
  return true;
}

module.exports = { warnIfClustered };
