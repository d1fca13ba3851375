'use strict';
// Express behind tolm: each API key (or, without one, each client address) may send 60
// requests per 60-second window. Refused requests get 429 before any route runs.
//
//   npm install /path/to/tolm express   # in your app
//   node express_app.js                 # then: curl -i -H 'X-Api-Key: k1' http://127.0.0.1:3000/
const express = require('express');
const { TolmNode } = require('tolm');
const { rateLimit } = require('tolm/middleware');

const app = express();
app.use(rateLimit(new TolmNode({ algorithm: 'fixed_window', capacity: 60 }), {
  key: (req) => req.get('x-api-key'),
}));

app.get('/', (req, res) => {
  res.json({ hello: 'world', left: res.locals.tolm.debugInfo });
});

app.listen(3000, '127.0.0.1', () => console.log('listening on http://127.0.0.1:3000'));
