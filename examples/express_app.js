'use strict';
// Express behind tolm: each signed-in user may send 60 requests per 60-second window; a
// request without a valid token is limited by its client address (an IPv6 client by its /56
// network). Refused requests get 429 with Retry-After before any route runs.
//
// The token is verified (an HMAC over the user name) BEFORE the user becomes a rate-limit
// key. Text a client merely sends (an X-Api-Key header, an unchecked user id) is never a
// rate-limit key, or a client would get a fresh allowance with every new value.
//
//   npm install /path/to/tolm express    # in your app
//   TOKEN_SECRET=change-me node express_app.js
//   curl -i -H "Authorization: Bearer alice.$(printf alice | openssl dgst -sha256 -hmac change-me -binary | basenc --base64url | tr -d =)" http://127.0.0.1:3000/
const crypto = require('node:crypto');
const express = require('express');
const { limiter, rateLimit } = require('tolm/middleware');

const secret = process.env.TOKEN_SECRET || crypto.randomBytes(32).toString('hex');

function sign(user) {
  return crypto.createHmac('sha256', secret).update(user).digest('base64url');
}

// The user of a valid "Bearer <user>.<signature>" token; undefined (limit by address) for a
// missing or forged one.
function verifiedUser(req) {
  const match = /^Bearer ([\w-]{1,64})\.([\w-]{43})$/.exec(req.get('authorization') || '');
  if (!match) return undefined;
  const expected = Buffer.from(sign(match[1]));
  const given = Buffer.from(match[2]);
  return crypto.timingSafeEqual(expected, given) ? match[1] : undefined;
}

const app = express();
// Behind reverse proxies, trust exactly the hops in front of this server (or name their
// addresses, e.g. 'loopback, 10.0.0.0/8'), never `true`: with `true` every client picks its
// own address through X-Forwarded-For.
const hops = Number(process.env.TRUST_PROXY_HOPS || 0);
if (hops > 0) app.set('trust proxy', hops);

app.use(rateLimit(limiter({ algorithm: 'fixed_window', capacity: 60 }), { identity: verifiedUser }));

app.get('/', (req, res) => {
  res.json({ hello: verifiedUser(req) || 'anonymous', left: res.locals.tolm.remaining });
});

const server = app.listen(Number(process.env.PORT || 3000), '127.0.0.1', () => {
  console.log(`listening on http://127.0.0.1:${server.address().port}`);
});

module.exports = { sign };
