'use strict';
// How a request becomes the engine's key: client addresses by network, identities in their
// own namespace, long keys folded into a fixed-size digest, and the client address taken
// from X-Forwarded-For only as far as the proxies named as trusted vouch for it.
//
// Key forms (the Python middleware builds the very same ones):
//   203.0.113.7               an IPv4 client, also when it arrives IPv4-mapped (::ffff:...)
//   2001:db8:0:1200::/56      an IPv6 client, by its network (prefix length is a setting;
//                             with false the full address is the key, without a suffix)
//   ip:<text>                 an address that does not parse, keyed by its text
//   id:<identity>             what the application's key function returned
//   id#<hex>, ip#<hex>        an identity or unparsed text whose key would be longer than
//                             MAX_KEY_BYTES: its HMAC-SHA256 under a key drawn per process
//   unknown                   no address at all
// Canonical addresses never start with "i" (not a hex digit), so neither identities nor
// unparsed texts can produce the key of a real address, and the prefixes keep them apart.
const crypto = require('node:crypto');

const UNKNOWN_KEY = 'unknown';
const MAX_KEY_BYTES = 128;
// Longer than any written form of an address with brackets, zone and port worth parsing.
const MAX_PARSED_CHARS = 100;
// No key of up to this many UTF-16 units can exceed MAX_KEY_BYTES in UTF-8.
const SURELY_SHORT = Math.floor(MAX_KEY_BYTES / 3);
const DIGEST_KEY = crypto.randomBytes(32);

function bounded(prefix, digestPrefix, value) {
  const key = prefix + value;
  if (key.length > SURELY_SHORT && Buffer.byteLength(key, 'utf8') > MAX_KEY_BYTES) {
    return digestPrefix + crypto.createHmac('sha256', DIGEST_KEY).update(value, 'utf8').digest('hex');
  }
  return key;
}

const SURROGATE = /[\uD800-\uDFFF]/;
const LONE_SURROGATE = /[\uD800-\uDBFF](?![\uDC00-\uDFFF])|(?<![\uD800-\uDBFF])[\uDC00-\uDFFF]/g;

// A lone surrogate has no UTF-8 form (the engine would see U+FFFD, so distinct identities
// would share a key): it becomes a backslash escape, as the Python middleware writes it.
function wellFormed(text) {
  if (!SURROGATE.test(text)) return text;
  return text.replace(LONE_SURROGATE, (unit) => `\\u${unit.charCodeAt(0).toString(16)}`);
}

function identityKey(identity) {
  return bounded('id:', 'id#', wellFormed(String(identity)));
}

function isDigit(code) {
  return code >= 48 && code <= 57;
}

function isPort(text) {
  if (text.length === 0 || text.length > 5) return false;
  for (let i = 0; i < text.length; i += 1) if (!isDigit(text.charCodeAt(i))) return false;
  return true;
}

// The four octets of a dotted quad (no leading zeros, each at most 255), or null.
function parseIPv4(text) {
  const octets = [0, 0, 0, 0];
  let part = 0;
  let digits = 0;
  let value = 0;
  for (let i = 0; i <= text.length; i += 1) {
    const code = i < text.length ? text.charCodeAt(i) : 46;
    if (code === 46) {
      if (digits === 0 || part > 3) return null;
      octets[part] = value;
      part += 1;
      digits = 0;
      value = 0;
    } else if (isDigit(code)) {
      if (digits > 0 && value === 0) return null; // a leading zero
      value = value * 10 + (code - 48);
      digits += 1;
      if (value > 255) return null;
    } else {
      return null;
    }
  }
  return part === 4 ? octets : null;
}

function hexValue(code) {
  if (code >= 48 && code <= 57) return code - 48;
  const lower = code | 0x20;
  return lower >= 97 && lower <= 102 ? lower - 87 : -1;
}

