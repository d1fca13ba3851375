"""Run by tests/dist/run.sh with the interpreter of a fresh virtual environment into which the
wheel was installed: the installed package, not the repository, limits a burst of real HTTP
requests (tolm.wsgi in front of a wsgiref server on 127.0.0.1) until it answers 429.
Usage: smoke.py <expected version>. Runs on every CPython from 3.8."""

import os
import platform
import subprocess
import sys
import sysconfig
import tempfile
import threading
import urllib.error
import urllib.request
from importlib.metadata import version
from pathlib import Path
from wsgiref.simple_server import WSGIRequestHandler, make_server

import tolm
import tolm.wsgi
import tolm_native

expected = sys.argv[1]
site = Path(sysconfig.get_paths()["platlib"])
assert Path(tolm_native.__file__) == site / "tolm_native.abi3.so", tolm_native.__file__
assert Path(tolm.__file__).parent == site / "tolm", tolm.__file__
assert tolm.__version__ == version("tolm") == expected, (tolm.__version__, version("tolm"), expected)

# A bad argument travels inside the library as a C++ exception: this exercises the unwinder
# the library carries with its static runtime.
engine = tolm_native.NativeEngine("token_bucket", "active", 1, 0, None, None, "")
try:
    engine.check(1, "/")  # type: ignore[arg-type]
except TypeError:
    pass
else:
    raise AssertionError("check(1, '/') was accepted")


class Quiet(WSGIRequestHandler):
    def log_message(self, *args: object) -> None:
        pass


def hello(environ, start_response):  # type: ignore[no-untyped-def]
    start_response("200 OK", [("Content-Type", "text/plain")])
    return [b"hello"]


app = tolm.wsgi.TolmMiddleware(hello, tolm.limiter("token_bucket", capacity=3, refill_rate=0.01))
server = make_server("127.0.0.1", 0, app, handler_class=Quiet)
thread = threading.Thread(target=server.serve_forever, daemon=True)
thread.start()
url = "http://127.0.0.1:%d/" % server.server_port
answers = []
try:
    for _ in range(10):
        try:
            with urllib.request.urlopen(url, timeout=10) as response:
                answers.append((response.status, response.headers))
        except urllib.error.HTTPError as refused:
            answers.append((refused.code, refused.headers))
            break
finally:
    server.shutdown()
    server.server_close()

statuses = [status for status, _ in answers]
assert statuses == [200, 200, 200, 429], statuses
assert answers[0][1]["RateLimit-Policy"], dict(answers[0][1])
assert answers[-1][1]["Retry-After"] is not None, dict(answers[-1][1])
print("python %d.%d: tolm %s from %s: %s" % (sys.version_info[0], sys.version_info[1], tolm.__version__,
                                             tolm_native.__file__, statuses))

# A damaged library (cut short, found first on the path): tolm says which file, on what system,
# and how to rebuild it, instead of leaving the loader's message alone. A copy is damaged, since
# this process has the installed file mapped.
# Cut within its headers the loader refuses the file; cut further on it would map it and die of
# SIGBUS at the first page past the end, so tolm measures the file before the loader sees it.
for kept in (100, 100_000):
    with tempfile.TemporaryDirectory() as shadow:
        damaged = Path(shadow) / Path(tolm_native.__file__).name
        damaged.write_bytes(Path(tolm_native.__file__).read_bytes()[:kept])
        child = subprocess.run([sys.executable, "-c", "import tolm; tolm.limiter()"],
                               capture_output=True, text=True, timeout=60,
                               env={"PYTHONPATH": shadow, "PATH": os.environ.get("PATH", "")})
    assert child.returncode == 1, (kept, child)
    message = child.stderr.strip().splitlines()[-1]
    assert message.startswith("ImportError: tolm: cannot load the native library"), message
    system = f"Linux {platform.machine()}"
    for expected in (str(damaged), system, "pip install --force-reinstall --no-binary tolm tolm"):
        assert expected in message, (expected, message)
