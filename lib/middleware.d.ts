import type { IncomingMessage, ServerResponse } from 'node:http';
import type { NodeCheckResult, TolmNode } from '../index';

/** The key of a request that has neither a key of its own nor a client address. */
export declare const UNKNOWN_KEY: 'unknown';

/** `key` as a TolmNode should store it: unchanged when it takes at most 128 bytes of UTF-8,
 *  else `digestPrefix` ("id#" or "ip#") and 64 hex digits of its digest. The middleware's
 *  keys are already short; use this for texts from requests passed to checkRequest. */
export declare function fitKey<T>(key: T, digestPrefix: string): T | string;

/** Settings accepted by {@link limiter}; every other property name is refused. */
export interface LimiterConfig {
  /** Default "token_bucket". */
  algorithm?: 'token_bucket' | 'sliding_window' | 'fixed_window' | 'leaky_bucket';
  /** "active" (default) enforces, "shadow" only reports, "disabled" evaluates nothing. */
  mode?: 'active' | 'shadow' | 'disabled';
  /** A finite number >= 1: bucket size, or requests per 60-second window. Default 100. */
  capacity?: number;
  /** A finite number >= 0: tokens added (token bucket) or drained (leaky bucket) per
   *  second. Default 10. */
  refillRate?: number;
  /** When present, every evaluated check is kept as an in-memory telemetry event. */
  apiKey?: string;
  /** '100/minute', '10 per second', '5 per 15 minutes' (docs/limits.md): instead of capacity,
   *  refillRate and windowMs. */
  rate?: string;
  /** The window algorithms' window in ms, 1 to 366 days. Default 60000. */
  windowMs?: number;
  /** The policy's name in the RateLimit headers. Default: the algorithm. */
  name?: string;
  /** A region name (1 to 200 printable ASCII characters, no blank, '/' or '\'): every
   *  process of the host that builds a limiter with this name and the same settings, Python
   *  or Node, spends one allowance per client (docs/shared.md). */
  shared?: string;
  /** With `shared`: the clients the region is sized for (1 to 2^28, default 100000).
   *  Without: the most clients kept, evicting the one nearest to recovery (0, the default:
   *  no bound). */
  maxClients?: number;
  /** "monotonic" (default): a step of the system clock changes no decision; "wall": the
   *  wall clock, as `new TolmNode(...)` reads it. */
  clock?: 'monotonic' | 'wall';
}

/** Methods of a {@link limiter} instance beside TolmNode's own. `key` is the text the client
 *  is keyed by: the one given to `check`, or `req.tolm.key` under the middleware. */
export interface FriendlyLimiter {
  /** Decides one request taking `cost` units (all, or none when the allowance is short). */
  check(key: string, route?: string, options?: { cost?: number }): Decision;
  /** Forgets the client (and ends a block on it). */
  reset(key: string): void;
  /** Gives `n` units back (never beyond a fresh client's allowance). Default 1. */
  refund(key: string, n?: number): void;
  /** Takes `n` more units, without a request. Default 1. */
  penalize(key: string, n?: number): void;
  /** Refuses every request of the client for `ms` milliseconds. */
  block(key: string, ms: number): void;
  /** Forgets every client (in a shared region: for every process that uses it). */
  clear(): void;
  /** Clients kept now, and clients evicted by `maxClients` or a full region. */
  stats(): { clients: number; evictions: number };
}

/** Several limiters deciding each request together ({@link limits}). */
export declare class Limits {
  readonly limiters: ReadonlyArray<TolmNode & FriendlyLimiter>;
  check(key: string, route?: string, options?: { cost?: number }): Decision & { limits: Decision[] };
  reset(key: string): void;
  refund(key: string, n?: number): void;
  penalize(key: string, n?: number): void;
  block(key: string, ms: number): void;
}

/** Several limiters as one: a request is refused when any refuses, and a refusal by one gives
 *  the others back the units they took for it. Each needs its own name. */
export declare function limits(limiters: Array<TolmNode & FriendlyLimiter>): Limits;

/** req.rateLimit: the numbers of the limit with the fewest requests left. */
export interface RateLimitInfo {
  readonly limit: number;
  readonly used: number;
  readonly remaining: number;
  /** When a refused request is admitted, else when the whole allowance is back. */
  readonly resetTime: Date | undefined;
}

