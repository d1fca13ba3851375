'use strict';
// Checking what callers pass: the description of a wrong value, the closest known name to a
// misspelt one, and the checks limiter() and the middleware share.

function distance(a, b) {
  const row = Array.from({ length: b.length + 1 }, (_, j) => j);
  for (let i = 1; i <= a.length; i += 1) {
    let diagonal = row[0];
    row[0] = i;
    for (let j = 1; j <= b.length; j += 1) {
      const above = row[j];
      row[j] = Math.min(row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] === b[j - 1] ? 0 : 1));
      diagonal = above;
    }
  }
  return row[b.length];
}

// The choice `value` was most likely meant to be, if any is close.
function closest(value, choices) {
  const folded = String(value).trim().toLowerCase().replace(/[- ]/g, '_');
  let best = null;
  let bestDistance = Infinity;
  for (const choice of choices) {
    const d = distance(folded, choice.toLowerCase());
    if (d < bestDistance) {
      best = choice;
      bestDistance = d;
    }
  }
  return bestDistance <= Math.max(2, Math.floor(best.length / 3)) ? best : null;
}

function describe(value) {
  if (typeof value === 'string') return JSON.stringify(value);
  if (typeof value === 'function') return `a function${value.name ? ` (${value.name})` : ''}`;
  if (typeof value === 'bigint') return `${value}n`;
  if (typeof value === 'number' || value === undefined) return String(value);
  try {
    // JSON shows own properties only: name what else the object is.
    const proto = value === null ? null : Object.getPrototypeOf(value);
    if (proto !== null && proto !== Object.prototype && !Array.isArray(value)) {
      const made = typeof proto.constructor === 'function' && proto.constructor.prototype === proto;
      return made ? `an instance of ${proto.constructor.name || 'a class'}`
        : `an object that inherits from another (${JSON.stringify(proto)})`;
    }
    return JSON.stringify(value) ?? String(value);
  } catch {
    return String(value);
  }
}

function quoted(choices) {
  return choices.map((c) => JSON.stringify(c)).join(', ');
}

// Throws for a key of `given` that is not in `known`, suggesting the closest known one.
function rejectUnknown(owner, what, given, known, foreign) {
  for (const name of Object.keys(given)) {
    if (known.includes(name)) continue;
    if (Object.prototype.hasOwnProperty.call(foreign, name)) {
      throw new TypeError(`${owner}: ${what} "${name}" ${foreign[name]}`);
    }
    const guess = closest(name, known);
    throw new TypeError(`${owner}: unknown ${what} "${name}"${guess ? `; did you mean "${guess}"?` : ''} (known: ${known.join(', ')})`);
  }
}

function choice(setting, value, choices) {
  if (typeof value !== 'string') {
    throw new TypeError(`limiter: config.${setting} must be a string, one of ${quoted(choices)}; got ${describe(value)}`);
  }
  if (!choices.includes(value)) {
    const guess = closest(value, choices);
    throw new RangeError(`limiter: config.${setting} ${describe(value)} is not one of ${quoted(choices)}${guess ? `; did you mean "${guess}"?` : ''}`);
  }
  return value;
}

function number(setting, value, lowest, accepted) {
  if (typeof value !== 'number') {
    throw new TypeError(`limiter: config.${setting} must be ${accepted}; got ${describe(value)} (${typeof value})`);
  }
  if (!Number.isFinite(value) || value < lowest) {
    throw new RangeError(`limiter: config.${setting} must be ${accepted}; got ${describe(value)}`);
  }
  return value;
}

function isPlainObject(value) {
  if (value === null || typeof value !== 'object' || Array.isArray(value)) return false;
  const proto = Object.getPrototypeOf(value);
  return proto === Object.prototype || proto === null;
}

module.exports = {
  closest, describe, rejectUnknown, isPlainObject, choice, number,
};
