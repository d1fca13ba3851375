"""Demo server: the standard library's WSGI server with one tolm.wsgi middleware (and one
engine) per scenario of scenarios.json. GET /<scenario>/... is limited by that scenario's
engine; the key is the owner of an issued API key sent as X-Api-Key (TOLM_DEMO_KEYS holds
"owner=key,..."), else the client address: a key nobody issued is never a rate-limit key.

Prints one line, "listening <url> <module file>", once it accepts connections."""

import argparse
import hashlib
import json
import os
import sys
import threading
from pathlib import Path
from socketserver import ThreadingMixIn
from wsgiref.simple_server import WSGIRequestHandler, WSGIServer, make_server

HERE = Path(__file__).resolve().parent
BUILD = Path(os.environ.get("TOLM_BUILD_DIR") or HERE.parent / "build")
# The module from the build tree and the middleware from the source tree, not installed copies.
sys.path[:0] = [str(BUILD), str(HERE.parent / "python")]

import tolm_native  # noqa: E402
from tolm import limiter  # noqa: E402
from tolm.wsgi import TolmMiddleware  # noqa: E402


def issued_keys(pairs):
    """{sha256 of an issued key: its owner} from "owner=key,owner=key"."""
    table = {}
    for pair in filter(None, (p.strip() for p in pairs.split(","))):
        owner, _, key = pair.partition("=")
        if owner and key:
            table[hashlib.sha256(key.encode()).hexdigest()] = owner
    return table


ISSUED = issued_keys(os.environ.get("TOLM_DEMO_KEYS", ""))


def customer(environ):
    """The owner of a valid X-Api-Key; None (limit by address) for a missing or unknown key."""
    presented = environ.get("HTTP_X_API_KEY")
    if not presented:
        return None
    return ISSUED.get(hashlib.sha256(presented.encode("utf-8", "surrogateescape")).hexdigest())


def answer(environ, start_response):
    """What the application behind the middleware does: tell the client what the engine said."""
    result = environ["tolm.decision"]
    body = json.dumps({
        "allowed": result["allowed"],
        "would_block": result["would_block"],
        "reason": result["reason"],  # None in disabled mode
        "remaining": result["remaining"],
    }).encode()
    start_response("200 OK", [("Content-Type", "application/json"),
                              ("Content-Length", str(len(body)))])
    return [body]


def build_app(config):
    routes = {
        s["name"]: TolmMiddleware(answer, limiter(s["algorithm"], s["mode"], config["capacity"],
                                                  config["refill_rate"]), identity=customer)
        for s in config["scenarios"]
    }

    def app(environ, start_response):
        name = environ.get("PATH_INFO", "/").strip("/").split("/")[0]
        if name in routes:
            return routes[name](environ, start_response)
        body = json.dumps({"error": "not_found", "try": sorted(routes)}).encode()
        start_response("404 Not Found", [("Content-Type", "application/json"),
                                         ("Content-Length", str(len(body)))])
        return [body]

    return app


class Server(ThreadingMixIn, WSGIServer):
    daemon_threads = True


class QuietHandler(WSGIRequestHandler):
    def log_message(self, *args):
        pass


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--log", action="store_true", help="log each request to stderr")
    parser.add_argument("--exit-with-stdin", action="store_true",
                        help="stop when standard input closes (the demo's lifeline)")
    args = parser.parse_args()
    config = json.loads((HERE / "scenarios.json").read_text())
    server = make_server("127.0.0.1", args.port, build_app(config), server_class=Server,
                         handler_class=WSGIRequestHandler if args.log else QuietHandler)
    if args.exit_with_stdin:
        # Whatever way the parent ends, its end of the pipe closes and this server stops.
        def watch():
            sys.stdin.read()
            server.shutdown()
        threading.Thread(target=watch, daemon=True).start()
    print(f"listening http://127.0.0.1:{server.server_port} {tolm_native.__file__}", flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()


if __name__ == "__main__":
    main()
