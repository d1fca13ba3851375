"""A real redis-server for the Redis tests: started on a free loopback port with no
persistence, and stopped (or paused, or restarted) by the test that owns it."""

from __future__ import annotations

import os
import random
import shutil
import signal
import socket
import subprocess
import threading
import time
from typing import Optional

import pytest

REDIS_SERVER = shutil.which("redis-server")


def free_port() -> int:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def free_cluster_port() -> int:
    """A free port whose cluster bus port (10000 above it) is free too."""
    rng = random.Random()
    while True:
        port = rng.randrange(20000, 50000)
        try:
            with socket.socket() as a, socket.socket() as b:
                a.bind(("127.0.0.1", port))
                b.bind(("127.0.0.1", port + 10000))
                return port
        except OSError:
            continue


class RedisServer:
    def __init__(self, workdir: str, port: Optional[int] = None) -> None:
        self.workdir = workdir
        self.port = port or free_port()
        self.process: Optional[subprocess.Popen] = None

    @property
    def url(self) -> str:
        return f"redis://127.0.0.1:{self.port}/0"

    def start(self, *extra: str) -> "RedisServer":
        self.process = subprocess.Popen(
            [REDIS_SERVER, "--port", str(self.port), "--bind", "127.0.0.1", "--save", "",
             "--appendonly", "no", "--dir", self.workdir, "--protected-mode", "yes", *extra],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=0.2) as sock:
                    sock.sendall(b"PING\r\n")
                    if sock.recv(16).startswith(b"+PONG"):
                        return self
            except OSError:
                pass
            if self.process.poll() is not None:
                break
            # Real time is the point: a real server process starting to listen; no limiter
            # decision waits on it.
            time.sleep(0.02)
        raise RuntimeError(f"redis-server did not start on port {self.port}")

    def stop(self) -> None:
        if self.process is not None and self.process.poll() is None:
            self.process.send_signal(signal.SIGCONT)
            self.process.terminate()
            self.process.wait(10)
        self.process = None

    def restart(self) -> None:
        self.stop()
        self.start()

    def pause(self) -> None:
        assert self.process is not None
        os.kill(self.process.pid, signal.SIGSTOP)

    def resume(self) -> None:
        assert self.process is not None
        os.kill(self.process.pid, signal.SIGCONT)


class DroppingProxy:
    """A loopback TCP relay in front of a server that, once armed, forwards the next request
    it receives and then closes that connection before the reply comes back: the server runs
    the request, and the client sees its connection drop in the middle of it."""

    def __init__(self, port: int) -> None:
        self.target = port
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.drop_next = threading.Event()
        self.dropped = 0
        self.open: list = []
        threading.Thread(target=self._accept, daemon=True).start()

    @property
    def url(self) -> str:
        return f"redis://127.0.0.1:{self.port}/0"

    def _accept(self) -> None:
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            upstream = socket.create_connection(("127.0.0.1", self.target))
            self.open += [client, upstream]
            muted = threading.Event()
            threading.Thread(target=self._requests, args=(client, upstream, muted),
                             daemon=True).start()
            threading.Thread(target=self._replies, args=(upstream, client, muted),
                             daemon=True).start()

    def _requests(self, client: socket.socket, upstream: socket.socket,
                  muted: threading.Event) -> None:
        try:
            while data := client.recv(65536):
                dropping = self.drop_next.is_set()
                if dropping:
                    muted.set()  # no reply to this request may reach the client
                upstream.sendall(data)
                if dropping:
                    self.drop_next.clear()
                    self.dropped += 1
                    upstream.shutdown(socket.SHUT_WR)
                    client.shutdown(socket.SHUT_RDWR)
                    client.close()
                    return
        except OSError:
            pass
        finally:
            upstream.close()

    def _replies(self, upstream: socket.socket, client: socket.socket,
                 muted: threading.Event) -> None:
        try:
            while (data := upstream.recv(65536)) and not muted.is_set():
                client.sendall(data)
        except OSError:
            pass
        finally:
            try:
                client.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            client.close()

    def close(self) -> None:
        self.listener.close()
        for sock in self.open:
            sock.close()


def running_cluster(tmp_path, nodes: int = 3):
    """A started Redis Cluster of `nodes` primaries (slots spread over all of them), for a
    fixture to yield, stopped after the test."""
    if REDIS_SERVER is None or shutil.which("redis-cli") is None:
        pytest.skip("redis-server is not installed (scripts/bootstrap installs it)")
    servers = []
    try:
        for i in range(nodes):
            workdir = os.path.join(str(tmp_path), f"node{i}")
            os.makedirs(workdir)
            servers.append(RedisServer(workdir, free_cluster_port()).start(
                "--cluster-enabled", "yes", "--cluster-config-file", "nodes.conf"))
        subprocess.run(["redis-cli", "--cluster", "create",
                        *[f"127.0.0.1:{s.port}" for s in servers], "--cluster-replicas", "0",
                        "--cluster-yes"], check=True, capture_output=True, timeout=60)
        deadline = time.monotonic() + 30
        while True:
            states = [subprocess.run(["redis-cli", "-p", str(s.port), "cluster", "info"],
                                     capture_output=True, text=True).stdout for s in servers]
            if all("cluster_state:ok" in state for state in states):
                break
            if time.monotonic() >= deadline:
                raise RuntimeError("the redis-server nodes did not agree on their slots in 30 s")
            # Real time is the point: real server processes gossiping until they agree on the
            # slots; no limiter decision waits on it.
            time.sleep(0.1)
        yield servers
    finally:
        for server in servers:
            server.stop()


def running(tmp_path):
    """A started server for a fixture to yield, stopped after the test."""
    if REDIS_SERVER is None:
        pytest.skip("redis-server is not installed (scripts/bootstrap installs it)")
    pytest.importorskip("redis", reason="the redis package is not installed "
                                        "(scripts/bootstrap installs it)")
    server = RedisServer(str(tmp_path)).start()
    yield server
    server.stop()
