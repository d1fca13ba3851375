'use strict';
// The limiter's own connection to a Redis server named by a redis:// or unix:// URL: the few
// commands the Redis store sends (SCRIPT LOAD, EVALSHA, EVAL), written in the protocol's own
// framing and read back by a small parser. A general client builds a command object, a
// promise chain and a reply transformer for every call, which costs a check about as much CPU
// as the round trip itself; here a check is one string written and one reply parsed.
//
// Rules this connection keeps:
// - A command is written once. When the connection drops, every command in flight is failed
//   (the server may already have run it) and the next command opens a new connection.
// - Replies come in the order commands were written, so one FIFO of waiting callers matches
//   them; a reply that arrives after its caller gave up (the limiter's time budget) still
//   takes its place in that order.
// - Commands written in the same turn of the event loop go out in one write.
const net = require('net');

class RedisReplyError extends Error {
  constructor(message) {
    super(message);
    this.name = 'RedisReplyError';
  }
}

class ConnectionClosedError extends Error {
  constructor(why) {
    super(`the connection to redis closed${why ? `: ${why}` : ''}`);
    this.name = 'ConnectionClosedError';
  }
}

// One command in the protocol's framing: an array of bulk strings.
function encode(args) {
  let out = `*${args.length}\r\n`;
  for (const arg of args) out += `$${Buffer.byteLength(arg)}\r\n${arg}\r\n`;
  return out;
}

