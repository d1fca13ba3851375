"""One limit for every worker: real multi-worker servers (gunicorn with Flask, uvicorn with
Starlette) and a Node process, each started here on a free loopback port and stopped, all
limiting one client through one shared region. With refill 0 and capacity N, exactly N of a
client's requests may get through, whatever process answers."""

import concurrent.futures
import os
import shutil
import signal
import socket
import subprocess
import sys
import textwrap
import time
import urllib.error
import urllib.request
import uuid
from pathlib import Path

import pytest

from conftest import BUILD_DIR

import tolm_native

ROOT = Path(__file__).resolve().parents[2]
PYTHON_DIR = ROOT / "python"
VENV_BIN = Path(sys.executable).parent
CAPACITY = 7
REQUESTS = 60

pytestmark = pytest.mark.skipif(not hasattr(tolm_native, "_open"),
                                reason="this tolm_native has no shared store (_open) yet")


@pytest.fixture
def region():
    name = f"tolm-test-{os.getpid()}-{uuid.uuid4().hex[:12]}"
    yield name
    tolm_native._remove_shared(name)


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def child_env(region: str, **extra: str) -> dict:
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([str(PYTHON_DIR), str(BUILD_DIR)])
    env["TOLM_TEST_REGION"] = region
    env["TOLM_TEST_CAPACITY"] = str(CAPACITY)
    env.pop("WEB_CONCURRENCY", None)
    env.update(extra)
    return env


FLASK_APP = """
import os
from flask import Flask
import tolm
from tolm.flask import Limiter

app = Flask(__name__)
shared = tolm.limiter(capacity=int(os.environ["TOLM_TEST_CAPACITY"]), refill_rate=0,
                      shared=os.environ["TOLM_TEST_REGION"], max_clients=1000)
Limiter(default=shared).init_app(app)

@app.get("/")
def index():
    return "ok"

# Every answer, refusals included, names the worker that gave it.
inner = app.wsgi_app
def named(environ, start_response):
    def start(status, headers, *exc):
        return start_response(status, headers + [("X-Worker", str(os.getpid()))], *exc)
    return inner(environ, start)
app.wsgi_app = named
"""

# Each gunicorn worker says when it is ready to serve, preloaded or not.
GUNICORN_CONF = """
import os
def post_worker_init(worker):
    open(os.path.join(os.environ["TOLM_TEST_READY"], str(os.getpid())), "w").close()
"""

STARLETTE_APP = """
import os
from starlette.applications import Starlette
from starlette.responses import PlainTextResponse
from starlette.routing import Route
import tolm
from tolm.asgi import TolmMiddleware

async def index(request):
    return PlainTextResponse("ok")

limited = TolmMiddleware(Starlette(routes=[Route("/", index)]),
                         tolm.limiter(capacity=int(os.environ["TOLM_TEST_CAPACITY"]),
                                      refill_rate=0, shared=os.environ["TOLM_TEST_REGION"],
                                      max_clients=1000))

# Each worker is spawned and imports this module before it serves.
open(os.path.join(os.environ["TOLM_TEST_READY"], str(os.getpid())), "w").close()

# Every answer, refusals included, names the worker that gave it.
async def app(scope, receive, send):
    async def named(message):
        if message["type"] == "http.response.start":
            message = dict(message, headers=list(message.get("headers", []))
                           + [(b"x-worker", str(os.getpid()).encode())])
        await send(message)
    await limited(scope, receive, named)
"""


