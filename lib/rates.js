'use strict';
// Rates as people write them: '100/minute', '10 per second', '5 per 15 minutes'.
// python/tolm/_rates.py reads the same texts the same way, and tests/rate_cases.json holds
// both to one table of accepted and refused texts.
//
//   rate   = count ("/" | "per") [length] unit
//   count  = a whole number from 1 to 10**12
//   length = a whole number >= 1 (the window is `length` units; 1 when left out)
//   unit   = second | minute | hour | day, singular or plural, any case
//
// Blanks may stand around the parts. The window is at most 366 days.

const UNIT_MS = { second: 1000, minute: 60000, hour: 3600000, day: 86400000 };
const MAX_COUNT = 1e12;
const MAX_WINDOW_MS = 366 * UNIT_MS.day;
const EXAMPLES = '"100/minute", "10 per second" or "5 per 15 minutes"';

// Digits only, so '1e3', '0x10', '1_000' and signs are refused rather than guessed at. The
// blanks are those of Python's ASCII \s, so both read a text alike.
const RATE = /^[ \t\n\r\f\v]*([0-9]+)[ \t\n\r\f\v]*(?:\/|[ \t\n\r\f\v]+per[ \t\n\r\f\v]+|per[ \t\n\r\f\v]+)[ \t\n\r\f\v]*(?:([0-9]+)[ \t\n\r\f\v]*)?(second|minute|hour|day)s?[ \t\n\r\f\v]*$/i;

// { limit, windowMs } for `text`; a TypeError or RangeError showing accepted texts otherwise.
function parseRate(text, owner = 'limiter') {
  if (typeof text !== 'string') {
    throw new TypeError(`${owner}: rate must be a string such as ${EXAMPLES}; got ${typeof text === 'object' ? JSON.stringify(text) : String(text)} (${typeof text})`);
  }
  const found = text.length <= 100 ? RATE.exec(text) : null;
  if (found === null) {
    throw new RangeError(`${owner}: rate ${JSON.stringify(text.slice(0, 100))} is not a rate; write it as ${EXAMPLES} (units: second, minute, hour, day)`);
  }
  // Digit strings longer than a double holds exactly are out of range anyway.
  const count = found[1].length > 15 ? Infinity : Number(found[1]);
  const length = found[2] === undefined ? 1 : (found[2].length > 15 ? Infinity : Number(found[2]));
  if (!(count >= 1 && count <= MAX_COUNT)) {
    throw new RangeError(`${owner}: rate ${JSON.stringify(text)} must allow from 1 to ${MAX_COUNT} requests; write it as ${EXAMPLES}`);
  }
  const windowMs = length * UNIT_MS[found[3].toLowerCase()];
  if (!(windowMs >= 1 && windowMs <= MAX_WINDOW_MS)) {
    throw new RangeError(`${owner}: rate ${JSON.stringify(text)} needs a window from 1 second to 366 days; write it as ${EXAMPLES}`);
  }
  return { limit: count, windowMs };
}

module.exports = { parseRate, UNIT_MS, MAX_WINDOW_MS };
