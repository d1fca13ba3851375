#!/usr/bin/env python3
"""Link-time stand-ins for an older glibc, so that a library built on this machine runs on
every glibc from --floor on (2.28 by default: the manylinux_2_28 baseline).

The linker binds each glibc function a library calls to the version that is the default in
the glibc it links against; a build on glibc 2.36 therefore asks for dlopen@GLIBC_2.34 and
cannot load on 2.28, although the very same function exists there as dlopen@GLIBC_2.2.5. This
script writes small stub libraries (libc.so.6, libm.so.6, libdl.so.2, libpthread.so.0,
ld-linux-x86-64.so.2) that define each symbol of this machine's glibc under the newest version
it had at the floor, and in the library it lived in then: the functions that glibc 2.34 moved
into libc from libpthread and libdl go back to those. Linking with `-L <out>` makes the library
ask for exactly what a link on the floor's glibc would. Nothing of the stubs is shipped: at run
time the real glibc answers, which keeps every old version.

Symbols that did not exist at the floor have no stand-in, so a new dependency on one fails
the link instead of raising the floor silently. The few the static C++ runtime needs are
defined in glibc_compat.c, which the link takes beside the stubs.

Usage: glibc_floor.py --out DIR [--floor 2.28] [--target aarch64-linux-gnu]; then link with
       -L DIR DIR/glibc_compat.o. --target takes the glibc of that cross toolchain
       (<target>-gcc, <target>-objdump) instead of this machine's.
       glibc_floor.py --check LIBRARY [--floor 2.28]: fails when LIBRARY asks for a version of
       a symbol older than this machine's default for a reason other than the 2.34 move, that
       is where the two versions might differ in behaviour.
"""

from __future__ import annotations

import argparse
import os
import re
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
MOVED_IN = (2, 34)  # libpthread and libdl merged into libc
# Families glibc 2.34 moved into libc from libpthread and libdl; other moved symbols (librt,
# libutil, libanl) get no stand-in.
PTHREAD_FAMILY = re.compile(r"^_*(pthread|sem|thrd|mtx|cnd|tss|call_once)")
DL_FAMILY = {"dlopen", "dlclose", "dlsym", "dlvsym", "dlerror", "dladdr", "dladdr1", "dlinfo",
             "dlmopen"}
# Per machine: the dynamic loader's soname and glibc's first symbol version there.
MACHINES = {"x86_64": ("ld-linux-x86-64.so.2", "GLIBC_2.2.5"),
            "aarch64": ("ld-linux-aarch64.so.1", "GLIBC_2.17")}


class Toolchain:
    """The compiler and objdump of the glibc being linked against, and its machine's names."""

    def __init__(self, target: str | None) -> None:
        prefix = f"{target}-" if target else ""
        self.gcc = prefix + "gcc"
        self.objdump = prefix + "objdump"
        machine = subprocess.run([self.gcc, "-dumpmachine"], capture_output=True, text=True,
                                 check=True).stdout.strip().split("-")[0]
        if machine not in MACHINES:
            sys.exit(f"glibc_floor: no stand-ins for {machine}")
        self.loader, self.base_version = MACHINES[machine]

    def stubs(self) -> dict[str, str | None]:
        return {"libc.so.6": "libc.so", "libm.so.6": "libm.so", "libdl.so.2": "libdl.so",
                "libpthread.so.0": "libpthread.so", self.loader: None}


# The toolchain of this run, set by main().
TOOLS: Toolchain


def version_key(version: str) -> tuple[int, ...]:
    return tuple(int(part) for part in version.removeprefix("GLIBC_").split("."))


def system_library(soname: str) -> Path:
    found = subprocess.run([TOOLS.gcc, f"-print-file-name={soname}"], capture_output=True,
                           text=True, check=True).stdout.strip()
    path = Path(os.path.realpath(found))
    if not path.is_file():
        sys.exit(f"glibc_floor: cannot find {soname} ({TOOLS.gcc} says {found})")
    return path


def defined_symbols(path: Path) -> dict[str, dict[str, tuple[str, int]]]:
    """name -> {version: (kind 'F' or 'O', size)} of the symbols `path` defines."""
    symbols: dict[str, dict[str, tuple[str, int]]] = {}
    for line in subprocess.run([TOOLS.objdump, "-T", "-w", str(path)], capture_output=True,
                               text=True, check=True).stdout.splitlines():
        left, tab, right = line.partition("\t")
        fields = right.split()
        # *ABS* entries are the version nodes themselves.
        if not tab or len(left) < 26 or len(fields) != 3 or left[25:].strip() in ("*UND*", "*ABS*"):
            continue
        size, version, name = int(fields[0], 16), fields[1].strip("()"), fields[2]
        if not re.fullmatch(r"GLIBC_\d+(\.\d+)+", version):
            continue
        kind = "O" if left[17:24].rstrip().endswith("O") else "F"
        symbols.setdefault(name, {})[version] = (kind, size)
    return symbols


