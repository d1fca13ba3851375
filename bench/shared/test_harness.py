"""Checks of the shared-store benchmark's own plumbing, run by bench/run-all.sh before it
measures (`python -m unittest bench/shared/test_harness.py`)."""

import importlib.util
import os
import shutil
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
spec = importlib.util.spec_from_file_location("shared_run", os.path.join(HERE, "run.py"))
shared_run = importlib.util.module_from_spec(spec)
spec.loader.exec_module(shared_run)

# What tolm_core_bench --hammer=4 prints (bench/core_bench.cpp, run_hammer).
HAMMER_OUTPUT = """4 processes, 1000000 checks each: total checks per second (median of 5, min-max)
  same key   private       1580718  (1437046-1686200)
  same key   shared        1518986  (1343650-1706044)
  own keys   private       1621950  (1424134-1733811)
  own keys   shared        1888949  (1668955-2730041)
"""


class HammerOutput(unittest.TestCase):
    def test_every_row_of_the_core_output_is_read(self):
        rows = {}
        for line in HAMMER_OUTPUT.splitlines():
            match = shared_run.HAMMER_LINE.match(line)
            if match:
                rows[f"{match.group(1)}/{match.group(2)}"] = (int(match.group(3)),
                                                              int(match.group(4)),
                                                              int(match.group(5)))
        self.assertEqual(rows, {"same key/private": (1580718, 1437046, 1686200),
                                "same key/shared": (1518986, 1343650, 1706044),
                                "own keys/private": (1621950, 1424134, 1733811),
                                "own keys/shared": (1888949, 1668955, 2730041)})

    def test_the_core_program_prints_what_is_parsed(self):
        # The parser and the printf live in two files: a change to one must fail here, not
        # leave the table without its four-process rows.
        with open(os.path.join(os.path.dirname(HERE), "core_bench.cpp")) as source:
            text = source.read()
        self.assertIn('"  %-10s %-8s %12.0f  (%.0f-%.0f)\\n"', text)


@unittest.skipIf(shutil.which("redis-server") is None, "redis-server is not installed")
class ThrowawayRedis(unittest.TestCase):
    def test_serves_on_loopback_and_leaves_nothing_behind(self):
        server = shared_run.RedisServer()
        try:
            self.assertTrue(server.url.startswith("redis://127.0.0.1:"))
            self.assertEqual(server.command("SET", "k", "v"), "+OK")
            self.assertEqual(server.command("FLUSHALL"), "+OK")
            self.assertEqual(server.command("DBSIZE"), ":0")
        finally:
            server.stop()
        self.assertIsNotNone(server.process.poll())
        self.assertFalse(os.path.exists(server.dir))
        self.assertIsNone(server.command("PING"))

    def test_two_servers_get_ports_of_their_own(self):
        first = shared_run.RedisServer()
        try:
            second = shared_run.RedisServer()
            try:
                self.assertNotEqual(first.port, second.port)
            finally:
                second.stop()
            self.assertEqual(first.command("PING"), "+PONG")
        finally:
            first.stop()


if __name__ == "__main__":
    unittest.main()
