"""Type-checks code written against the installed stub with mypy: correct use passes, and each
misuse below is reported. Usage: stub_check.py <python of the environment with the package>."""

import subprocess
import sys
import tempfile
import textwrap
from pathlib import Path

GOOD = """
from typing import Optional
from tolm_native import NativeEngine

engine = NativeEngine("token_bucket", "active", 10, 1.5, None, "debug", "http://backend")
result = engine.check("10.0.0.1", "/login", identity=None)
allowed: bool = result["allowed"]
blocked: bool = result["would_block"]
reason: str = result.get("reason", "none")
remaining: Optional[int] = result["decision"]["remaining"]
route: str = result["decision"]["route"]
"""

BAD = {
    "ip must be a str": 'NativeEngine("a", "b", 1, 1, None, None, "").check(1, "/")',
    "backend_url may not be None": 'NativeEngine("a", "b", 1, 1, None, None, None)',
    "api_key and debug are required": 'NativeEngine("a", "b", 1, 1, backend_url="")',
    "unknown result key": 'NativeEngine("a", "b", 1, 1, None, None, "").check("a", "/")["nope"]',
    "remaining may be None": 'x: int = NativeEngine("a", "b", 1, 1, None, None, "")'
                             '.check("a", "/")["decision"]["remaining"]',
}


def mypy(python, source):
    with tempfile.TemporaryDirectory() as directory:
        path = Path(directory) / "use.py"
        path.write_text(textwrap.dedent(source))
        return subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental",
                               "--python-executable", python, str(path)],
                              capture_output=True, text=True, cwd=directory)


def main():
    python = sys.argv[1]
    good = mypy(python, GOOD)
    if good.returncode != 0:
        sys.exit(f"stub check: correct use was rejected:\n{good.stdout}{good.stderr}")
    header = "from tolm_native import NativeEngine\n"
    bad = mypy(python, header + "".join(line + "\n" for line in BAD.values()))
    flagged = {int(line.split(":")[1]) for line in bad.stdout.splitlines() if ": error:" in line}
    for number, (what, line) in enumerate(BAD.items(), start=2):
        if number not in flagged:
            sys.exit(f"stub check: mypy accepted a misuse ({what}): {line}\n{bad.stdout}")
    print(f"stub check: mypy accepts correct use and rejects {len(BAD)} misuses")


if __name__ == "__main__":
    main()
