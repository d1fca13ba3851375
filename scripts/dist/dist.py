#!/usr/bin/env python3
"""Packs one built library into everything a release publishes, in dist/:

- the abi3 wheel, tagged with the platform tag `auditwheel show` finds for the library;
- the sdist, which builds from source as `pip install .` does;
- the npm tarball, carrying the same library under prebuilds/linux-x64/;
- when build-arm64/tolm_native.abi3.so (`make arm64`) exists: the manylinux aarch64 wheel and
  prebuilds/linux-arm64/ in the npm package, from that one library;
- when build-windows/tolm_native.pyd (`make windows`) exists: prebuilds/win32-x64/ in the npm
  package if the DLL has its Node-API entry, and the win_amd64 wheel if it has its Python
  entry.

The library inside the wheel, the npm prebuilt file and <build>/tolm_native.abi3.so are the
same bytes; this script checks it after packing. Usage:
    dist.py --build build [--out dist] [--windows-dll build-windows/tolm_native.pyd]
            [--arm64-build build-arm64]
"""

from __future__ import annotations

import argparse
import contextlib
import base64
import hashlib
import io
import json
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import zipfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import binary_check  # noqa: E402

ROOT = HERE.parent.parent
NAME = "tolm"
# Every wheel entry gets this time, so that packing the same inputs gives the same bytes.
ZIP_TIME = (1980, 1, 1, 0, 0, 0)


def fail(message: str) -> None:
    print(f"dist: {message}", file=sys.stderr)
    sys.exit(1)


def read_version() -> str:
    text = (ROOT / "python" / "tolm" / "__init__.py").read_text(encoding="utf-8")
    match = re.search(r'^__version__ = "([^"]+)"$', text, re.MULTILINE)
    if match is None:
        fail("python/tolm/__init__.py has no line __version__ = \"...\"")
    return match.group(1)  # type: ignore[union-attr]


def write_npm_version(version: str) -> None:
    """package.json and package-lock.json take the version from the Python package."""
    for name in ("package.json", "package-lock.json"):
        path = ROOT / name
        data = json.loads(path.read_text(encoding="utf-8"))
        data["version"] = version
        if "packages" in data and "" in data["packages"]:
            data["packages"][""]["version"] = version
        text = json.dumps(data, indent=2, ensure_ascii=False) + "\n"
        if path.read_text(encoding="utf-8") != text:
            path.write_text(text, encoding="utf-8")
            print(f"dist: {name} now says version {version}")


# -- wheel ----------------------------------------------------------------------------------


