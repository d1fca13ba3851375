#!/usr/bin/env python3
"""Builds the sdist from the files git would commit (tracked, plus new files that are not
ignored), copied to a scratch directory first: the build backend then walks only those, never
build trees (a Wine prefix in build-windows/ links to / and would be walked whole).
Usage: sdist.py <output directory>; prints the sdist's path."""

from __future__ import annotations

import contextlib
import io
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]


def source_files() -> list[str]:
    listed = subprocess.run(
        ["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
        cwd=ROOT, capture_output=True, check=True).stdout.decode()
    return [name for name in listed.split("\0") if name and (ROOT / name).is_file()]


def build(out: Path) -> Path:
    from scikit_build_core.build import build_sdist

    out.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory() as tmp:
        tree = Path(tmp) / "tree"
        for name in source_files():
            (tree / name).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(ROOT / name, tree / name)
        here = Path.cwd()
        os.chdir(tree)
        try:
            # The backend announces itself on stdout; the caller reads only the path.
            with contextlib.redirect_stdout(io.StringIO()):
                name = build_sdist(str(out.resolve()))
        finally:
            os.chdir(here)
    return out.resolve() / name


if __name__ == "__main__":
    print(build(Path(sys.argv[1])))
