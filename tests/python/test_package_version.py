"""One name and one version for a release: tolm.__version__ is where the version is written;
pyproject.toml reads it (dynamic), and package.json, package-lock.json and the CMake project
must say the same (`make dist` writes the npm files)."""

import json
import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "python"))

import tolm  # noqa: E402


def test_every_manifest_carries_the_package_version() -> None:
    version = tolm.__version__
    assert re.fullmatch(r"\d+\.\d+\.\d+", version), version
    package = json.loads((ROOT / "package.json").read_text(encoding="utf-8"))
    lock = json.loads((ROOT / "package-lock.json").read_text(encoding="utf-8"))
    cmake = re.search(r"project\(tolm VERSION (\S+)", (ROOT / "CMakeLists.txt").read_text(encoding="utf-8"))
    assert cmake is not None
    assert (package["version"], lock["version"], lock["packages"][""]["version"], cmake.group(1)) == (
        version, version, version, version)


def test_the_distribution_name_is_the_import_name_and_the_npm_name() -> None:
    pyproject = (ROOT / "pyproject.toml").read_text(encoding="utf-8")
    assert re.search(r'^name = "tolm"$', pyproject, re.MULTILINE)
    assert re.search(r'^dynamic = \["version"\]$', pyproject, re.MULTILINE)
    assert 'input = "python/tolm/__init__.py"' in pyproject
    package = json.loads((ROOT / "package.json").read_text(encoding="utf-8"))
    lock = json.loads((ROOT / "package-lock.json").read_text(encoding="utf-8"))
    assert package["name"] == lock["name"] == "tolm"
    # The package ships its prebuilt libraries; the repository itself holds none.
    assert "prebuilds/" in package["files"]
    assert not (ROOT / "prebuilds").exists()