// The eight 16-bit groups of an IPv6 address (no zone), or null. One pass, no splitting.
function parseIPv6(text) {
  const n = text.length;
  if (n < 2 || n > 45) return null;
  const groups = [0, 0, 0, 0, 0, 0, 0, 0];
  let count = 0;
  let gap = -1;
  let i = 0;
  if (text.charCodeAt(0) === 58) {
    if (text.charCodeAt(1) !== 58) return null;
    gap = 0;
    i = 2;
  }
  while (i < n) {
    if (count === 8) return null;
    let value = 0;
    let j = i;
    for (let d; j < n && (d = hexValue(text.charCodeAt(j))) >= 0; j += 1) {
      if (j - i === 4) return null;
      value = value * 16 + d;
    }
    if (j < n && text.charCodeAt(j) === 46) { // a dotted quad ends the address
      const v4 = count <= 6 ? parseIPv4(text.slice(i)) : null;
      if (!v4) return null;
      groups[count] = (v4[0] << 8) | v4[1];
      groups[count + 1] = (v4[2] << 8) | v4[3];
      count += 2;
      break;
    }
    if (j === i) return null;
    groups[count] = value;
    count += 1;
    if (j === n) break;
    if (text.charCodeAt(j) !== 58 || j + 1 === n) return null;
    i = j + 1;
    if (text.charCodeAt(i) === 58) {
      if (gap !== -1) return null;
      gap = count;
      i += 1;
    }
  }
  if (gap === -1) return count === 8 ? groups : null;
  // "::" stands for at least one group: move what follows it to the end.
  if (count > 7) return null;
  const tail = count - gap;
  for (let k = tail - 1; k >= 0; k -= 1) groups[8 - tail + k] = groups[gap + k];
  for (let k = gap; k < 8 - tail; k += 1) groups[k] = 0;
  return groups;
}

// The address inside "[v6]", "[v6]:port", "v4:port" and "v6%zone" forms; null when the
// text has none of the shapes an address is written in.
function hostOf(address) {
  let host;
  if (address.charCodeAt(0) === 91) { // '['
    const end = address.indexOf(']');
    if (end < 0) return null;
    host = address.slice(1, end);
    const rest = address.slice(end + 1);
    if (host.indexOf(':') === -1) return null;
    if (rest !== '' && !(rest.charCodeAt(0) === 58 && isPort(rest.slice(1)))) return null;
  } else {
    const colon = address.indexOf(':');
    if (colon !== -1 && address.indexOf(':', colon + 1) === -1) {
      if (!isPort(address.slice(colon + 1))) return null;
      host = address.slice(0, colon);
    } else {
      host = address;
    }
  }
  const zone = host.indexOf('%');
  if (zone >= 0) {
    if (host.indexOf(':') === -1 || zone === host.length - 1) return null;
    host = host.slice(0, zone);
  }
  return host;
}

// RFC 5952 text: lower-case hex without leading zeros, the longest run of two or more zero
// groups (the first of equals) written as "::".
function formatIPv6(groups) {
  let bestStart = -1;
  let bestLength = 1;
  let start = -1;
  for (let i = 0; i <= 8; i += 1) {
    if (i < 8 && groups[i] === 0) {
      if (start < 0) start = i;
    } else if (start >= 0) {
      if (i - start > bestLength) {
        bestStart = start;
        bestLength = i - start;
      }
      start = -1;
    }
  }
  const hex = groups.map((g) => g.toString(16));
  if (bestStart < 0) return hex.join(':');
  return `${hex.slice(0, bestStart).join(':')}::${hex.slice(bestStart + bestLength).join(':')}`;
}

// { v4: octets } or { v6: groups } for an address in any of the forms hostOf accepts (an
// IPv4-mapped IPv6 address gives its IPv4 address); null when it does not parse.
function parseAddress(address) {
  if (address.length > MAX_PARSED_CHARS) return null;
  const host = hostOf(address);
  if (host === null) return null;
  if (host.indexOf(':') === -1) {
    const v4 = parseIPv4(host);
    return v4 ? { v4 } : null;
  }
  const v6 = parseIPv6(host);
  if (!v6) return null;
  if (v6[0] === 0 && v6[1] === 0 && v6[2] === 0 && v6[3] === 0 && v6[4] === 0 && v6[5] === 0xffff) {
    return { v4: [v6[6] >> 8, v6[6] & 255, v6[7] >> 8, v6[7] & 255] };
  }
  return { v6 };
}

function maskGroups(groups, prefix) {
  const out = new Array(8);
  for (let i = 0; i < 8; i += 1) {
    const bits = Math.min(Math.max(prefix - 16 * i, 0), 16);
    out[i] = groups[i] & ((0xffff << (16 - bits)) & 0xffff);
  }
  return out;
}

// True when text[start..] is exactly a dotted quad (what most sockets report), so that it is
// its own key without building anything.
function isDottedQuad(text, start) {
  const end = text.length;
  if (end - start > 15 || end - start < 7) return false;
  let parts = 0;
  let digits = 0;
  let value = 0;
  for (let i = start; i <= end; i += 1) {
    const code = i < end ? text.charCodeAt(i) : 46;
    if (code === 46) {
      if (digits === 0) return false;
      parts += 1;
      digits = 0;
      value = 0;
    } else if (code >= 48 && code <= 57) {
      if (digits > 0 && value === 0) return false; // a leading zero
      value = value * 10 + (code - 48);
      digits += 1;
      if (value > 255) return false;
    } else {
      return false;
    }
  }
  return parts === 4;
}

