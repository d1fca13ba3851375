import type { TolmNode } from '../index';
import type { Limiter, LimiterConfig, RefusalInfo } from './middleware';

/** A route's own limit (`config: { rateLimit }`): a limiter or its config, `true` for the
 *  plugin's limiter, or `false` to exempt the route. */
export type RouteRateLimit = Limiter | TolmNode | LimiterConfig | boolean;

export interface TolmFastifyOptions {
  /** The limit of every route without `config.rateLimit` (unless `global` is false), and the
   *  one `config.rateLimit: true` names. Required unless `global` is false. */
  limiter?: Limiter | TolmNode | LimiterConfig;
  /** Hold every route to `limiter` by default. Default true. */
  global?: boolean;
  /** The client's key from the Fastify request (request.user, a session): a verified
   *  identity, or undefined/null to key by request.ip. */
  identity?: (request: any) => string | number | undefined | null;
  /** Send RateLimit-Policy and RateLimit. Default true. */
  headers?: boolean;
  /** Send X-RateLimit-*. Default false. */
  legacyHeaders?: boolean;
  /** Prefix length by which IPv6 clients are keyed, or false. Default 56. */
  ipv6Subnet?: number | false;
  nat64Prefixes?: string | string[];
  /** Answers a refused request instead of the JSON 429 (the headers are already on the
   *  reply); it must send the reply. */
  onLimited?: (request: any, reply: any, info: RefusalInfo) => unknown;
  /** A true result lets the request through unchecked. */
  skip?: (request: any) => boolean;
}

/** The plugin (the decision is request.tolm): `await fastify.register(tolmFastify, { limiter })` (awaited, or before the
 *  routes in plugin order, so that its hook is on every route added after it). */
declare function tolmFastify(fastify: any, options: TolmFastifyOptions,
  done: (err?: Error) => void): void;
export default tolmFastify;
export { tolmFastify };
