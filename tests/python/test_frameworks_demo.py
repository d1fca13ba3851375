"""The demo servers behind `make serve` key a request by the owner of an issued API key, never by
a value the client made up: both servers, started as the demo starts them."""

import shutil
import sys
from pathlib import Path

import pytest

from middleware_servers import exchange

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "demo"))
import run as demo  # noqa: E402


@pytest.mark.parametrize("kind", ["python", "node"])
def test_only_an_issued_key_buys_an_allowance_of_its_own(kind, monkeypatch):
    if kind == "node" and shutil.which("node") is None:
        pytest.skip("node is not installed")
    from conftest import BUILD_DIR
    monkeypatch.setenv("TOLM_BUILD_DIR", str(BUILD_DIR))
    capacity = demo.CONFIG["capacity"]
    proc, url, _ = demo.start(kind, ["--port", "0", "--exit-with-stdin"],
                              {"TOLM_DEMO_KEYS": "alice=k-alice-1"})
    try:
        port = int(url.rsplit(":", 1)[1])
        path = "/sliding_window/x"  # no window boundary to cross mid-test
        # Each made-up key is the address's allowance, spent in common.
        made_up = [exchange(port, path, {"X-Api-Key": f"guess-{i}"})[0] for i in range(capacity + 1)]
        assert made_up == [200] * capacity + [429]
        assert exchange(port, path)[0] == 429
        # The issued key: its owner's own allowance.
        assert exchange(port, path, {"X-Api-Key": "k-alice-1"})[0] == 200
    finally:
        demo.stop(proc)