const MAPPED_PREFIX = '::ffff:';

// The engine key of a client address as the server reported it; UNKNOWN_KEY when there is
// none. `subnet` is the IPv6 prefix length or false.
function addressKey(address, subnet) {
  if (typeof address !== 'string' || address === '') return UNKNOWN_KEY;
  if (isDottedQuad(address, 0)) return address;
  if (address.startsWith(MAPPED_PREFIX) && isDottedQuad(address, MAPPED_PREFIX.length)) {
    return address.slice(MAPPED_PREFIX.length);
  }
  const parsed = parseAddress(address);
  if (parsed === null) return bounded('ip:', 'ip#', address);
  if (parsed.v4) return parsed.v4.join('.');
  if (subnet === false) return formatIPv6(parsed.v6);
  return `${formatIPv6(maskGroups(parsed.v6, subnet))}/${subnet}`;
}

// A matcher for the proxies named in `trustProxy` (addresses or CIDR networks); throws a
// RangeError naming the entry that is neither.
function proxyMatcher(owner, entries) {
  const networks = entries.map((entry) => {
    if (typeof entry !== 'string') {
      throw new TypeError(`${owner}: options.trustProxy entries must be address or CIDR strings; got ${typeof entry}`);
    }
    const slash = entry.indexOf('/');
    const parsed = parseAddress(slash === -1 ? entry : entry.slice(0, slash));
    const family = parsed && (parsed.v4 ? 4 : 6);
    const widest = family === 4 ? 32 : 128;
    let bits = slash === -1 ? widest : Number(entry.slice(slash + 1));
    // An IPv4-mapped network written in IPv6 form counts its prefix over all 128 bits.
    if (family === 4 && slash !== -1 && entry.slice(0, slash).includes(':')) {
      if (!(bits >= 96 && bits <= 128)) {
        throw new RangeError(`${owner}: options.trustProxy entry ${JSON.stringify(entry)} is an IPv4-mapped network, whose prefix must be from 96 to 128`);
      }
      bits -= 96;
    }
    if (!parsed || !Number.isInteger(bits) || bits < 0 || bits > widest ||
        (slash !== -1 && !/^\d{1,3}$/.test(entry.slice(slash + 1)))) {
      throw new RangeError(`${owner}: options.trustProxy entry ${JSON.stringify(entry)} is not an IP address or CIDR network (e.g. "10.0.0.0/8", "::1")`);
    }
    const groups = family === 4
      ? [(parsed.v4[0] << 8) | parsed.v4[1], (parsed.v4[2] << 8) | parsed.v4[3]]
      : parsed.v6;
    const prefix = family === 4 ? bits + 96 : bits;
    return { family, prefix, groups: maskGroups(family === 4 ? [0, 0, 0, 0, 0, 0, ...groups] : groups, prefix) };
  });
  return (address) => {
    const parsed = parseAddress(address);
    if (parsed === null) return false;
    const family = parsed.v4 ? 4 : 6;
    const groups = parsed.v4
      ? [0, 0, 0, 0, 0, 0, (parsed.v4[0] << 8) | parsed.v4[1], (parsed.v4[2] << 8) | parsed.v4[3]]
      : parsed.v6;
    for (const net of networks) {
      if (net.family !== family) continue;
      const masked = maskGroups(groups, net.prefix);
      let same = true;
      for (let i = 0; i < 8 && same; i += 1) same = masked[i] === net.groups[i];
      if (same) return true;
    }
    return false;
  };
}

// The client address behind trusted proxies: walking from the socket's peer leftwards
// through X-Forwarded-For, the first address not vouched for (by hop count, or by being a
// named proxy); the leftmost one when all are.
function forwardedClient(req, trusted) {
  const socket = req.socket;
  let address = socket ? socket.remoteAddress : undefined;
  if (typeof address !== 'string' || address === '') return undefined;
  const header = req.headers ? req.headers['x-forwarded-for'] : undefined;
  if (typeof header !== 'string') return address;
  let end = header.length;
  for (let hop = 0; trusted(address, hop); hop += 1) {
    let entry = '';
    while (entry === '' && end > 0) {
      const comma = header.lastIndexOf(',', end - 1);
      entry = header.slice(comma + 1, end).trim();
      end = comma < 0 ? 0 : comma;
    }
    if (entry === '') break; // every address is vouched for: the leftmost is the client
    address = entry;
  }
  return address;
}

module.exports = {
  UNKNOWN_KEY,
  MAX_KEY_BYTES,
  addressKey,
  identityKey,
  proxyMatcher,
  forwardedClient,
};