class Server:
    """A server process group on a loopback port, stopped (the whole group) on exit."""

    def __init__(self, argv, env, port, cwd):
        self.port = port
        self.process = subprocess.Popen(argv, env=env, cwd=cwd, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.PIPE, start_new_session=True)

    def wait_until_up(self, ready_dir, workers=4, timeout=60.0):
        """Until every worker has said it is ready and the port answers."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise AssertionError(f"server exited: {self.process.stderr.read().decode()}")
            if len(os.listdir(ready_dir)) >= workers:
                try:
                    with socket.create_connection(("127.0.0.1", self.port), timeout=1):
                        return
                except OSError:
                    pass
            # Real time is the point: real gunicorn or uvicorn workers starting up; no limiter
            # decision waits on it.
            time.sleep(0.05)
        raise AssertionError("server did not come up")

    def stop(self):
        if self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGTERM)
            try:
                self.process.wait(timeout=20)
            except subprocess.TimeoutExpired:
                os.killpg(self.process.pid, signal.SIGKILL)
                self.process.wait()
        self.process.stderr.close()


def hammer(port: int, count: int = REQUESTS):
    """`count` requests of one client, 12 at a time: (status, worker's pid) each."""
    def one(_):
        try:
            with urllib.request.urlopen(f"http://127.0.0.1:{port}/", timeout=20) as answer:
                return answer.status, answer.headers["X-Worker"]
        except urllib.error.HTTPError as refused:
            return refused.code, refused.headers["X-Worker"]
    with concurrent.futures.ThreadPoolExecutor(12) as pool:
        return list(pool.map(one, range(count)))


def serve(tmp_path, region, argv_of, source):
    (tmp_path / "shared_app.py").write_text(textwrap.dedent(source))
    (tmp_path / "gunicorn_conf.py").write_text(textwrap.dedent(GUNICORN_CONF))
    ready = tmp_path / "ready"
    ready.mkdir()
    port = free_port()
    server = Server(argv_of(port), child_env(region, TOLM_TEST_READY=str(ready)), port, tmp_path)
    try:
        server.wait_until_up(ready)
        return hammer(port)
    finally:
        server.stop()


def assert_exactly_capacity(answers):
    statuses = sorted(status for status, _ in answers)
    assert statuses == [200] * CAPACITY + [429] * (REQUESTS - CAPACITY)
    # Several workers answered: each alone would have admitted the whole capacity.
    assert len({pid for _, pid in answers}) >= 2


@pytest.mark.skipif(shutil.which("gunicorn", path=str(VENV_BIN)) is None,
                    reason="gunicorn is not in the project environment")
@pytest.mark.parametrize("preload", [False, True], ids=["open-in-each-worker", "preload"])
def test_gunicorn_four_workers_admit_exactly_capacity(tmp_path, region, preload):
    # --preload opens the region in the arbiter and forks the workers with it open; without
    # it each worker opens the region after the fork.
    def argv(port):
        return [str(VENV_BIN / "gunicorn"), "-w", "4", "-b", f"127.0.0.1:{port}",
                "--graceful-timeout", "5", "-c", "gunicorn_conf.py",
                *(["--preload"] if preload else []),
                "shared_app:app"]
    answers = serve(tmp_path, region, argv, FLASK_APP)
    assert_exactly_capacity(answers)


@pytest.mark.skipif(shutil.which("uvicorn", path=str(VENV_BIN)) is None,
                    reason="uvicorn is not in the project environment")
def test_uvicorn_four_workers_admit_exactly_capacity(tmp_path, region):
    # uvicorn spawns its workers: nothing is inherited, each finds the region by name.
    def argv(port):
        return [str(VENV_BIN / "uvicorn"), "--workers", "4", "--host", "127.0.0.1",
                "--port", str(port), "--log-level", "warning", "shared_app:app"]
    answers = serve(tmp_path, region, argv, STARLETTE_APP)
    assert_exactly_capacity(answers)


NODE_HAMMER = """
const { TolmNode } = require(process.env.TOLM_ADDON);
const fs = require('node:fs');
const engine = TolmNode._open({ algorithm: 'token_bucket', mode: 'active',
  capacity: Number(process.env.TOLM_TEST_CAPACITY), refillRate: 0, maxClients: 1000,
  shared: process.env.TOLM_TEST_REGION, clock: 'monotonic' });
const numbers = new Float64Array(3);
while (!fs.existsSync(process.env.TOLM_TEST_GO)) {}
let admitted = 0;
for (let i = 0; i < Number(process.env.TOLM_TEST_TRIES); i += 1) {
  if ((engine._decide('client', '/', numbers) & 1) !== 0) admitted += 1;
}
console.log(admitted);
"""

PYTHON_HAMMER = """
import os, tolm_native
engine = tolm_native._open("token_bucket", "active", int(os.environ["TOLM_TEST_CAPACITY"]), 0,
                           max_clients=1000, shared=os.environ["TOLM_TEST_REGION"],
                           clock="monotonic")
while not os.path.exists(os.environ["TOLM_TEST_GO"]):
    pass
print(sum(engine._decide("client", "/", None)[0] & 1 for _ in
          range(int(os.environ["TOLM_TEST_TRIES"]))))
"""


@pytest.mark.skipif(shutil.which("node") is None, reason="no node on the PATH")
def test_python_and_node_processes_share_one_allowance(tmp_path, region):
    # Both runtimes open the same region and spend one key at once: the admissions add up to
    # the capacity, not to twice it.
    capacity, tries = 20000, 30000
    go = tmp_path / "go"
    env = child_env(region, TOLM_TEST_CAPACITY=str(capacity), TOLM_TEST_TRIES=str(tries),
                    TOLM_TEST_GO=str(go), TOLM_ADDON=str(BUILD_DIR / "tolm_native.node"))
    # The region is created before either starts, so neither races the other to create it.
    tolm_native._open("token_bucket", "active", capacity, 0, max_clients=1000, shared=region,
                      clock="monotonic")
    children = [subprocess.Popen(argv, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                 text=True)
                for argv in ([sys.executable, "-c", PYTHON_HAMMER] for _ in range(2))]
    children.append(subprocess.Popen(["node", "-e", NODE_HAMMER], env=env,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True))
    go.write_text("go")
    outputs = [child.communicate(timeout=120) for child in children]
    for child, (_, err) in zip(children, outputs):
        assert child.returncode == 0, err
    admitted = [int(out.strip()) for out, _ in outputs]
    assert sum(admitted) == capacity, admitted


def test_a_fork_after_opening_and_an_open_after_fork_share_the_parents_counts(region):
    # The parent opens and spends 2; one child uses the parent's engine, another opens by
    # name after the fork; then the parent sees what both spent.
    engine = tolm_native._open("token_bucket", "active", 10, 0, max_clients=100, shared=region,
                               clock="monotonic")
    for _ in range(2):
        assert engine._decide("k", "/", None)[0] & 1
    for reopen in (False, True):
        pid = os.fork()
        if pid == 0:
            code = 1
            try:
                mine = tolm_native._open("token_bucket", "active", 10, 0, max_clients=100,
                                         shared=region, clock="monotonic") if reopen else engine
                code = 0 if all(mine._decide("k", "/", None)[0] & 1 for _ in range(3)) else 2
            finally:
                os._exit(code)
        _, status = os.waitpid(pid, 0)
        assert os.waitstatus_to_exitcode(status) == 0
    assert engine._decide("k", "/", None)[1] == 1   # 10 - 2 - 3 - 3, less this one
    assert sum(engine._decide("k", "/", None)[0] & 1 for _ in range(5)) == 1


def test_a_region_outlives_its_processes_and_refuses_other_settings(tmp_path, region):
    # A region left by a process that is gone (here SIGKILLed) is found again with its
    # counts; other settings are refused with both sides named, from Python and from Node;
    # once removed the name starts afresh.
    opener = ("import tolm_native, os, sys\n"
              "e = tolm_native._open('token_bucket', 'active', 5, 0, max_clients=100, "
              f"shared={region!r}, clock='monotonic')\n"
              "[e._decide('k', '/', None) for _ in range(3)]\n"
              "os.kill(os.getpid(), 9)\n")
    done = subprocess.run([sys.executable, "-c", opener], env=child_env(region), timeout=60)
    assert done.returncode == -signal.SIGKILL
    later = tolm_native._open("token_bucket", "active", 5, 0, max_clients=100, shared=region,
                              clock="monotonic")
    assert sum(later._decide("k", "/", None)[0] & 1 for _ in range(5)) == 2

    with pytest.raises((OSError, ValueError)) as refused:
        tolm_native._open("token_bucket", "active", 6, 0, max_clients=100, shared=region)
    assert region in str(refused.value)
    assert "5" in str(refused.value) and "6" in str(refused.value)
    if shutil.which("node"):
        script = ("const { TolmNode } = require(process.env.TOLM_ADDON);\n"
                  "try { TolmNode._open({ algorithm: 'leaky_bucket', capacity: 5, "
                  "refillRate: 0, maxClients: 100, shared: process.env.TOLM_TEST_REGION });"
                  " process.exit(3); } catch (e) { console.log(e.message); }\n")
        node = subprocess.run(["node", "-e", script], capture_output=True, text=True,
                              env=child_env(region, TOLM_ADDON=str(BUILD_DIR / "tolm_native.node")),
                              timeout=60)
        assert node.returncode == 0, node.stderr
        assert region in node.stdout and "leaky_bucket" in node.stdout

    assert tolm_native._remove_shared(region) is True
    fresh = tolm_native._open("token_bucket", "active", 6, 0, max_clients=100, shared=region)
    assert sum(fresh._decide("k", "/", None)[0] & 1 for _ in range(9)) == 6


def test_processes_creating_one_region_at_once_end_up_in_one(tmp_path, region):
    # Six processes open a name nobody has created yet at the same moment and each spends
    # one unit: a lost creation race would show as a unit spent in a region nobody else sees.
    go = tmp_path / "go"
    script = ("import os, tolm_native\n"
              "while not os.path.exists(os.environ['TOLM_TEST_GO']): pass\n"
              "e = tolm_native._open('fixed_window', 'active', 50, 0, max_clients=100, "
              "shared=os.environ['TOLM_TEST_REGION'])\n"
              "assert e._decide('k', '/', None)[0] & 1\n")
    env = child_env(region, TOLM_TEST_GO=str(go))
    children = [subprocess.Popen([sys.executable, "-c", script], env=env,
                                 stderr=subprocess.PIPE, text=True) for _ in range(6)]
    go.write_text("go")
    for child in children:
        _, err = child.communicate(timeout=60)
        assert child.returncode == 0, err
    engine = tolm_native._open("fixed_window", "active", 50, 0, max_clients=100, shared=region)
    assert engine._decide("k", "/", None)[1] == 50 - 6 - 1


@pytest.mark.skipif(shutil.which("node") is None, reason="no node on the PATH")
def test_the_python_and_node_limiters_with_the_same_settings_open_one_region(region):
    # Defaults that differ between the two friendly layers (region size, window, clock)
    # would make the second open refuse the region.
    sys.path.insert(0, str(PYTHON_DIR))
    import tolm

    python_side = tolm.limiter(capacity=5, refill_rate=0, shared=region)
    assert python_side.check("k", "/")["allowed"]
    script = ("const { TolmNode } = require(process.env.TOLM_ADDON);\n"
              "const { limiter } = require(process.env.TOLM_LIMITER);\n"
              "const l = limiter({ capacity: 5, refillRate: 0,"
              " shared: process.env.TOLM_TEST_REGION }, { TolmNode });\n"
              "const ok = () => !l.checkRequest('k', '/', 0).wouldBlock;\n"
              "console.log([1, 2, 3].filter(ok).length);\n")
    node = subprocess.run(["node", "-e", script], capture_output=True, text=True, timeout=60,
                          env=child_env(region, TOLM_ADDON=str(BUILD_DIR / "tolm_native.node"),
                                        TOLM_LIMITER=str(ROOT / "lib" / "limiter.js")))
    assert node.returncode == 0, node.stderr
    assert node.stdout.strip() == "3"
    assert [python_side.check("k", "/")["allowed"] for _ in range(2)] == [True, False]
