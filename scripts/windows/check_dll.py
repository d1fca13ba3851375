#!/usr/bin/env python3
"""Reads a Windows binary's export and import tables and fails unless it exports exactly the
expected names and imports only Windows system DLLs.

    check_dll.py FILE [--expect-exports NAMES_FILE]

NAMES_FILE holds one name per line (the build writes expected_exports.txt); without it the
binary must export nothing. Only the module's two host entry points may ever be expected.
Delay-loaded imports count as imports. Exit status 0 when the binary passes, 1 otherwise.
"""
from __future__ import annotations

import argparse
import re
import struct
import sys
from dataclasses import dataclass
from pathlib import Path

ENTRY_POINTS = frozenset({"PyInit_tolm_native", "napi_register_module_v1"})

# DLLs that every Windows 10 system has: the kernel, its API sets, the system C runtime and
# the crypto primitives. Anything else (python3.dll, libstdc++-6.dll, libgcc_s_seh-1.dll,
# libwinpthread-1.dll, vcruntime140.dll, node.exe) would have to be shipped or found.
SYSTEM_DLLS = frozenset(
    {"kernel32.dll", "kernelbase.dll", "ntdll.dll", "msvcrt.dll", "ucrtbase.dll", "bcrypt.dll",
     "bcryptprimitives.dll", "advapi32.dll", "user32.dll"})
SYSTEM_DLL_PATTERN = re.compile(r"api-ms-win-(core|crt)-[a-z0-9-]+-l\d+-\d+-\d+\.dll")

EXPORT_DIRECTORY, IMPORT_DIRECTORY, DELAY_IMPORT_DIRECTORY = 0, 1, 13


class NotPortableExecutable(ValueError):
    pass


@dataclass
class Tables:
    exports: list[str]
    unnamed_exports: int  # exported by ordinal only
    imports: list[str]


class _Image:
    def __init__(self, data: bytes) -> None:
        self.data = data
        if data[:2] != b"MZ":
            raise NotPortableExecutable("no MZ header")
        (pe,) = struct.unpack_from("<I", data, 0x3C)
        if data[pe:pe + 4] != b"PE\0\0":
            raise NotPortableExecutable("no PE signature")
        sections, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
        optional = pe + 24
        (magic,) = struct.unpack_from("<H", data, optional)
        if magic != 0x20B:
            raise NotPortableExecutable("not a 64-bit (PE32+) image")
        (directory_count,) = struct.unpack_from("<I", data, optional + 108)
        self.directories = [
            struct.unpack_from("<II", data, optional + 112 + 8 * i) for i in range(directory_count)
        ]
        table = optional + optional_size
        self.sections = []
        for i in range(sections):
            virtual_size, virtual_address, raw_size, raw_offset = struct.unpack_from(
                "<IIII", data, table + 40 * i + 8)
            self.sections.append((virtual_address, max(virtual_size, raw_size), raw_offset))

    def offset(self, rva: int) -> int:
        for address, size, raw in self.sections:
            if address <= rva < address + size:
                return raw + rva - address
        raise NotPortableExecutable(f"address {rva:#x} lies in no section")

    def directory(self, index: int) -> tuple[int, int]:
        return self.directories[index] if index < len(self.directories) else (0, 0)

    def u32(self, rva: int) -> int:
        return struct.unpack_from("<I", self.data, self.offset(rva))[0]

    def text(self, rva: int) -> str:
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("ascii", "replace")


def read_tables(path: Path) -> Tables:
    image = _Image(path.read_bytes())
    exports: list[str] = []
    unnamed = 0
    rva, _ = image.directory(EXPORT_DIRECTORY)
    if rva:
        functions, names, names_rva = struct.unpack_from("<II4xI", image.data,
                                                         image.offset(rva) + 20)
        exports = [image.text(image.u32(names_rva + 4 * i)) for i in range(names)]
        unnamed = functions - names
    imports: list[str] = []
    for index, entry_size, name_at in ((IMPORT_DIRECTORY, 20, 12), (DELAY_IMPORT_DIRECTORY, 32, 4)):
        rva, _ = image.directory(index)
        while rva:
            name_rva = image.u32(rva + name_at)
            if name_rva == 0:
                break
            imports.append(image.text(name_rva))
            rva += entry_size
    return Tables(exports, unnamed, imports)


def is_system_dll(name: str) -> bool:
    name = name.lower()
    return name in SYSTEM_DLLS or SYSTEM_DLL_PATTERN.fullmatch(name) is not None


def problems(tables: Tables, expected_exports: set[str]) -> list[str]:
    found: list[str] = []
    for name in sorted(expected_exports - ENTRY_POINTS):
        found.append(f"'{name}' is expected as an export but is not a host entry point")
    exported = set(tables.exports)
    for name in sorted(exported - expected_exports):
        found.append(f"exports '{name}', which it must not")
    for name in sorted(expected_exports - exported):
        found.append(f"does not export '{name}'")
    if tables.unnamed_exports:
        found.append(f"exports {tables.unnamed_exports} functions by ordinal only")
    for name in tables.imports:
        if not is_system_dll(name):
            found.append(f"imports {name}, which is not a Windows system DLL")
    return found


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("binary", type=Path)
    parser.add_argument("--expect-exports", type=Path,
                        help="file with the expected export names, one per line")
    args = parser.parse_args(argv)
    expected: set[str] = set()
    if args.expect_exports:
        expected = {line.strip() for line in args.expect_exports.read_text().splitlines()
                    if line.strip()}
    try:
        tables = read_tables(args.binary)
    except (OSError, NotPortableExecutable, struct.error, ValueError) as error:
        print(f"{args.binary}: cannot read its tables: {error}", file=sys.stderr)
        return 1
    found = problems(tables, expected)
    for problem in found:
        print(f"{args.binary}: {problem}", file=sys.stderr)
    if not found:
        print(f"{args.binary.name}: exports [{', '.join(sorted(tables.exports))}], "
              f"imports [{', '.join(tables.imports)}]")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
