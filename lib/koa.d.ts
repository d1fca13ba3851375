import type { TolmNode } from '../index';
import type { Limiter, LimiterConfig, RefusalInfo } from './middleware';

export interface KoaRateLimitOptions<Ctx = any> {
  /** The client's key from the Koa context (ctx.state.user, a session): a verified
   *  identity, or undefined/null to key by ctx.ip. */
  identity?: (ctx: Ctx) => string | number | undefined | null;
  /** Send RateLimit-Policy and RateLimit. Default true. */
  headers?: boolean;
  /** Send X-RateLimit-*. Default false. */
  legacyHeaders?: boolean;
  /** Prefix length by which IPv6 clients are keyed, or false. Default 56. */
  ipv6Subnet?: number | false;
  nat64Prefixes?: string | string[];
  /** Answers a refused request instead of the JSON 429 (the headers are already set). */
  onLimited?: (ctx: Ctx, info: RefusalInfo) => unknown;
  /** A true result lets the request through unchecked. */
  skip?: (ctx: Ctx) => boolean;
  /** Take the client address from X-Forwarded-For through this many hops or these proxies;
   *  prefer Koa's own app.proxy. */
  trustProxy?: number | string[] | false;
}

/** Koa middleware; the decision is ctx.state.tolm. Options are checked here. */
export declare function rateLimit<Ctx = any>(limiter: Limiter | TolmNode | LimiterConfig,
  options?: KoaRateLimitOptions<Ctx>): (ctx: Ctx, next: () => Promise<unknown>) => Promise<unknown>;
