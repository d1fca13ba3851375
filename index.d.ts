/** Settings of a TolmNode. Every property is optional; `undefined` counts as absent. */
export interface NodeConfig {
  /** "token_bucket" (default), "sliding_window", "fixed_window" or "leaky_bucket". Any
   *  other text runs the token bucket and is still reported as written. */
  algorithm?: string;
  /** "active" (default) enforces, "shadow" reports without enforcing, "disabled" lets
   *  everything through unevaluated. Any other text is active. */
  mode?: string;
  /** Bucket size, or requests per 60-second window for the window algorithms. Default 100. */
  capacity?: number;
  /** Tokens added (token bucket) or drained (leaky bucket) per second. Default 10. */
  refillRate?: number;
  /** When present (even empty), every evaluated check is kept as an in-memory telemetry event. */
  apiKey?: string;
  /** Stored only. A string, not a boolean. */
  debug?: string;
  /** Stored with the telemetry events; never contacted. Default "http://localhost:4000". */
  backendUrl?: string;
  /** Stored only; no limit depends on it. */
  requestsPerMinute?: number;
  /** Stored only; no limit depends on it. */
  requestsPerSecond?: number;
  /** Stored only; no limit depends on it. */
  burstLimit?: number;
  /** Stored only; no limit depends on it. Default 2. */
  burstMultiplier?: number;
  /** Stored only; no limit depends on it. Default 60000. */
  blockDurationMs?: number;
}

export type Reason = 'within_limit' | 'limit_exceeded' | 'token_exhausted';

/** The answer for one request. A new plain object per call. */
export interface NodeCheckResult {
  /** The request may proceed. */
  allowed: boolean;
  /** The limit refused the request, enforced (active) or not (shadow). */
  wouldBlock: boolean;
  /** Absent in disabled mode. */
  reason?: Reason;
  /** The configured algorithm text, exactly as given. */
  algorithm: string;
  /** The remaining allowance in words, or "disabled". */
  debugInfo: string;
}

/** Errors thrown by the binding carry the Node-API status name as `code`. */
export interface TolmError extends Error {
  code:
    | 'InvalidArg'
    | 'ObjectExpected'
    | 'StringExpected'
    | 'NameExpected'
    | 'FunctionExpected'
    | 'NumberExpected'
    | 'BooleanExpected'
    | 'ArrayExpected'
    | 'GenericFailure'
    | 'Cancelled'
    | 'EscapeCalledTwice'
    | 'HandleScopeMismatch'
    | 'CallbackScopeMismatch'
    | 'QueueFull'
    | 'Closing'
    | 'BigintExpected'
    | 'DateExpected'
    | 'ArrayBufferExpected'
    | 'DetachableArraybufferExpected'
    | 'WouldDeadlock'
    | 'NoExternalBuffersAllowed'
    | 'Unknown';
}

/** One rate limiter with its own per-client state, kept until the object is collected. */
export declare class TolmNode {
  /**
   * A number, string or boolean in place of the object means "all defaults"; `undefined`
   * and `null` make the first property read throw a TypeError.
   * @throws TolmError when a property has the wrong type.
   */
  constructor(config: NodeConfig | number | string | boolean);
  /**
   * Decides one request from `ip` on `route`. Limits are kept per `ip`; `route` is only
   * recorded. `startTimeMs` is when handling began, in the unit of `Date.now()`.
   * @throws TolmError when an argument has the wrong type.
   */
  checkRequest(ip: string, route: string, startTimeMs: number): NodeCheckResult;
  /**
   * The middleware's check, deciding as checkRequest does: returns the outcome (bit 0
   * allowed, bit 1 wouldBlock, above them 0 for no reason in disabled mode or 1 + the
   * reason's code) and writes remaining, admitAfterMs and wholeAfterMs into `numbers`
   * (-1 where unknown). `cost` (default 1): the units the request takes, admitted whole or
   * not at all (> 0; whole numbers for the window algorithms).
   * @internal
   */
  _decide(ip: string, route: string, numbers: Float64Array, cost?: number): number;
  /** Forgets the client `key`. @internal */
  _reset(key: string): void;
  /** Gives back (units < 0) or takes (units > 0) allowance without a decision. @internal */
  _adjust(key: string, units: number): void;
  /** Refuses `key` for durationMs; only _reset ends it early. @internal */
  _block(key: string, durationMs: number): void;
  /** Forgets every client (of the whole region for a shared engine). @internal */
  _clear(): void;
  /** Clients evicted to stay within maxClients, and the clients kept. @internal */
  _stats(): { evictions: number; clients: number };
  /**
   * An instance for the friendly layer: any window length (windowMs), a cap on the clients
   * kept (maxClients; required for `shared`, where it sizes the region), a host-wide shared
   * region, and `clock: 'monotonic'` for elapsed time that never steps back.
   * @throws Error whose message starts with the option's name for a bad option.
   * @internal
   */
  static _open(options: Omit<NodeConfig, 'debug'> & {
    windowMs?: number;
    maxClients?: number;
    shared?: string | null;
    clock?: 'wall' | 'monotonic';
    debug?: string | boolean;
  }): TolmNode;
  /** Removes a shared region; false when there was none. @internal */
  static _removeShared(name: string): boolean;
}
