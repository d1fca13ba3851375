"""A real redis-server for the Redis tests: started on a free loopback port with no
persistence, and stopped (or paused, or restarted) by the test that owns it."""

from __future__ import annotations

import os
import shutil
import signal
import socket
import subprocess
import time
from typing import Optional

import pytest

REDIS_SERVER = shutil.which("redis-server")


def free_port() -> int:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


class RedisServer:
    def __init__(self, workdir: str, port: Optional[int] = None) -> None:
        self.workdir = workdir
        self.port = port or free_port()
        self.process: Optional[subprocess.Popen] = None

    @property
    def url(self) -> str:
        return f"redis://127.0.0.1:{self.port}/0"

    def start(self) -> "RedisServer":
        self.process = subprocess.Popen(
            [REDIS_SERVER, "--port", str(self.port), "--bind", "127.0.0.1", "--save", "",
             "--appendonly", "no", "--dir", self.workdir, "--protected-mode", "yes"],
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
            time.sleep(0.02)  # waiting for a real process to listen, not for the limiter's time
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


def running(tmp_path):
    """A started server for a fixture to yield, stopped after the test."""
    if REDIS_SERVER is None:
        pytest.skip("redis-server is not installed (scripts/bootstrap installs it)")
    pytest.importorskip("redis", reason="the redis package is not installed "
                                        "(scripts/bootstrap installs it)")
    server = RedisServer(str(tmp_path)).start()
    yield server
    server.stop()
