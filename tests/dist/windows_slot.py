"""The place the Windows port plugs into `make dist`: given the x64 DLL, dist.py puts it into
the npm package as prebuilds/win32-x64/ when it has its Node-API entry, and makes the
win_amd64 wheel (the DLL as tolm_native.pyd beside the same Python files) when it has its
Python entry; a DLL of another machine, or one that exports anything else, stops it before it
packs anything. The DLLs here are bare PE images with an export table and no code: nothing on
Linux loads a Windows library, so only the packing is checked.
Usage: windows_slot.py <build dir with tolm_native.abi3.so> <work dir>"""

import json
import struct
import subprocess
import sys
import tarfile
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
build, work = Path(sys.argv[1]), Path(sys.argv[2])


def fake_dll(path: Path, machine: int, exports: list[str]) -> bytes:
    """A PE32+ DLL whose one section holds an export directory naming `exports`."""
    rva, raw = 0x1000, 0x200
    count = len(exports)
    functions = rva + 40
    names = functions + 4 * count
    ordinals = names + 4 * count
    strings = bytearray(b"tolm_native.pyd\0")
    pointers = []
    for name in sorted(exports):
        pointers.append(ordinals + 2 * count + len(strings))
        strings += name.encode() + b"\0"
    edata = struct.pack("<IIHHIIIIIII", 0, 0, 0, 0, ordinals + 2 * count, 1, count, count,
                        functions, names, ordinals)
    edata += struct.pack(f"<{count}I{count}I{count}H", *([rva] * count), *pointers, *range(count))
    edata += strings
    data = bytearray(raw + len(edata))
    data[0:2] = b"MZ"
    struct.pack_into("<I", data, 0x3C, 0x40)
    data[0x40:0x44] = b"PE\0\0"
    struct.pack_into("<HHIIIHH", data, 0x44, machine, 1, 0, 0, 0, 240, 0x2022)  # 0x2000: a DLL
    struct.pack_into("<H", data, 0x58, 0x20B)  # PE32+
    struct.pack_into("<I", data, 0x58 + 108, 16)  # data directories
    struct.pack_into("<II", data, 0x58 + 112, rva, len(edata))  # the export directory
    struct.pack_into("<8sIIII", data, 0x58 + 240, b".edata", len(edata), rva, len(edata), raw)
    data[raw:] = edata
    path.write_bytes(bytes(data))
    return bytes(data)


def dist(dll: Path, out: Path) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, str(ROOT / "scripts" / "dist" / "dist.py"), "--build", str(build),
                           "--out", str(out), "--windows-dll", str(dll)],
                          capture_output=True, text=True, check=False)


BOTH = ["PyInit_tolm_native", "napi_register_module_v1"]
for name, machine, exports, reason in [
    ("arm64", 0xAA64, BOTH, "expected x64 (0x8664)"),
    ("extra-export", 0x8664, [*BOTH, "tolm_internal"], "exports 'tolm_internal', which it must not"),
]:
    fake_dll(work / f"{name}.pyd", machine, exports)
    refused = dist(work / f"{name}.pyd", work / name)
    assert refused.returncode != 0 and reason in refused.stderr, refused.stderr
    assert not (work / name).exists(), f"{name}: packed before checking the DLL"

# As the port builds it today: the Node-API entry only. The npm package carries it, no wheel.
node_only = fake_dll(work / "node-only.pyd", 0x8664, ["napi_register_module_v1"])
packed = dist(work / "node-only.pyd", work / "node-only")
assert packed.returncode == 0, packed.stdout + packed.stderr
assert "no wheel (the DLL has no Python entry), prebuilds/win32-x64/" in packed.stdout, packed.stdout
assert not list((work / "node-only").glob("*win_amd64.whl"))
[tarball] = (work / "node-only").glob("tolm-*.tgz")
with tarfile.open(tarball) as archive:
    member = archive.extractfile("package/prebuilds/win32-x64/tolm_native.node")
    assert member is not None and member.read() == node_only
    manifest = archive.extractfile("package/package.json")
    assert manifest is not None and json.load(manifest)["os"] == ["linux", "darwin", "win32"]

# With both entries, the win_amd64 wheel as well.
both = fake_dll(work / "both.pyd", 0x8664, BOTH)
packed = dist(work / "both.pyd", work / "both")
assert packed.returncode == 0, packed.stdout + packed.stderr
[wheel] = (work / "both").glob("tolm-*-cp38-abi3-win_amd64.whl")
with zipfile.ZipFile(wheel) as archive:
    names = set(archive.namelist())
    assert archive.read("tolm_native.pyd") == both
    assert "Tag: cp38-abi3-win_amd64" in archive.read(next(n for n in names if n.endswith("/WHEEL"))).decode()
assert {"tolm/__init__.py", "tolm_native.pyi", "tolm_native-stubs/__init__.pyi"} <= names, names
assert not any(name.endswith(".so") for name in names), names
print("tests/dist: the Windows slot packs the DLL as", wheel.name, "and prebuilds/win32-x64/, "
      "and refuses a foreign or over-exporting one")