def plan(floor: tuple[int, ...]) -> dict[str, dict[str, tuple[str, str, int]]]:
    """stub soname -> {name: (version, kind, size)}."""
    stubs: dict[str, dict[str, tuple[str, str, int]]] = {soname: {} for soname in TOOLS.stubs()}
    for soname in ("libc.so.6", "libm.so.6", TOOLS.loader):
        for name, versions in defined_symbols(system_library(soname)).items():
            old = [v for v in versions if version_key(v) <= floor]
            if not old:
                continue
            version = max(old, key=version_key)
            target = soname
            if soname == "libc.so.6" and any(version_key(v) == MOVED_IN for v in versions):
                if name in DL_FAMILY:
                    target = "libdl.so.2"
                elif PTHREAD_FAMILY.match(name):
                    target = "libpthread.so.0"
                else:
                    continue
            kind, size = versions[version]
            stubs[target][name] = (version, kind, size)
    return stubs


def write_stub(out: Path, soname: str, symbols: dict[str, tuple[str, str, int]],
               floor: tuple[int, ...]) -> None:
    source = [f"/* Link-time stand-in for {soname}: names and versions only. */"]
    for index, (name, (version, kind, size)) in enumerate(sorted(symbols.items())):
        if kind == "O":
            source.append(f"char tolm_stub_{index}[{max(size, 1)}];")
        else:
            source.append(f"void tolm_stub_{index}(void) {{}}")
        source.append(f'__asm__(".symver tolm_stub_{index}, {name}@@{version}");')
    (out / f"{soname}.c").write_text("\n".join(source) + "\n", encoding="utf-8")
    # Every version node up to the floor, each inheriting the one before, as glibc's own.
    nodes = sorted({v for v, _, _ in symbols.values()} | {TOOLS.base_version}, key=version_key)
    script = [f"{node} {{ }}" + (f" {nodes[i - 1]};" if i else ";") for i, node in enumerate(nodes)]
    # The stand-ins' own names stay out of the dynamic table (a node of their own: a `local`
    # in a version's node would hide that version's symbols too).
    script.append("TOLM_STUB_LOCAL { local: *; };")
    (out / f"{soname}.map").write_text("\n".join(script) + "\n", encoding="utf-8")
    subprocess.run([TOOLS.gcc, "-shared", "-nostdlib", "-fPIC", "-w", f"-Wl,-soname,{soname}",
                    f"-Wl,--version-script={out / f'{soname}.map'}", "-o", str(out / soname),
                    str(out / f"{soname}.c")], check=True)


def write_stubs(out: Path, floor: tuple[int, ...]) -> None:
    out.mkdir(parents=True, exist_ok=True)
    stubs = plan(floor)
    for soname, symbols in stubs.items():
        write_stub(out, soname, symbols, floor)
    # The names -l finds. libc brings its static part (atexit and friends, which need only
    # old versions) and, as glibc before 2.34 needed, libpthread and the dynamic loader.
    nonshared = system_library("libc_nonshared.a")
    (out / "libc.so").write_text(
        f"GROUP ( {out / 'libc.so.6'} {nonshared} "
        f"AS_NEEDED ( {out / 'libpthread.so.0'} {out / TOOLS.loader} ) )\n",
        encoding="utf-8")
    for soname, link_name in TOOLS.stubs().items():
        if link_name and link_name != "libc.so":
            target = out / link_name
            target.unlink(missing_ok=True)
            target.symlink_to(soname)
    subprocess.run([TOOLS.gcc, "-c", "-O2", "-fPIC", "-fvisibility=hidden", "-Wall", "-Wextra",
                    "-Werror", "-o", str(out / "glibc_compat.o"), str(HERE / "glibc_compat.c")],
                   check=True)
    (out / "floor").write_text("GLIBC_" + ".".join(map(str, floor)) + "\n", encoding="utf-8")
    print(f"glibc_floor: stand-ins for glibc {'.'.join(map(str, floor))} in {out}")


def check(library: Path, floor: tuple[int, ...]) -> None:
    system = {}
    for soname in ("libc.so.6", "libm.so.6", TOOLS.loader):
        system.update(defined_symbols(system_library(soname)))
    problems = []
    for line in subprocess.run([TOOLS.objdump, "-T", "-w", str(library)], capture_output=True,
                               text=True, check=True).stdout.splitlines():
        match = re.search(r"\*UND\*\t\S+\s+\(?(GLIBC_[\d.]+)\)?\s+(\S+)$", line)
        if match is None:
            continue
        version, name = match.groups()
        if version_key(version) > floor:
            problems.append(f"{name}@{version} is newer than the floor")
            continue
        versions = system.get(name, {})
        newest = max(versions, key=version_key) if versions else version
        if newest != version and version_key(newest) != MOVED_IN:
            problems.append(f"{name}@{version}: this glibc's default is {newest}, whose behaviour "
                            "the headers describe")
    if problems:
        sys.exit(f"glibc_floor: {library}:\n  " + "\n  ".join(problems))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--floor", default="2.28")
    parser.add_argument("--target", help="a cross toolchain's triple, e.g. aarch64-linux-gnu")
    group = parser.add_mutually_exclusive_group(required=True)
    group.add_argument("--out", type=Path)
    group.add_argument("--check", type=Path)
    args = parser.parse_args()
    floor = version_key(args.floor)
    global TOOLS
    TOOLS = Toolchain(args.target)
    if args.out:
        write_stubs(args.out.resolve(), floor)
    else:
        check(args.check, floor)


if __name__ == "__main__":
    main()
