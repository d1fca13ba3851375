"""Shared setup: import tolm_native from the build directory, and run child interpreters whose
wall clock the test controls through the fake-clock preload library."""

import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

BUILD_DIR = Path(os.environ.get("TOLM_BUILD_DIR", Path(__file__).resolve().parents[2] / "build"))
if not (BUILD_DIR / "tolm_native.abi3.so").exists():
    raise RuntimeError(f"no tolm_native.abi3.so in {BUILD_DIR}; set TOLM_BUILD_DIR")
sys.path.insert(0, str(BUILD_DIR))

FAKE_CLOCK = BUILD_DIR / "libtolm_fake_clock.so"


@pytest.fixture
def make_engine():
    import tolm_native

    def make(algorithm="token_bucket", mode="active", capacity=3, refill_rate=0.0,
             api_key=None, debug=None, backend_url=""):
        return tolm_native.NativeEngine(algorithm, mode, capacity, refill_rate, api_key, debug,
                                        backend_url)

    return make


class Child:
    """A child interpreter with tolm_native importable and CLOCK_REALTIME read from a file."""

    def __init__(self, tmp_path: Path):
        self.clock_file = tmp_path / "clock_ms"
        self.env = dict(os.environ)
        self.env["PYTHONPATH"] = str(BUILD_DIR)
        # After anything the runner preloads (a sanitizer runtime must come first).
        self.env["LD_PRELOAD"] = ":".join(filter(None, [os.environ.get("LD_PRELOAD"), str(FAKE_CLOCK)]))
        self.env["TOLM_FAKE_CLOCK_FILE"] = str(self.clock_file)
        self.set_clock(1_700_000_000_000)

    def set_clock(self, ms: int) -> None:
        self.clock_file.write_text(f"{ms}\n")

    def run(self, script: str, timeout: float = 60) -> subprocess.CompletedProcess:
        """Runs `script`; its globals hold CLOCK_FILE and set_clock(ms) to move its clock."""
        prelude = textwrap.dedent(f"""
            CLOCK_FILE = {str(self.clock_file)!r}
            def set_clock(ms):
                with open(CLOCK_FILE, "w") as f:
                    f.write(f"{{ms}}\\n")
        """)
        return subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(script)],
                              env=self.env, capture_output=True, text=True, timeout=timeout)


@pytest.fixture
def child(tmp_path):
    if not FAKE_CLOCK.exists():
        pytest.fail(f"{FAKE_CLOCK} is missing; build with the tests enabled")
    return Child(tmp_path)
