'use strict';
// Loopback HTTP for the middleware suites: a server on an ephemeral port that is always
// closed, and one GET per connection that reports status, headers and body.
const http = require('node:http');

async function serving(listener, body) {
  const server = http.createServer(listener);
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  try {
    return await body(server.address().port);
  } finally {
    server.closeAllConnections();
    await new Promise((resolve) => server.close(resolve));
  }
}

function exchange(port, urlPath = '/', headers = {}) {
  return new Promise((resolve, reject) => {
    const req = http.get({ host: '127.0.0.1', port, path: urlPath, headers, agent: false,
      timeout: 10000 }, (res) => {
      let text = '';
      res.setEncoding('utf8');
      res.on('data', (chunk) => { text += chunk; });
      res.on('end', () => resolve({ status: res.statusCode, headers: res.headers, body: text }));
    });
    req.on('timeout', () => req.destroy(new Error('request timed out')));
    req.on('error', reject);
  });
}

// RateLimit's r and t (null when absent).
function rateLimitField(headers) {
  const match = /^"(\w+)";r=(\d+)(?:;t=(\d+))?$/.exec(headers.ratelimit || '');
  if (!match) throw new Error(`no RateLimit field: ${JSON.stringify(headers)}`);
  return [Number(match[2]), match[3] === undefined ? null : Number(match[3])];
}

module.exports = { serving, exchange, rateLimitField };