/** The settings a {@link limiter} instance was built from. */
export interface LimiterSettings {
  readonly algorithm: 'token_bucket' | 'sliding_window' | 'fixed_window' | 'leaky_bucket';
  readonly mode: 'active' | 'shadow' | 'disabled';
  readonly capacity: number;
  readonly refillRate: number;
  readonly apiKey?: string;
  readonly windowMs: number;
  readonly name: string;
  readonly shared?: string;
  readonly maxClients?: number;
  readonly clock?: 'monotonic' | 'wall';
}

/**
 * A new TolmNode from checked settings, remembered for the middleware's headers.
 * @throws TypeError or RangeError naming the setting, the value and what is accepted, for an
 *   unknown setting or name, a capacity that is not a finite number >= 1, or a refill rate
 *   that is not a finite number >= 0. `new TolmNode(...)` takes any settings unchecked.
 */
export declare function limiter(config: LimiterConfig & RedisConfig,
  options?: { TolmNode?: typeof TolmNode }): RedisLimiter;
export declare function limiter(config?: LimiterConfig,
  options?: { TolmNode?: typeof TolmNode }): TolmNode & FriendlyLimiter;

/** The Redis store's settings (docs/redis.md): clients' state lives in Redis, shared by every
 *  process and host that uses the same server and prefix. */
export interface RedisConfig {
  /** A redis:// or unix:// URL (the limiter opens a connection of its own; rediss:// needs
   *  ioredis or redis installed), an ioredis client, or a connected node-redis client. */
  redis: string | object;
  /** Text before each client's key. Default "tolm:". */
  redisPrefix?: string;
  /** When Redis cannot answer in time: "local" (default: an in-process limiter with the same
   *  settings), "refuse" or "allow". */
  onRedisError?: 'local' | 'refuse' | 'allow';
  /** The time budget of one check, ms. Default 5. */
  redisTimeoutMs?: number;
  /** Hears "fallback" when Redis stops answering and "recovery" when it answers again. */
  onRedisEvent?: (kind: 'fallback' | 'recovery', error: unknown) => void;
  /** The window of the two window algorithms, ms. Default 60000. */
  windowMs?: number;
  /** Lease mode: the largest batch of units a process takes per round trip. */
  lease?: number;
  /** How long a lease may be spent, ms. Default 1000. */
  leaseMs?: number;
  /** With `lease`: a region name (as LimiterConfig's) where the workers of the host keep their
   *  leases together, so that the host is one holder (docs/redis.md). */
  shared?: string;
  /** With `shared`: the clients the lease region is sized for (default 100000). */
  maxClients?: number;
}

/** A limiter whose state lives in Redis; each check is a promise. */
export interface RedisLimiter {
  readonly algorithm: string;
  readonly mode: string;
  /** Settles once the server has been reached and took the script; rejects with the reason
   *  (unreachable, scripting refused) otherwise. */
  readonly ready: Promise<void>;
  readonly redisStats: { calls: number; errors: number; fallbacks: number; recoveries: number; local: number };
  readonly redisAvailable: boolean;
  check(ip: string, route: string, identity?: string, cost?: number): Promise<NodeCheckResult & {
    remaining: number | null; admitAfterMs: number | null; wholeAfterMs: number | null;
  }>;
  close(): Promise<void>;
}

/** The settings a {@link limiter} instance was built from; undefined for anything else. */
export declare function limiterSettings(instance: unknown): LimiterSettings | undefined;

/** A TolmNode of this package's addon. */
export interface Limiter {
  checkRequest(ip: string, route: string, startTimeMs: number): NodeCheckResult;
}

/** The engine's decision on one request, as the middleware hands it to the application. */
export interface Decision {
  /** The request may proceed (always true in shadow and disabled mode). */
  allowed: boolean;
  /** The limit refused it, enforced or not (shadow mode). */
  wouldBlock: boolean;
  /** Absent in disabled mode, which evaluates nothing. */
  reason?: 'within_limit' | 'limit_exceeded' | 'token_exhausted';
  /** The limiter's algorithm; undefined for a TolmNode whose settings are unknown. */
  algorithm?: string;
  /** Requests the key may still make now; null in disabled mode. */
  remaining: number | null;
  /** On a refusal, ms from the check after which a retry is admitted; null otherwise or
   *  when that never happens. */
  admitAfterMs: number | null;
  /** Ms from the check after which the key's whole allowance is back; null when never. */
  wholeAfterMs: number | null;
  /** The text the client is keyed by, for limiter.reset(key) and the like. */
  key?: string;
  /** The units the request took (options.cost). */
  cost?: number;
}

