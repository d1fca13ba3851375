"""What a shipped library may depend on: checks run by dist.py before it packs anything.

The Linux library must export only its two host entry points, need nothing at run time but
glibc (the C++ runtime is linked in), reference host symbols (CPython) only weakly, and carry
no search path. The report also names the newest glibc symbol version it needs, which decides
the oldest distribution the wheel installs on, and the symbols that need it.
"""

from __future__ import annotations

import re
import struct
import subprocess
from dataclasses import dataclass, field
from pathlib import Path

EXPORTS = {"PyInit_tolm_native", "napi_register_module_v1"}
# glibc's own libraries, present on every glibc system.
GLIBC_LIBRARIES = {"libc.so.6", "libm.so.6", "libdl.so.2", "libpthread.so.0", "librt.so.1",
                   "ld-linux-x86-64.so.2", "ld-linux-aarch64.so.1"}
# Per machine name (as in wheel tags): the ELF machine number and the objdump that reads it.
MACHINES = {"x86_64": (62, "objdump"), "aarch64": (183, "aarch64-linux-gnu-objdump")}
ET_DYN = 3


def glibc_version_key(version: str) -> tuple[int, ...]:
    return tuple(int(part) for part in version.removeprefix("GLIBC_").split("."))


@dataclass
class LinuxReport:
    path: Path
    needed: list[str] = field(default_factory=list)
    newest_glibc: str = ""
    newest_symbols: list[str] = field(default_factory=list)
    problems: list[str] = field(default_factory=list)

    def summary(self) -> str:
        return (f"dist: {self.path} ({self.path.stat().st_size} bytes) needs "
                f"{', '.join(self.needed)}; newest glibc symbol version {self.newest_glibc}, "
                f"for {', '.join(self.newest_symbols)}")


def run(*command: str) -> str:
    return subprocess.run(command, capture_output=True, text=True, check=True).stdout


def check_linux_library(path: Path, machine: str = "x86_64") -> LinuxReport:
    report = LinuxReport(path)
    expected_machine, objdump = MACHINES[machine]
    header = path.read_bytes()[:20]
    if header[:4] != b"\x7fELF" or header[4] != 2 or header[5] != 1:
        report.problems.append("not a 64-bit little-endian ELF file")
        return report
    kind, found_machine = struct.unpack_from("<HH", header, 16)
    if kind != ET_DYN or found_machine != expected_machine:
        report.problems.append(f"ELF type {kind}, machine {found_machine}: expected an {machine} "
                               "shared object")

    dynamic = run("readelf", "-d", "-W", str(path))
    report.needed = re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", dynamic)
    for name in report.needed:
        if name not in GLIBC_LIBRARIES:
            report.problems.append(f"needs {name} at run time (only glibc may remain)")
    if re.search(r"\((RPATH|RUNPATH)\)", dynamic):
        report.problems.append("carries an RPATH/RUNPATH")

    newest: dict[str, list[str]] = {}
    exported = set()
    # objdump -T lines: "<address> <7 flag columns> <section>\t<size> <version> <name>".
    for line in run(objdump, "-T", "-w", str(path)).splitlines():
        left, tab, right = line.partition("\t")
        fields = right.split()
        if not tab or len(left) < 26 or len(fields) < 2:
            continue
        flags, section = left[17:24], left[25:].strip()
        version, name = (fields[1].strip("()"), fields[2]) if len(fields) > 2 else ("", fields[1])
        if section != "*UND*":
            if "g" in flags:
                exported.add(name)
            continue
        if version.startswith("GLIBC_"):
            newest.setdefault(version, []).append(name)
        elif "w" not in flags:
            report.problems.append(f"strong reference to {name} ({version or 'no version'}), "
                                   "which no glibc library provides")
    if exported != EXPORTS:
        report.problems.append(f"exports {sorted(exported)}, expected {sorted(EXPORTS)}")
    if newest:
        report.newest_glibc = max(newest, key=glibc_version_key)
        report.newest_symbols = sorted(newest[report.newest_glibc])
    return report


def check_windows_library(path: Path) -> str | None:
    """None when the file is an x64 Windows DLL, else what it is instead."""
    data = path.read_bytes()
    if len(data) < 0x40 or data[:2] != b"MZ":
        return "not a Windows DLL (no MZ header)"
    (offset,) = struct.unpack_from("<I", data, 0x3C)
    if len(data) < offset + 24 or data[offset:offset + 4] != b"PE\0\0":
        return "not a Windows DLL (no PE header)"
    machine, = struct.unpack_from("<H", data, offset + 4)
    characteristics, = struct.unpack_from("<H", data, offset + 22)
    if machine != 0x8664:
        return f"built for PE machine {machine:#x}, expected x64 (0x8664)"
    if not characteristics & 0x2000:
        return "a Windows executable, not a DLL"
    return None
