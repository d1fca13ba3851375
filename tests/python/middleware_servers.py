"""Real HTTP servers on 127.0.0.1 (ephemeral ports) for the middleware tests: the standard
library's WSGI server, and a small asyncio HTTP/1.1 server that speaks ASGI (the standard
library has none). Each runs in a thread and is always shut down by its context manager."""

import asyncio
import http.client
import json
import sys
import threading
from contextlib import contextmanager
from pathlib import Path
from urllib.parse import unquote
from wsgiref.simple_server import WSGIRequestHandler, WSGIServer, make_server

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "python"))

TIMEOUT_S = 10


class _QuietHandler(WSGIRequestHandler):
    def log_message(self, *args):
        pass


@contextmanager
def wsgi_server(app):
    server = make_server("127.0.0.1", 0, app, server_class=WSGIServer,
                         handler_class=_QuietHandler)
    thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05},
                              daemon=True)
    thread.start()
    try:
        yield server.server_port
    finally:
        server.shutdown()
        server.server_close()
        thread.join(TIMEOUT_S)


class _AsgiServer:
    """One request per connection; `client=False` leaves scope["client"] None, as a server on a
    Unix socket does; `state` is handed to every request, as lifespan state is; with
    `client_header`, that request header (when sent) is the client host, as a server behind a
    trusted proxy would report it."""

    def __init__(self, app, client=True, state=None, header_limit=1 << 20, client_header=None):
        self.app, self.client, self.state, self.limit = app, client, state, header_limit
        self.client_header = client_header

    async def handle(self, reader, writer):
        try:
            head = await asyncio.wait_for(reader.readuntil(b"\r\n\r\n"), TIMEOUT_S)
            lines = head.decode("latin-1").split("\r\n")
            method, target, _ = lines[0].split(" ", 2)
            headers = []
            for line in lines[1:]:
                if line:
                    name, _, value = line.partition(":")
                    headers.append((name.strip().lower().encode("latin-1"),
                                    value.strip().encode("latin-1")))
            path, _, query = target.partition("?")
            scope = {"type": "http", "asgi": {"version": "3.0"}, "http_version": "1.1",
                     "method": method, "scheme": "http", "path": unquote(path),
                     "raw_path": path.encode("latin-1"), "query_string": query.encode("latin-1"),
                     "root_path": "", "headers": headers,
                     "client": writer.get_extra_info("peername")[:2] if self.client else None,
                     "server": writer.get_extra_info("sockname")[:2]}
            if self.state is not None:
                scope["state"] = self.state
            forwarded = dict(headers).get((self.client_header or "").lower().encode())
            if forwarded is not None:
                scope["client"] = (forwarded.decode("latin-1"), 0)
            response = {"status": 500, "headers": [], "body": b""}

            async def receive():
                return {"type": "http.request", "body": b"", "more_body": False}

            async def send(message):
                if message["type"] == "http.response.start":
                    response["status"] = message["status"]
                    response["headers"] = list(message.get("headers", []))
                else:
                    response["body"] += message.get("body", b"")

            await self.app(scope, receive, send)
            out = [f"HTTP/1.1 {response['status']} X".encode()]
            names = {name.lower() for name, _ in response["headers"]}
            out += [name + b": " + value for name, value in response["headers"]]
            if b"content-length" not in names:
                out.append(b"content-length: %d" % len(response["body"]))
            out.append(b"connection: close")
            writer.write(b"\r\n".join(out) + b"\r\n\r\n" + response["body"])
            await writer.drain()
        except (asyncio.LimitOverrunError, ValueError):
            writer.write(b"HTTP/1.1 431 X\r\ncontent-length: 0\r\nconnection: close\r\n\r\n")
        finally:
            writer.close()


@contextmanager
def asgi_server(app, **options):
    server = _AsgiServer(app, **options)
    loop = asyncio.new_event_loop()
    started = threading.Event()
    holder = {}

    def run():
        asyncio.set_event_loop(loop)
        holder["server"] = loop.run_until_complete(
            asyncio.start_server(server.handle, "127.0.0.1", 0, limit=server.limit))
        started.set()
        loop.run_forever()

    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    try:
        if not started.wait(TIMEOUT_S):
            raise RuntimeError("the ASGI test server did not start")
        yield holder["server"].sockets[0].getsockname()[1]
    finally:
        async def close():
            holder["server"].close()
            await holder["server"].wait_closed()
        if "server" in holder:
            asyncio.run_coroutine_threadsafe(close(), loop).result(TIMEOUT_S)
        loop.call_soon_threadsafe(loop.stop)
        thread.join(TIMEOUT_S)
        loop.close()


def exchange(port, path="/", headers=None):
    """One GET over a new connection: (status, {lower-case header name: value}, body bytes)."""
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=TIMEOUT_S)
    try:
        conn.request("GET", path, headers=headers or {})
        response = conn.getresponse()
        body = response.read()
        return response.status, {k.lower(): v for k, v in response.getheaders()}, body
    finally:
        conn.close()


def get(port, path="/", headers=None):
    """One GET over a new connection: (status, content type, parsed JSON body or None)."""
    status, fields, body = exchange(port, path, headers)
    kind = fields.get("content-type")
    return status, kind, json.loads(body) if kind == "application/json" else None