/** What a custom refusal handler is told. */
export interface RefusalInfo {
  /** The limiter's decision on the refused request. */
  result: Decision;
  /** Seconds after which a retry is admitted (sent as Retry-After); undefined when the
   *  client never gets back in (a bucket with refill rate 0) or the settings are unknown. */
  retryAfter?: number;
}

export interface RateLimitOptions<Req extends IncomingMessage = IncomingMessage,
  Res extends ServerResponse = ServerResponse> {
  /** The client's key: an identity the application has verified (a session's user, a
   *  checked token). `undefined` or `null` falls back to the client address. Identities are
   *  kept apart from addresses, so no identity can spend an address's allowance. */
  identity?: (req: Req) => string | number | undefined | null;
  /** @deprecated The older name of `identity` (the Python middleware's name too). */
  key?: (req: Req) => string | number | undefined | null;
  /** Send the IETF RateLimit-Policy and RateLimit fields. Default true. */
  headers?: boolean;
  /** Send X-RateLimit-Limit, X-RateLimit-Remaining and X-RateLimit-Reset. Default false. */
  legacyHeaders?: boolean;
  /** Prefix length by which IPv6 clients are keyed (1-128), or false for full addresses.
   *  Default 56. */
  ipv6Subnet?: number | false;
  /** Local NAT64 prefixes (CIDR, RFC 6052 lengths 32-96) whose clients are keyed by the IPv4
   *  address inside, as 64:ff9b::/96 always is. */
  nat64Prefixes?: string | string[];
  /** Answers a refused request instead of the JSON 429; the rate-limit headers and
   *  Retry-After are already set on `res`. It must end the response. */
  onLimited?: (req: Req, res: Res, info: RefusalInfo) => void;
  /** @deprecated The older name of `onLimited` (the Python middleware's `on_limited`). */
  handler?: (req: Req, res: Res, info: RefusalInfo) => void;
  /** A true result lets the request through unchecked (no headers, no req.tolm). */
  skip?: (req: Req) => boolean;
  /** Take the client address from X-Forwarded-For, believing exactly this many proxy hops
   *  in front of the server, or only the proxies at these addresses / CIDR networks. Under
   *  Express, prefer Express's own `trust proxy` setting (with hops or addresses). */
  trustProxy?: number | string[] | false;
  /** The units a request takes (a finite number > 0). Default 1. */
  cost?: (req: Req) => number;
  /** Give a request's units back when its answer succeeded (status below 400). */
  skipSuccessful?: boolean;
  /** Give a request's units back when its answer failed (400 or above, or closed early). */
  skipFailed?: boolean;
}

export interface HandlerOptions<Req extends IncomingMessage = IncomingMessage,
  Res extends ServerResponse = ServerResponse> extends RateLimitOptions<Req, Res> {
  /** Told about an error thrown by `identity`, `skip` or `onLimited`; the request is
   *  answered 500. */
  onError?: (err: unknown, req: Req) => void;
}

declare module 'node:http' {
  interface IncomingMessage {
    /** The limiter's decision on this request, set by the tolm middleware. */
    tolm?: Decision;
    /** Limit, used, remaining and resetTime, set by the tolm middleware. */
    rateLimit?: RateLimitInfo;
  }
}

/**
 * Express/Connect middleware: a limiter from {@link limiter} (or a config to build one).
 * A TolmNode from `new TolmNode(...)` is accepted only with `headers: false` and
 * `legacyHeaders: false`. Options are checked here: an unknown option throws.
 */
export declare function rateLimit<Req extends IncomingMessage = IncomingMessage,
  Res extends ServerResponse = ServerResponse>(
  limiter: Limiter | TolmNode | RedisLimiter | Limits | LimiterConfig,
  options?: RateLimitOptions<Req, Res>,
): (req: Req, res: Res, next: (err?: unknown) => void) => void;

/** Wraps a node:http request listener: refused requests are answered 429 before `handler`. */
export declare function withRateLimit<Req extends IncomingMessage = IncomingMessage,
  Res extends ServerResponse = ServerResponse>(
  limiter: Limiter | TolmNode | RedisLimiter | Limits | LimiterConfig,
  handler: (req: Req, res: Res) => unknown,
  options?: HandlerOptions<Req, Res>,
): (req: Req, res: Res) => unknown;
