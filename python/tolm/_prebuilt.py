"""Loading the native library: a file that is there but cannot be loaded is named, with this
platform and the command that builds the library from source, instead of failing with the
loader's message alone (or, for a cut-short file, with SIGBUS)."""

from __future__ import annotations

import importlib.util
import os
import platform
import struct
import sys
from typing import TYPE_CHECKING

if TYPE_CHECKING:  # the stub, without importing the extension module at import time
    from tolm_native import NativeEngine


def native_engine_class() -> "type[NativeEngine]":
    """``tolm_native.NativeEngine``, imported on first use so that the middleware modules load
    (and can be given any engine-like object) even where the native module is not importable.
    A native library that is there but cannot be loaded (cut short, or built for another
    machine) fails with an ImportError that names the file, this platform and the command that
    builds the library from source, rather than with the loader's message alone."""
    if "tolm_native" not in sys.modules:
        spec = importlib.util.find_spec("tolm_native")
        if spec is not None and spec.origin is not None:
            _refuse_cut_short(spec.origin)
    try:
        from tolm_native import NativeEngine
    except ImportError as error:
        spec = importlib.util.find_spec("tolm_native")
        # Only the loader's own failures carry the file's path; the module's refusals (such
        # as a second initialisation in one process) are not about the file and pass as they are.
        if spec is None or spec.origin is None or error.path is None:
            raise
        raise ImportError(
            f"tolm: cannot load the native library {spec.origin} on this {platform.system()} "
            f"{platform.machine()} system ({error}); build it from source with: "
            f"pip install --force-reinstall --no-binary tolm tolm") from error
    return NativeEngine


def _refuse_cut_short(path: str) -> None:
    """Raises the loader-failure ImportError for an ELF library shorter than its own headers
    say. The dynamic loader maps such a file without complaint and the process then dies of
    SIGBUS on the first page past the end, so a cut-short file must never reach it."""
    try:
        with open(path, "rb") as library:
            header = library.read(64)
            if header[:4] != b"\x7fELF" or header[4] != 2 or header[5] != 1:
                return  # not a 64-bit little-endian ELF file: the loader judges it
            size = os.fstat(library.fileno()).st_size
            (phoff, shoff) = struct.unpack_from("<QQ", header, 32)
            (phentsize, phnum, shentsize, shnum) = struct.unpack_from("<HHHH", header, 54)
            needed = max(64, phoff + phentsize * phnum, shoff + shentsize * shnum)
            if phoff + phentsize * phnum <= size and phentsize >= 56:
                library.seek(phoff)
                table = library.read(phentsize * phnum)
                for index in range(phnum):
                    (offset, _, _, file_size) = struct.unpack_from(
                        "<QQQQ", table, index * phentsize + 8)
                    needed = max(needed, offset + file_size)
    except (OSError, struct.error, IndexError):
        return  # unreadable here: the loader gives its own account
    if size < needed:
        raise ImportError(
            f"tolm: cannot load the native library {path} on this {platform.system()} "
            f"{platform.machine()} system (the file is cut short: {size} of at least {needed} "
            f"bytes); build it from source with: "
            f"pip install --force-reinstall --no-binary tolm tolm", path=path)
