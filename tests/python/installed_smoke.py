"""Run by run.sh with the interpreter of a fresh virtual environment after installing the sdist:
the installed module, not the build tree, answers a check, and its stub is installed."""

import pathlib
import sysconfig

import tolm_native

site = pathlib.Path(sysconfig.get_paths()["platlib"])
assert pathlib.Path(tolm_native.__file__).parent == site, tolm_native.__file__
assert tolm_native.__file__.endswith(".abi3.so"), tolm_native.__file__
assert (site / "tolm_native.pyi").is_file()
assert (site / "tolm_native-stubs" / "__init__.pyi").is_file()

engine = tolm_native.NativeEngine("token_bucket", "active", 1, 0, None, None, "")
assert engine.check("10.0.0.1", "/")["allowed"] is True
result = engine.check("10.0.0.1", "/")
assert result["allowed"] is False and result["reason"] == "token_exhausted", result
print("installed module ok:", tolm_native.__file__)

# The pure-Python middleware package ships in the same wheel, typed.
import tolm.asgi  # noqa: E402
import tolm.wsgi  # noqa: E402

assert pathlib.Path(tolm.__file__).parent == site / "tolm", tolm.__file__
assert (site / "tolm" / "py.typed").is_file()
middleware = tolm.wsgi.TolmMiddleware(lambda environ, start: [b"ok"],
                                      tolm.limiter(capacity=1, refill_rate=0))
environ = {"REMOTE_ADDR": "10.0.0.2", "PATH_INFO": "/"}
assert middleware(dict(environ), lambda status, headers: None) == [b"ok"]
refused = middleware(dict(environ), lambda status, headers: None)
assert b"too_many_requests" in b"".join(refused), refused
print("installed middleware ok:", tolm.__file__)

# `pip show tolm` finds the distribution by that name.
from importlib.metadata import metadata  # noqa: E402

meta = metadata("tolm")
assert meta["Name"] == "tolm", meta["Name"]
assert "MIT" in (meta.get("License-Expression") or meta.get("License") or ""), dict(meta)
print("installed distribution ok: tolm", meta["Version"])