def record_hash(data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=")
    return "sha256=" + digest.decode("ascii")


def wheel_metadata(version: str) -> tuple[bytes, bytes]:
    """METADATA and the licence text, from the same build backend that writes the sdist."""
    from scikit_build_core.build import prepare_metadata_for_build_wheel

    with tempfile.TemporaryDirectory() as tmp:
        # The backend announces itself on stdout; dist.py's own report is enough.
        with contextlib.redirect_stdout(io.StringIO()):
            name = prepare_metadata_for_build_wheel(tmp)
        info = Path(tmp) / name
        if name != f"{NAME}-{version}.dist-info":
            fail(f"the build backend describes {name}, not {NAME} {version}")
        return (info / "METADATA").read_bytes(), (info / "licenses" / "LICENSE").read_bytes()


def python_files() -> list[tuple[str, bytes, bool]]:
    """(path in the wheel, bytes, executable) for everything beside the library."""
    files = []
    package = ROOT / "python" / "tolm"
    for path in sorted(package.rglob("*")):
        if path.is_file() and "__pycache__" not in path.parts and path.suffix != ".pyc":
            files.append((f"tolm/{path.relative_to(package).as_posix()}", path.read_bytes(), False))
    stub = (ROOT / "tolm_native.pyi").read_bytes()
    # The stub beside the module, and as a stub-only package for checkers that look only there.
    files.append(("tolm_native.pyi", stub, False))
    files.append(("tolm_native-stubs/__init__.pyi", stub, False))
    return files


def write_wheel(out: Path, version: str, tag: str, library: Path, module_name: str) -> Path:
    metadata, licence = wheel_metadata(version)
    info = f"{NAME}-{version}.dist-info"
    wheel = (
        "Wheel-Version: 1.0\n"
        "Generator: tolm scripts/dist/dist.py\n"
        "Root-Is-Purelib: false\n"
        f"Tag: cp38-abi3-{tag}\n"
    ).encode()
    entries = [(module_name, library.read_bytes(), True), *python_files()]
    entries += [
        (f"{info}/METADATA", metadata, False),
        (f"{info}/WHEEL", wheel, False),
        (f"{info}/licenses/LICENSE", licence, False),
    ]
    record = "".join(f"{path},{record_hash(data)},{len(data)}\n" for path, data, _ in entries)
    record += f"{info}/RECORD,,\n"
    entries.append((f"{info}/RECORD", record.encode(), False))

    path = out / f"{NAME}-{version}-cp38-abi3-{tag}.whl"
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as archive:
        for name, data, executable in entries:
            entry = zipfile.ZipInfo(name, ZIP_TIME)
            entry.external_attr = (0o100755 if executable else 0o100644) << 16
            entry.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(entry, data)
    return path


def auditwheel_tag(wheel: Path) -> tuple[str, str]:
    """The platform tag auditwheel finds for the wheel, and its whole report."""
    shown = subprocess.run(
        [sys.executable, "-m", "auditwheel", "show", str(wheel)],
        capture_output=True, text=True, check=False,
    )
    report = (shown.stdout + shown.stderr).strip()
    # The report wraps its lines, so the tag is searched with the line breaks taken out.
    match = re.search(r'platform\s+tag:?\s*"([a-z0-9_]+)"', " ".join(report.split()))
    if shown.returncode != 0 or match is None:
        fail(f"auditwheel show {wheel.name} gave no platform tag:\n{report}")
    return match.group(1), report  # type: ignore[union-attr]


def linux_wheel(out: Path, version: str, library: Path, floor: str,
                machine: str = "x86_64") -> tuple[Path, str]:
    probe_dir = Path(tempfile.mkdtemp())
    try:
        probe = write_wheel(probe_dir, version, f"linux_{machine}", library, "tolm_native.abi3.so")
        tag, _ = auditwheel_tag(probe)
    finally:
        shutil.rmtree(probe_dir)
    match = re.fullmatch(rf"manylinux_(\d+)_(\d+)_{machine}", tag)
    if match is None:
        fail(f"auditwheel finds only {tag} for the library: a portable wheel needs manylinux")
    if tuple(map(int, match.groups())) > tuple(map(int, floor.split("."))):  # type: ignore[union-attr]
        fail(f"auditwheel finds {tag}: the library needs a glibc newer than {floor}")
    wheel = write_wheel(out, version, tag, library, "tolm_native.abi3.so")
    confirmed, report = auditwheel_tag(wheel)
    if confirmed != tag:
        fail(f"{wheel.name}: auditwheel now reports {confirmed}")
    return wheel, report


# -- sdist ----------------------------------------------------------------------------------


def sdist(out: Path, version: str) -> Path:
    import sdist as sdist_builder

    path = sdist_builder.build(out)
    if path.name != f"{NAME}-{version}.tar.gz":
        fail(f"the sdist is {path.name}, expected {NAME}-{version}.tar.gz")
    with tarfile.open(path) as archive:
        names = set(archive.getnames())
    needed = ["CMakeLists.txt", "pyproject.toml", "tolm_native.pyi", "cmake/exports.map",
              "python/tolm/__init__.py", "src/lib.cpp", "LICENSE"]
    missing = [n for n in needed if f"{NAME}-{version}/{n}" not in names]
    if missing:
        fail(f"{path.name} lacks {', '.join(missing)}")
    return path


# -- npm ------------------------------------------------------------------------------------


def npm(args: list[str], cwd: Path) -> str:
    done = subprocess.run(["npm", *args, "--loglevel=error"], cwd=cwd, capture_output=True,
                          text=True, check=False)
    if done.returncode != 0:
        fail(f"npm {' '.join(args)} failed:\n{done.stdout}{done.stderr}")
    return done.stdout


def npm_tarball(out: Path, prebuilt: dict[str, Path]) -> Path:
    """npm pack of the package's files plus prebuilds/<platform>/tolm_native.node."""
    listed = json.loads(npm(["pack", "--dry-run", "--json"], ROOT))[0]["files"]
    with tempfile.TemporaryDirectory() as tmp:
        stage = Path(tmp) / "package"
        for entry in listed:
            target = stage / entry["path"]
            target.parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(ROOT / entry["path"], target)
        manifest = json.loads((stage / "package.json").read_text(encoding="utf-8"))
        for platform, library in prebuilt.items():
            target = stage / "prebuilds" / platform / "tolm_native.node"
            target.parent.mkdir(parents=True)
            shutil.copyfile(library, target)
            target.chmod(0o755)
            system = platform.split("-")[0]
            if system not in manifest["os"]:
                manifest["os"].append(system)
        (stage / "package.json").write_text(json.dumps(manifest, indent=2) + "\n",
                                            encoding="utf-8")
        packed = json.loads(npm(["pack", "--json", "--pack-destination", str(out)], stage))[0]
    return out / packed["filename"]


# -- checks ---------------------------------------------------------------------------------


def same_wheel_bytes(library: Path, wheel: Path, member: str) -> None:
    with zipfile.ZipFile(wheel) as archive:
        if archive.read(member) != library.read_bytes():
            fail(f"{member} in {wheel.name} differs from {library}")


def same_tarball_bytes(library: Path, tarball: Path, platform: str) -> None:
    with tarfile.open(tarball) as archive:
        extracted = archive.extractfile(f"package/prebuilds/{platform}/tolm_native.node")
        if extracted is None or extracted.read() != library.read_bytes():
            fail(f"prebuilds/{platform}/tolm_native.node in {tarball.name} differs from {library}")


def windows_entries(dll: Path) -> tuple[bool, bool]:
    """Whether the Windows DLL has its Python entry and its Node-API entry; stops the release
    when it is not an x64 DLL, exports anything else or needs a DLL Windows lacks."""
    sys.path.insert(0, str(ROOT / "scripts" / "windows"))
    import check_dll

    problem = binary_check.check_windows_library(dll)
    if problem:
        fail(f"{dll}: {problem}")
    try:
        tables = check_dll.read_tables(dll)
    except check_dll.NotPortableExecutable as error:
        fail(f"{dll}: {error}")
    entries = set(tables.exports) & check_dll.ENTRY_POINTS
    problems = check_dll.problems(tables, entries)
    if not entries:
        problems.append("exports neither PyInit_tolm_native nor napi_register_module_v1")
    if problems:
        fail(f"{dll}:\n  " + "\n  ".join(problems))
    return "PyInit_tolm_native" in entries, "napi_register_module_v1" in entries


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", type=Path, required=True,
                        help="build directory holding tolm_native.abi3.so")
    parser.add_argument("--out", type=Path, default=ROOT / "dist")
    parser.add_argument("--glibc-floor", default="2.28",
                        help="the oldest glibc the wheel's tag may name")
    parser.add_argument("--windows-dll", type=Path, default=ROOT / "build-windows" / "tolm_native.pyd")
    parser.add_argument("--arm64-build", type=Path, default=ROOT / "build-arm64",
                        help="build directory of `make arm64`, used when it holds the library")
    args = parser.parse_args()

    library = args.build.resolve() / "tolm_native.abi3.so"
    if not library.is_file():
        fail(f"{library} is missing; build it first (make dist does)")
    report = binary_check.check_linux_library(library)
    print(report.summary())
    if report.problems:
        fail("the library is not fit to ship:\n  " + "\n  ".join(report.problems))

    arm64 = args.arm64_build.resolve() / "tolm_native.abi3.so"
    if arm64.is_file():
        arm64_report = binary_check.check_linux_library(arm64, "aarch64")
        print(arm64_report.summary())
        if arm64_report.problems:
            fail("the arm64 library is not fit to ship:\n  " + "\n  ".join(arm64_report.problems))

    dll = args.windows_dll
    windows_python = windows_node = False
    if dll.is_file():
        windows_python, windows_node = windows_entries(dll)

    version = read_version()
    write_npm_version(version)
    out = args.out.resolve()
    if out.exists():
        shutil.rmtree(out)
    out.mkdir(parents=True)

    wheel, audit = linux_wheel(out, version, library, args.glibc_floor)
    print(f"dist: auditwheel show {wheel.name}:\n  " + "\n  ".join(audit.splitlines()))
    sdist(out, version)

    prebuilt = {"linux-x64": library}
    arm64_wheel = None
    if arm64.is_file():
        arm64_wheel, arm64_audit = linux_wheel(out, version, arm64, args.glibc_floor, "aarch64")
        print(f"dist: auditwheel show {arm64_wheel.name}:\n  " + "\n  ".join(arm64_audit.splitlines()))
        prebuilt["linux-arm64"] = arm64
    windows_wheel = None
    if windows_python:
        windows_wheel = write_wheel(out, version, "win_amd64", dll, "tolm_native.pyd")
    if windows_node:
        prebuilt["win32-x64"] = dll
    tarball = npm_tarball(out, prebuilt)

    same_wheel_bytes(library, wheel, "tolm_native.abi3.so")
    same_tarball_bytes(library, tarball, "linux-x64")
    if arm64_wheel is not None:
        same_wheel_bytes(arm64, arm64_wheel, "tolm_native.abi3.so")
        same_tarball_bytes(arm64, tarball, "linux-arm64")
    if windows_wheel is not None:
        same_wheel_bytes(dll, windows_wheel, "tolm_native.pyd")
    if windows_node:
        same_tarball_bytes(dll, tarball, "win32-x64")

    print(f"dist: {out}")
    for path in sorted(out.iterdir()):
        print(f"  {path.name:44} {path.stat().st_size:>9} bytes")
    print(f"dist: {library.name}, the wheel's tolm_native.abi3.so and the npm "
          "prebuilds/linux-x64/tolm_native.node are the same bytes "
          f"(sha256 {hashlib.sha256(library.read_bytes()).hexdigest()[:16]}...)")
    if arm64_wheel is None:
        print(f"dist: no arm64 library at {arm64} (make arm64 builds it): the aarch64 wheel and "
              "prebuilds/linux-arm64/ are left out")
    else:
        print(f"dist: arm64 from {arm64}: {arm64_wheel.name} and prebuilds/linux-arm64/, the same "
              f"bytes (sha256 {hashlib.sha256(arm64.read_bytes()).hexdigest()[:16]}...)")
    if not dll.is_file():
        print(f"dist: no Windows library at {dll} (make windows builds it): the win_amd64 wheel "
              "and prebuilds/win32-x64/ are left out")
    else:
        print(f"dist: Windows from {dll}: "
              + (f"{windows_wheel.name}" if windows_wheel else "no wheel (the DLL has no Python entry)")
              + (", prebuilds/win32-x64/" if windows_node else ", no npm prebuilt (no Node-API entry)"))


if __name__ == "__main__":
    main()
