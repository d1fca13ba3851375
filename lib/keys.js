'use strict';
// How a request becomes the engine's key: client addresses by network, IPv4 clients also when
// they arrive inside an IPv6 address, identities in their own namespace, long keys folded into
// a fixed-size digest, and the client address taken from X-Forwarded-For only as far as the
// proxies named as trusted vouch for it. docs/keys.md explains the choices.
//
// Key forms (python/tolm/_keys.py builds the very same ones; the names match too):
//   203.0.113.7               an IPv4 client, also when it arrives inside IPv6: mapped
//                             (::ffff:0:0/96), translated (::ffff:0:0:0/96), compatible
//                             (::/96 outside ::/104), NAT64 (64:ff9b::/96 and the prefixes
//                             given), 6to4 (2002::/16) and Teredo (2001::/32, the client)
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
const net = require('node:net');

const UNKNOWN_KEY = 'unknown';
const MAX_KEY_BYTES = 128;
const IDENTITY_DIGEST_PREFIX = 'id#';
const RAW_DIGEST_PREFIX = 'ip#';
// Longer than any written form of an address with brackets, zone and port worth parsing.
const MAX_PARSED_CHARS = 100;
// No key of up to this many UTF-16 units can exceed MAX_KEY_BYTES in UTF-8.
const SURELY_SHORT = Math.floor(MAX_KEY_BYTES / 3);
const DIGEST_KEY = crypto.randomBytes(32);

function digest(prefix, value) {
  return prefix + crypto.createHmac('sha256', DIGEST_KEY).update(value, 'utf8').digest('hex');
}

function bounded(prefix, digestPrefix, value) {
  const key = prefix + value;
  if (key.length > SURELY_SHORT && Buffer.byteLength(key, 'utf8') > MAX_KEY_BYTES) {
    return digest(digestPrefix, value);
  }
  return key;
}

const NEEDS_ESCAPE = /[\\\uD800-\uDFFF]/;
const ESCAPED = /\\|[\uD800-\uDBFF](?![\uDC00-\uDFFF])|(?<![\uD800-\uDBFF])[\uDC00-\uDFFF]/g;

// `text` as a key holds it, one to one: a lone surrogate (which has no UTF-8 form, so the
// engine would see U+FFFD and distinct identities would share a key) is written \uXXXX, and
// so that such an escape cannot be confused with the same six characters typed by the
// client, a backslash is written twice. Texts without either come back unchanged.
function keyText(text) {
  if (!NEEDS_ESCAPE.test(text)) return text;
  return text.replace(ESCAPED, (unit) => (unit === '\\' ? '\\\\' : `\\u${unit.charCodeAt(0).toString(16)}`));
}

function identityKey(identity) {
  return bounded('id:', IDENTITY_DIGEST_PREFIX, keyText(String(identity)));
}

// `key` as the engine should store it: unchanged when it is not a string or takes at most
// MAX_KEY_BYTES in UTF-8, else `digestPrefix` and the digest of its one-to-one text. For
// callers that hand keys to a TolmNode themselves; addressKey and identityKey already give
// short keys.
function fitKey(key, digestPrefix) {
  if (typeof key !== 'string' || key.length <= SURELY_SHORT ||
      Buffer.byteLength(key, 'utf8') <= MAX_KEY_BYTES) {
    return key;
  }
  return digest(digestPrefix, keyText(key));
}

function isDigit(code) {
  return code >= 48 && code <= 57;
}

function isPort(text) {
  if (text.length === 0 || text.length > 5) return false;
  for (let i = 0; i < text.length; i += 1) if (!isDigit(text.charCodeAt(i))) return false;
  return true;
}

// The 32-bit value of the dotted quad text[start..end) (no leading zeros, each octet at most
// 255), or -1. The one IPv4 parser: plain addresses, the mapped fast path and the quad that
// ends an IPv6 address all come through here.
function ipv4Value(text, start, end) {
  if (end - start > 15 || end - start < 7) return -1;
  let value = 0;
  let octet = 0;
  let digits = 0;
  let parts = 0;
  for (let i = start; i <= end; i += 1) {
    const code = i < end ? text.charCodeAt(i) : 46;
    if (code === 46) {
      if (digits === 0 || parts === 4) return -1;
      value = (value << 8) | octet;
      parts += 1;
      digits = 0;
      octet = 0;
    } else if (code >= 48 && code <= 57) {
      if (digits > 0 && octet === 0) return -1; // a leading zero
      octet = octet * 10 + (code - 48);
      digits += 1;
      if (octet > 255) return -1;
    } else {
      return -1;
    }
  }
  return parts === 4 ? value >>> 0 : -1;
}