// Where to connect and what to say first, from a redis:// or unix:// URL:
// redis://[[user]:password@]host[:port][/db] and unix:///path[?db=N&password=P&username=U].
function connectionOptions(url) {
  let parsed;
  try {
    parsed = new URL(url);
  } catch {
    throw new TypeError(`limiter: redis: ${JSON.stringify(url)} is not a URL`);
  }
  const options = { username: decodeURIComponent(parsed.username), password: decodeURIComponent(parsed.password) };
  let db = '0';
  if (parsed.protocol === 'unix:') {
    options.path = decodeURIComponent(parsed.pathname);
    if (options.path === '') throw new TypeError(`limiter: redis: ${JSON.stringify(url)} names no socket path`);
    db = parsed.searchParams.get('db') ?? '0';
    options.username = parsed.searchParams.get('username') ?? options.username;
    options.password = parsed.searchParams.get('password') ?? options.password;
  } else {
    options.host = parsed.hostname.replace(/^\[(.*)\]$/, '$1') || '127.0.0.1';
    options.port = parsed.port === '' ? 6379 : Number(parsed.port);
    const rest = parsed.pathname.replace(/^\//, '');
    if (rest !== '') db = rest;
  }
  if (!/^\d{1,5}$/.test(db)) throw new TypeError(`limiter: redis: the database in ${JSON.stringify(url)} must be a number`);
  options.db = Number(db);
  return options;
}

// The reply that starts at buffer[pos], as [value, next position], or null when the buffer
// ends before it does. An error reply is a RedisReplyError value, handed to its caller.
function parseReply(buffer, pos) {
  if (pos >= buffer.length) return null;
  const end = buffer.indexOf('\r\n', pos);
  if (end < 0) return null;
  const type = buffer[pos];
  const line = buffer.toString('latin1', pos + 1, end);
  const next = end + 2;
  switch (type) {
    case 0x2b: // + simple string
      return [line, next];
    case 0x2d: // - error
      return [new RedisReplyError(buffer.toString('utf8', pos + 1, end)), next];
    case 0x3a: // : integer
      return [Number(line), next];
    case 0x24: { // $ bulk string
      const length = Number(line);
      if (length < 0) return [null, next];
      if (next + length + 2 > buffer.length) return null;
      return [buffer.toString('utf8', next, next + length), next + length + 2];
    }
    case 0x2a: { // * array
      const count = Number(line);
      if (count < 0) return [null, next];
      const items = new Array(count);
      let at = next;
      for (let i = 0; i < count; i += 1) {
        const item = parseReply(buffer, at);
        if (item === null) return null;
        items[i] = item[0];
        at = item[1];
      }
      return [items, at];
    }
    default:
      throw new RedisReplyError(`unexpected reply type ${JSON.stringify(String.fromCharCode(type))} from the server`);
  }
}

class RespConnection {
  // `options` from connectionOptions(); `connectTimeoutMs` bounds opening a connection.
  constructor(options, connectTimeoutMs) {
    this.options = options;
    this.connectTimeoutMs = connectTimeoutMs;
    this.socket = null;
    this.waiting = []; // { resolve, reject } per command written or queued, oldest first
    this.head = 0;
    this.outgoing = [];
    this.flushQueued = false;
    this.input = null;
    this.closed = false;
    this.flush = () => this._flush();
  }

  // The reply to the command `args` (an array of strings), or its error.
  call(args) {
    return this.send(encode(args));
  }

  // The reply to a command already in the protocol's framing (see encode()).
  send(framed) {
    if (this.closed) return Promise.reject(new ConnectionClosedError('the limiter was closed'));
    if (this.socket === null) this._open();
    return new Promise((resolve, reject) => {
      this.waiting.push({ resolve, reject });
      this.outgoing.push(framed);
      if (!this.flushQueued) {
        this.flushQueued = true;
        queueMicrotask(this.flush);
      }
    });
  }

  // Gives up the current connection, failing what is in flight on it; the next command opens
  // a new one. For a connection that stopped answering: a peer that vanished without closing
  // it (a host gone, a NAT entry dropped) would otherwise hold every later command until TCP
  // gives up, many minutes later.
  reset(why) {
    if (this.socket !== null) this._fail(this.socket, new ConnectionClosedError(why));
  }

  close() {
    this.closed = true;
    if (this.socket !== null) this._fail(this.socket, new ConnectionClosedError('the limiter was closed'));
  }

  _open() {
    const { options } = this;
    const socket = options.path !== undefined
      ? net.connect({ path: options.path })
      : net.connect({ host: options.host, port: options.port });
    this.socket = socket;
    this.input = null;
    socket.setNoDelay(true);
    socket.setTimeout(this.connectTimeoutMs, () => {
      this._fail(socket, new ConnectionClosedError(`no connection within ${this.connectTimeoutMs} ms`));
    });
    socket.once('connect', () => socket.setTimeout(0));
    socket.on('data', (chunk) => this._read(socket, chunk));
    socket.on('error', (err) => this._fail(socket, err));
    socket.on('close', () => this._fail(socket, new ConnectionClosedError()));
    // What a new connection says first, ahead of every queued command: its replies are
    // checked here, and a refusal fails the connection with the server's own words.
    const hello = [];
    if (options.password !== '') {
      hello.push(options.username !== '' ? ['AUTH', options.username, options.password] : ['AUTH', options.password]);
    }
    if (options.db !== 0) hello.push(['SELECT', String(options.db)]);
    for (const args of hello) {
      this.waiting.push({
        resolve: () => {},
        reject: (err) => this._fail(socket, err),
      });
      this.outgoing.push(encode(args));
    }
  }

  _flush() {
    this.flushQueued = false;
    if (this.outgoing.length === 0 || this.socket === null) return;
    const text = this.outgoing.length === 1 ? this.outgoing[0] : this.outgoing.join('');
    this.outgoing.length = 0;
    this.socket.write(text);
  }

  _read(socket, chunk) {
    if (socket !== this.socket) return;
    let buffer = this.input === null ? chunk : Buffer.concat([this.input, chunk]);
    let pos = 0;
    for (;;) {
      let parsed;
      try {
        parsed = parseReply(buffer, pos);
      } catch (err) {
        this._fail(socket, err);
        return;
      }
      if (parsed === null) break;
      pos = parsed[1];
      const waiter = this.waiting[this.head];
      if (waiter === undefined) {
        this._fail(socket, new RedisReplyError('a reply came that no command asked for'));
        return;
      }
      this.waiting[this.head] = undefined;
      this.head += 1;
      if (this.head === this.waiting.length) {
        this.waiting.length = 0;
        this.head = 0;
      } else if (this.head >= 1024 && this.head * 2 >= this.waiting.length) {
        // Under steady load a command is always in flight and the queue never empties: the
        // answered front is dropped here rather than kept for ever.
        this.waiting = this.waiting.slice(this.head);
        this.head = 0;
      }
      const value = parsed[0];
      if (value instanceof RedisReplyError) waiter.reject(value);
      else waiter.resolve(value);
    }
    if (pos < buffer.length) {
      buffer = buffer.subarray(pos);
      this.input = buffer;
    } else {
      this.input = null;
    }
  }

  // Ends `socket` (if it is still this connection's) and fails every command in flight on it.
  _fail(socket, err) {
    if (socket !== this.socket) return;
    this.socket = null;
    this.input = null;
    socket.destroy();
    const waiting = this.waiting.slice(this.head);
    this.waiting = [];
    this.head = 0;
    this.outgoing.length = 0;
    for (const waiter of waiting) waiter.reject(err);
  }
}

module.exports = { RespConnection, RedisReplyError, connectionOptions, encode, parseReply };
