import type { IncomingMessage, ServerResponse } from 'node:http';
import type { NodeCheckResult, NodeConfig, TolmNode } from '../index';

/** The key of a request that has neither a key of its own nor a client address. */
export declare const UNKNOWN_KEY: 'unknown';

/** Anything with TolmNode's checkRequest; a TolmNode from any build of the addon. */
export interface Limiter {
  checkRequest(ip: string, route: string, startTimeMs: number): NodeCheckResult;
}

export interface RateLimitOptions<Req extends IncomingMessage = IncomingMessage> {
  /** The client's key (an API key, a user id). `undefined` or `null` falls back to the client
   *  address. Keys share one namespace with addresses. */
  key?: (req: Req) => string | undefined | null;
}

export interface HandlerOptions<Req extends IncomingMessage = IncomingMessage>
  extends RateLimitOptions<Req> {
  /** Told about an error thrown by `key`; the request is answered 500. */
  onError?: (err: unknown, req: Req) => void;
}

declare module 'node:http' {
  interface IncomingMessage {
    /** The limiter's result for this request, set by the tolm middleware. */
    tolm?: NodeCheckResult;
  }
}

/** Express/Connect middleware. A TolmNode, or a NodeConfig to build one from. */
export declare function rateLimit<Req extends IncomingMessage = IncomingMessage,
  Res extends ServerResponse = ServerResponse>(
  limiter: Limiter | TolmNode | NodeConfig,
  options?: RateLimitOptions<Req>,
): (req: Req, res: Res, next: (err?: unknown) => void) => void;

/** Wraps a node:http request listener: refused requests are answered 429 before `handler`. */
export declare function withRateLimit<Req extends IncomingMessage = IncomingMessage,
  Res extends ServerResponse = ServerResponse>(
  limiter: Limiter | TolmNode | NodeConfig,
  handler: (req: Req, res: Res) => unknown,
  options?: HandlerOptions<Req>,
): (req: Req, res: Res) => unknown;
