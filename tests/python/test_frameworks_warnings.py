"""What every integration shares: the once-per-process warning under several workers (read
from the server's command line and environment), and misspelt tolm.limiter settings."""

import sys
import warnings
from pathlib import Path

import pytest

import middleware_servers  # noqa: F401  (puts python/ on the path)

import tolm
from tolm import _integration
from tolm._integration import worker_count


@pytest.mark.parametrize("argv, environ, modules, expected", [
    (["gunicorn", "-w", "4", "app:app"], {}, ["gunicorn"], "gunicorn"),
    (["gunicorn", "-w4", "app:app"], {}, ["gunicorn"], "gunicorn"),
    (["/venv/bin/gunicorn", "--workers=3", "app:app"], {}, [], "gunicorn"),
    (["gunicorn", "app:app"], {"GUNICORN_CMD_ARGS": "--bind :80 --workers 2"}, ["gunicorn"], "gunicorn"),
    (["gunicorn", "app:app"], {"WEB_CONCURRENCY": "8"}, ["gunicorn"], "gunicorn"),
    # The command line wins over the environment, and one worker is one process.
    (["gunicorn", "-w", "1", "app:app"], {"WEB_CONCURRENCY": "8"}, ["gunicorn"], None),
    (["gunicorn", "app:app"], {}, ["gunicorn"], None),
    (["uvicorn", "app:app", "--workers", "4"], {}, ["uvicorn"], "uvicorn"),
    (["uvicorn", "app:app", "--workers=2"], {}, ["uvicorn"], "uvicorn"),
    (["uvicorn", "app:app"], {"UVICORN_WORKERS": "3"}, ["uvicorn"], "uvicorn"),
    (["uvicorn", "app:app", "--reload"], {}, ["uvicorn"], None),
    # Not a server at all, whatever the environment or a stray option says.
    (["python", "job.py", "-w", "4"], {"WEB_CONCURRENCY": "4"}, [], None),
    (["gunicorn", "-w", "many", "app:app"], {}, ["gunicorn"], None),
])
def test_multi_worker_servers_are_told_from_single_processes(argv, environ, modules, expected):
    assert worker_count(argv, environ, modules) == expected


def test_warning_is_given_once_per_process_and_names_the_remedy(monkeypatch):
    monkeypatch.setattr(_integration, "_warned", False)
    monkeypatch.setattr(sys, "argv", ["gunicorn", "-w", "4", "app:app"])
    monkeypatch.setitem(sys.modules, "gunicorn", sys)
    from tolm.wsgi import TolmMiddleware
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        TolmMiddleware(lambda e, s: [], tolm.limiter())
        TolmMiddleware(lambda e, s: [], tolm.limiter())
    assert len(caught) == 1 and caught[0].category is RuntimeWarning
    message = str(caught[0].message)
    assert "gunicorn" in message and ("shared=" in message or "Limits you must know" in message)


def test_no_warning_in_a_single_process(monkeypatch):
    monkeypatch.setattr(_integration, "_warned", False)
    monkeypatch.setattr(sys, "argv", ["gunicorn", "app:app"])
    monkeypatch.delenv("WEB_CONCURRENCY", raising=False)
    monkeypatch.delenv("GUNICORN_CMD_ARGS", raising=False)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        _integration.warn_if_multi_worker(tolm.limiter())


def test_misspelt_settings_and_options_name_the_right_one():
    with pytest.raises(TypeError, match=r"unknown setting 'refillrate'; did you mean 'refill_rate'\?"):
        tolm.limiter(refillrate=3)
    with pytest.raises(TypeError, match=r"unknown setting 'colour'$"):
        tolm.limiter(colour="red")
    # Positional settings and the right names are unchanged.
    assert tolm.limiter("fixed_window", "shadow", 5).capacity == 5
    from tolm.asgi import TolmMiddleware as Asgi
    from tolm.wsgi import TolmMiddleware as Wsgi
    with pytest.raises(TypeError, match=r"tolm.wsgi.TolmMiddleware: unknown option 'legacy_header'; "
                                        r"did you mean 'legacy_headers'\?"):
        Wsgi(lambda environ, start_response: [], tolm.limiter(), legacy_header=True)
    # As Starlette's add_middleware builds it: by keyword.
    with pytest.raises(TypeError, match=r"unknown option 'ipv6subnet'; did you mean 'ipv6_subnet'"):
        Asgi(app=None, engine=tolm.limiter(), ipv6subnet=48)


# -- real servers ------------------------------------------------------------------------------

APP = '''
import sys
import tolm
from tolm.asgi import TolmMiddleware as Asgi
from tolm.wsgi import TolmMiddleware as Wsgi

async def asgi(scope, receive, send):
    pass

def wsgi(environ, start_response):
    return []

engine = tolm.limiter()
wsgi_app = Wsgi(wsgi, engine)
Wsgi(wsgi, engine)  # a second middleware in the same process: no second warning
asgi_app = Asgi(asgi, engine)
print("tolm-app-ready", flush=True, file=sys.stderr)
'''


def _server_output(tmp_path, command, ready_count):
    """Starts a server of `command` (cwd holds the app module) and reads its standard error
    until `ready_count` processes have built their middleware; returns the lines read."""
    import os
    import subprocess
    import sys as _sys
    from conftest import BUILD_DIR
    (tmp_path / "app.py").write_text(APP)
    root = Path(__file__).resolve().parents[2]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(root / "python"), str(BUILD_DIR)]),
               PYTHONWARNINGS="default")
    env.pop("WEB_CONCURRENCY", None)
    env.pop("GUNICORN_CMD_ARGS", None)
    process = subprocess.Popen([_sys.executable, "-m", *command], cwd=tmp_path, env=env,
                               stderr=subprocess.PIPE, stdout=subprocess.DEVNULL, text=True)
    lines = []
    # A hung server is killed, which ends the read below.
    import threading
    guard = threading.Timer(60, process.kill)
    guard.start()
    try:
        ready = 0
        while ready < ready_count:
            line = process.stderr.readline()
            if not line:
                raise AssertionError("server ended early:\n" + "".join(lines))
            lines.append(line)
            ready += "tolm-app-ready" in line
    finally:
        guard.cancel()
        process.terminate()
        process.wait(30)
    return lines


@pytest.mark.parametrize("server", ["gunicorn", "uvicorn"])
def test_each_worker_of_a_multi_worker_server_warns_once(server, tmp_path):
    pytest.importorskip(server)
    command = (["gunicorn", "-w", "2", "--bind", "127.0.0.1:0", "app:wsgi_app"]
               if server == "gunicorn" else
               ["uvicorn", "--workers", "2", "--port", "0", "app:asgi_app"])
    lines = _server_output(tmp_path, command, 2)
    warned = [line for line in lines if "RuntimeWarning" in line]
    assert len(warned) == 2, "".join(lines)
    assert all(f"this {server} process is one of several workers" in line for line in warned)


def test_a_single_worker_server_does_not_warn(tmp_path):
    pytest.importorskip("gunicorn")
    lines = _server_output(tmp_path, ["gunicorn", "--bind", "127.0.0.1:0", "app:wsgi_app"], 1)
    assert not [line for line in lines if "RuntimeWarning" in line], "".join(lines)
