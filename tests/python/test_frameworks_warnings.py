"""What every integration shares: the once-per-process warning under several workers (read
from the server's command line and environment), and misspelt tolm.limiter settings."""

import sys
import warnings

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


def test_misspelt_limiter_settings_name_the_right_one():
    with pytest.raises(TypeError, match=r"unknown setting 'refillrate'; did you mean 'refill_rate'\?"):
        tolm.limiter(refillrate=3)
    with pytest.raises(TypeError, match=r"unknown setting 'colour'$"):
        tolm.limiter(colour="red")
    # Positional settings and the right names are unchanged.
    assert tolm.limiter("fixed_window", "shadow", 5).capacity == 5
