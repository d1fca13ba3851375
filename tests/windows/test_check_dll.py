"""The export/import check of scripts/windows/check_dll.py, against real Windows binaries:
the cross-built module, and the mingw-w64 runtime DLLs that the module must not need.

TOLM_WINDOWS_BUILD_DIR names the Windows build directory (default: build-windows)."""
from __future__ import annotations

import glob
import os
import re
import subprocess
import sys
import unittest
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "scripts" / "windows"))

import check_dll  # noqa: E402

BUILD = Path(os.environ.get("TOLM_WINDOWS_BUILD_DIR", ROOT / "build-windows"))
SHARED_RUNTIME = sorted(glob.glob("/usr/lib/gcc/x86_64-w64-mingw32/*-posix/libstdc++-6.dll"))
OBJDUMP = "x86_64-w64-mingw32-objdump"


def objdump_tables(path: Path) -> tuple[list[str], list[str]]:
    """The same tables as binutils reads them, to check the reader against."""
    out = subprocess.run([OBJDUMP, "-p", str(path)], check=True, capture_output=True,
                         text=True).stdout
    imports = re.findall(r"^\s*DLL Name: (\S+)$", out, re.M)
    names = out.split("[Ordinal/Name Pointer] Table", 1)
    exports = re.findall(r"^\s*\[\s*\d+\] (\S+)$", names[1], re.M) if len(names) > 1 else []
    return exports, imports


class ReaderTest(unittest.TestCase):
    @unittest.skipUnless(SHARED_RUNTIME, "mingw-w64 shared C++ runtime not installed")
    def test_reads_what_binutils_reads(self) -> None:
        path = Path(SHARED_RUNTIME[0])
        tables = check_dll.read_tables(path)
        exports, imports = objdump_tables(path)
        self.assertGreater(len(tables.exports), 1000)
        self.assertEqual(sorted(tables.exports), sorted(exports))
        self.assertEqual(tables.imports, imports)

    def test_rejects_a_file_that_is_not_a_windows_image(self) -> None:
        with self.assertRaises(check_dll.NotPortableExecutable):
            check_dll.read_tables(Path(__file__))


class VerdictTest(unittest.TestCase):
    @unittest.skipUnless(SHARED_RUNTIME, "mingw-w64 shared C++ runtime not installed")
    def test_a_dll_that_needs_the_shared_runtime_fails(self) -> None:
        found = check_dll.problems(check_dll.read_tables(Path(SHARED_RUNTIME[0])), set())
        self.assertIn("imports libgcc_s_seh-1.dll, which is not a Windows system DLL", found)
        self.assertIn("imports libwinpthread-1.dll, which is not a Windows system DLL", found)
        self.assertTrue(any(p.startswith("exports '_ZNSt") for p in found))

    def test_exports_must_match_exactly_and_only_entry_points_may_be_expected(self) -> None:
        tables = check_dll.Tables(["napi_register_module_v1", "tolm_helper"], 0, [])
        self.assertEqual(
            check_dll.problems(tables, {"napi_register_module_v1", "PyInit_tolm_native",
                                        "tolm_helper"}),
            ["'tolm_helper' is expected as an export but is not a host entry point",
             "does not export 'PyInit_tolm_native'"])
        self.assertEqual(check_dll.problems(tables, {"napi_register_module_v1"}),
                         ["exports 'tolm_helper', which it must not"])
        self.assertEqual(check_dll.problems(check_dll.Tables([], 2, []), set()),
                         ["exports 2 functions by ordinal only"])

    def test_only_system_dlls_may_be_imported(self) -> None:
        system = ["KERNEL32.dll", "msvcrt.dll", "bcrypt.dll", "api-ms-win-core-synch-l1-2-0.dll",
                  "API-MS-WIN-CRT-RUNTIME-L1-1-0.DLL"]
        self.assertEqual(check_dll.problems(check_dll.Tables([], 0, system), set()), [])
        for foreign in ["python3.dll", "python312.dll", "libstdc++-6.dll", "vcruntime140.dll",
                        "node.exe", "api-ms-win-nonsense.dll", "kernel32.dll.evil"]:
            self.assertEqual(check_dll.problems(check_dll.Tables([], 0, [foreign]), set()),
                             [f"imports {foreign}, which is not a Windows system DLL"])


@unittest.skipUnless((BUILD / "tolm_native.pyd").exists(), "Windows module not built")
class BuiltModuleTest(unittest.TestCase):
    def test_module_passes_and_the_node_copy_is_the_same_file(self) -> None:
        module = BUILD / "tolm_native.pyd"
        self.assertEqual(
            check_dll.main([str(module), "--expect-exports", str(BUILD / "expected_exports.txt")]),
            0)
        self.assertEqual(module.read_bytes(), (BUILD / "tolm_native.node").read_bytes())

    def test_module_fails_when_an_entry_point_is_missing(self) -> None:
        tables = check_dll.read_tables(BUILD / "tolm_native.pyd")
        missing = check_dll.ENTRY_POINTS - set(tables.exports)
        if not missing:
            self.skipTest("the module has both entry points")
        self.assertTrue(check_dll.problems(tables, set(check_dll.ENTRY_POINTS)))


if __name__ == "__main__":
    unittest.main()
