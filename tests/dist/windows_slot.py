"""The place the Windows port plugs into `make dist`: given an x64 DLL, dist.py adds the
win_amd64 wheel (the DLL as tolm_native.pyd beside the same Python files) and
prebuilds/win32-x64/ in the npm package, and refuses a DLL of another machine before packing
anything. The DLL here is a bare PE header: nothing on Linux loads a Windows library, so only
the packing is checked. Usage: windows_slot.py <build dir with tolm_native.abi3.so> <work dir>"""

import json
import struct
import subprocess
import sys
import tarfile
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
build, work = Path(sys.argv[1]), Path(sys.argv[2])


def fake_dll(path: Path, machine: int) -> bytes:
    data = bytearray(512)
    data[0:2] = b"MZ"
    struct.pack_into("<I", data, 0x3C, 0x80)
    data[0x80:0x84] = b"PE\0\0"
    struct.pack_into("<HxxxxxxxxxxxxxxxxH", data, 0x84, machine, 0x2022)  # machine, DLL flag
    path.write_bytes(bytes(data))
    return bytes(data)


def dist(dll: Path, out: Path) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, str(ROOT / "scripts" / "dist" / "dist.py"), "--build", str(build),
                           "--out", str(out), "--windows-dll", str(dll)],
                          capture_output=True, text=True, check=False)


arm = work / "arm64.pyd"
fake_dll(arm, 0xAA64)
refused = dist(arm, work / "refused")
assert refused.returncode != 0 and "expected x64 (0x8664)" in refused.stderr, refused.stderr
assert not (work / "refused").exists(), "packed before checking the DLL"

x64 = work / "x64.pyd"
expected = fake_dll(x64, 0x8664)
packed = dist(x64, work / "dist")
assert packed.returncode == 0, packed.stdout + packed.stderr
assert f"Windows from {x64}" in packed.stdout, packed.stdout
[wheel] = (work / "dist").glob("tolm-*-cp38-abi3-win_amd64.whl")
with zipfile.ZipFile(wheel) as archive:
    names = set(archive.namelist())
    assert archive.read("tolm_native.pyd") == expected
    assert "Tag: cp38-abi3-win_amd64" in archive.read(next(n for n in names if n.endswith("/WHEEL"))).decode()
assert {"tolm/__init__.py", "tolm_native.pyi", "tolm_native-stubs/__init__.pyi"} <= names, names
assert not any(name.endswith(".so") for name in names), names
[tarball] = (work / "dist").glob("tolm-*.tgz")
with tarfile.open(tarball) as archive:
    member = archive.extractfile("package/prebuilds/win32-x64/tolm_native.node")
    assert member is not None and member.read() == expected
    manifest = archive.extractfile("package/package.json")
    assert manifest is not None and json.load(manifest)["os"] == ["linux", "win32"]
print("tests/dist: the Windows slot packs an x64 DLL into", wheel.name, "and prebuilds/win32-x64/")