function formatIPv4(value) {
  return `${value >>> 24}.${(value >>> 16) & 255}.${(value >>> 8) & 255}.${value & 255}`;
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
      const v4 = count <= 6 ? ipv4Value(text, i, n) : -1;
      if (v4 < 0) return null;
      groups[count] = v4 >>> 16;
      groups[count + 1] = v4 & 0xffff;
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

// { v4: value } or { v6: groups } for an address in any of the forms hostOf accepts; null
// when it does not parse. An IPv4-mapped address is the IPv4 address itself (it is one, seen
// through a dual-stack socket); other embedded forms stay IPv6 here (see embeddedIPv4).
function parseAddress(address) {
  if (address.length > MAX_PARSED_CHARS) return null;
  const host = hostOf(address);
  if (host === null) return null;
  if (host.indexOf(':') === -1) {
    const v4 = ipv4Value(host, 0, host.length);
    return v4 >= 0 ? { v4 } : null;
  }
  const v6 = parseIPv6(host);
  if (!v6) return null;
  if (v6[0] === 0 && v6[1] === 0 && v6[2] === 0 && v6[3] === 0 && v6[4] === 0 && v6[5] === 0xffff) {
    return { v4: v6[6] * 65536 + v6[7] };
  }
  return { v6 };
}

// Byte of a 128-bit address held as eight groups.
function byteAt(groups, index) {
  const group = groups[index >> 1];
  return (index & 1) ? group & 255 : group >> 8;
}

// Where a NAT64 prefix of each allowed length carries the IPv4 address: the bytes after the
// prefix, skipping byte 8 (bits 64-71, which must stay zero).
const NAT64_BYTES = {
  32: [4, 5, 6, 7],
  40: [5, 6, 7, 9],
  48: [6, 7, 9, 10],
  56: [7, 9, 10, 11],
  64: [9, 10, 11, 12],
  96: [12, 13, 14, 15],
};
const WELL_KNOWN_NAT64 = { groups: [0x64, 0xff9b, 0, 0, 0, 0, 0, 0], length: 96 };

function inNetwork(groups, network) {
  for (let i = 0; i * 16 < network.length; i += 1) {
    const bits = Math.min(network.length - 16 * i, 16);
    const mask = (0xffff << (16 - bits)) & 0xffff;
    if ((groups[i] & mask) !== network.groups[i]) return false;
  }
  return true;
}

// The IPv4 client an IPv6 address stands for, or -1: translated (::ffff:0:a.b.c.d),
// compatible (::a.b.c.d, but not ::, ::1 or anything else in ::/104, which are IPv6's own),
// NAT64 under the well-known prefix or one of `nat64`, 6to4 (2002:AABB:CCDD::/48) and
// Teredo (2001:0::/32, whose last 32 bits are the client's address inverted; the server's
// address in bits 32-63 is shared by all its clients).
function embeddedIPv4(groups, nat64) {
  if (nat64) {
    for (const network of nat64) {
      if (inNetwork(groups, network)) {
        const at = NAT64_BYTES[network.length];
        return ((byteAt(groups, at[0]) << 24) | (byteAt(groups, at[1]) << 16) |
          (byteAt(groups, at[2]) << 8) | byteAt(groups, at[3])) >>> 0;
      }
    }
  }
  const low = groups[6] * 65536 + groups[7];
  if (groups[0] === 0 && groups[1] === 0 && groups[2] === 0 && groups[3] === 0) {
    if (groups[4] === 0xffff && groups[5] === 0) return low;
    if (groups[4] === 0 && groups[5] === 0 && low >= 0x1000000) return low;
    return -1;
  }
  if (inNetwork(groups, WELL_KNOWN_NAT64)) return low;
  if (groups[0] === 0x2002) return groups[1] * 65536 + groups[2];
  if (groups[0] === 0x2001 && groups[1] === 0) return 0xffffffff - low;
  return -1;
}

function maskGroups(groups, prefix) {
  const out = new Array(8);
  for (let i = 0; i < 8; i += 1) {
    const bits = Math.min(Math.max(prefix - 16 * i, 0), 16);
    out[i] = groups[i] & ((0xffff << (16 - bits)) & 0xffff);
  }
  return out;
}

const MAPPED_PREFIX = '::ffff:';
// Most keys of parsed addresses kept (the list is cleared when full): an IPv6 client's next
// request costs a lookup instead of a parse and two formattings.
const KEPT_ADDRESS_KEYS = 8192;
const addressKeys = new Map();

function parsedAddressKey(address, subnet, nat64) {
  const parsed = parseAddress(address);
  if (parsed === null) return bounded('ip:', RAW_DIGEST_PREFIX, keyText(address));
  if (parsed.v4 !== undefined) return formatIPv4(parsed.v4);
  const v4 = embeddedIPv4(parsed.v6, nat64);
  if (v4 >= 0) return formatIPv4(v4);
  if (subnet === false) return formatIPv6(parsed.v6);
  return `${formatIPv6(maskGroups(parsed.v6, subnet))}/${subnet}`;
}

// The engine key of a client address as the server reported it; UNKNOWN_KEY when there is
// none. `subnet` is the IPv6 prefix length or false; `nat64` the local NAT64 prefixes from
// nat64Networks (optional).
function addressKey(address, subnet, nat64 = null) {
  if (typeof address !== 'string' || address === '') return UNKNOWN_KEY;
  const length = address.length;
  // Most sockets report a dotted quad, which is its own key (no leading zeros: canonical).
  if (ipv4Value(address, 0, length) >= 0) return address;
  if (address.startsWith(MAPPED_PREFIX) && ipv4Value(address, MAPPED_PREFIX.length, length) >= 0) {
    return address.slice(MAPPED_PREFIX.length);
  }
  if (length > MAX_PARSED_CHARS) return bounded('ip:', RAW_DIGEST_PREFIX, keyText(address));
  const known = addressKeys.get(address);
  if (known !== undefined && known.subnet === subnet && known.nat64 === nat64) return known.key;
  const key = parsedAddressKey(address, subnet, nat64);
  if (addressKeys.size >= KEPT_ADDRESS_KEYS) addressKeys.clear();
  addressKeys.set(address, { subnet, nat64, key });
  return key;
}

// The local NAT64 prefixes of the nat64Prefixes option (CIDR strings, RFC 6052 lengths),
// checked, for addressKey; null for none. Throws naming the entry that is not one.
function nat64Networks(owner, value) {
  if (value === undefined || value === null) return null;
  const entries = typeof value === 'string' ? [value] : value;
  if (!Array.isArray(entries)) {
    throw new TypeError(`${owner}: options.nat64Prefixes must be a CIDR string or an array of them (e.g. "2001:db8:64::/96"); got ${typeof value}`);
  }
  const lengths = Object.keys(NAT64_BYTES).join(', ');
  const networks = entries.map((entry) => {
    const slash = typeof entry === 'string' ? entry.indexOf('/') : -1;
    const address = slash === -1 ? '' : entry.slice(0, slash);
    const length = slash === -1 ? NaN : Number(entry.slice(slash + 1));
    const groups = parseIPv6(address);
    if (groups === null || !/^\d{2}$/.test(entry.slice(slash + 1)) || !NAT64_BYTES[length]) {
      throw new RangeError(`${owner}: options.nat64Prefixes entry ${JSON.stringify(entry)} is not an IPv6 network of length ${lengths} (e.g. "2001:db8:64::/96")`);
    }
    const network = { groups: maskGroups(groups, length), length };
    if (network.groups.some((g, i) => g !== groups[i])) {
      throw new RangeError(`${owner}: options.nat64Prefixes entry ${JSON.stringify(entry)} has bits set after its prefix; write ${formatIPv6(network.groups)}/${length}`);
    }
    return network;
  });
  // The longest prefix that holds an address decides, as in routing.
  networks.sort((a, b) => b.length - a.length);
  return networks.length === 0 ? null : networks;
}

// Most trusted-proxy verdicts kept; the list is cleared when full, so texts a client puts in
// X-Forwarded-For cannot make it grow.
const PROXY_VERDICTS = 1024;

// A matcher for the proxies named in `trustProxy` (addresses or CIDR networks), built on
// net.BlockList; throws a RangeError naming the entry that is neither. An address is matched
// as written (an IPv4-mapped one as its IPv4 address): a NAT64 or 6to4 address is not its
// embedded IPv4 proxy, and an IPv4 address is matched against IPv4 entries only (a BlockList
// would also match it against an IPv6 network such as ::/0 that covers ::ffff:0:0/96).
function proxyMatcher(owner, entries) {
  const lists = { 4: new net.BlockList(), 6: new net.BlockList() };
  for (const entry of entries) {
    if (typeof entry !== 'string') {
      throw new TypeError(`${owner}: options.trustProxy entries must be address or CIDR strings; got ${typeof entry}`);
    }
    const slash = entry.indexOf('/');
    const parsed = parseAddress(slash === -1 ? entry : entry.slice(0, slash));
    const family = parsed && (parsed.v4 !== undefined ? 4 : 6);
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
    if (family === 4) lists[4].addSubnet(formatIPv4(parsed.v4), bits, 'ipv4');
    else lists[6].addSubnet(formatIPv6(parsed.v6), bits, 'ipv6');
  }
  // A BlockList check costs microseconds (it builds a socket address each time), and the
  // same few proxy addresses come with every request.
  const verdicts = new Map();
  return (address) => {
    // A longer text is never an address; kept out, so that no verdict holds a long text.
    if (typeof address !== 'string' || address.length > MAX_PARSED_CHARS) return false;
    let trusted = verdicts.get(address);
    if (trusted !== undefined) return trusted;
    const parsed = parseAddress(address);
    if (parsed === null) return false;
    trusted = parsed.v4 !== undefined
      ? lists[4].check(formatIPv4(parsed.v4), 'ipv4')
      : lists[6].check(formatIPv6(parsed.v6), 'ipv6');
    if (verdicts.size >= PROXY_VERDICTS) verdicts.clear();
    verdicts.set(address, trusted);
    return trusted;
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
  IDENTITY_DIGEST_PREFIX,
  RAW_DIGEST_PREFIX,
  addressKey,
  identityKey,
  keyText,
  fitKey,
  nat64Networks,
  proxyMatcher,
  forwardedClient,
};
