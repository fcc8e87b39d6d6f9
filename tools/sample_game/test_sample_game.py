"""Runs the sample game the way a launcher does (in a given working folder, with awkward
arguments) and checks the record it leaves.

usage: test_sample_game.py GAME [EMULATOR...]   (EMULATOR: e.g. the Wine runner)
"""

import json
import os
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

GAME = None
EMULATOR = []
WINDOWS = False

ARGUMENTS = ["-AppUniqueId", "alice smith", "", 'say "hi"', "back\\slash\\", "trailing\\\\",
             "a=1&b=2&username=", "\u00fcber \u2713", "tab\there"]


def run_game(folder, args):
    started = time.time()
    result = subprocess.run(EMULATOR + [GAME] + args, cwd=folder, capture_output=True, timeout=60)
    record = json.loads((Path(folder) / "game-args.json").read_text(encoding="utf-8"))
    return result, record, started


class SampleGame(unittest.TestCase):
    def test_records_arguments_and_folder(self):
        with tempfile.TemporaryDirectory() as folder:
            result, record, started = run_game(folder, ARGUMENTS)
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertEqual(record["argv"][1:], ARGUMENTS)
            self.assertTrue(record["argv"][0].endswith("sample_game.exe" if WINDOWS else "sample_game"))
            self.assertGreaterEqual(record["startedMs"] / 1000, started - 1)
            self.assertEqual(sorted(os.listdir(folder)), ["game-args.json"])
            if WINDOWS:
                self.assertTrue(record["cwd"].endswith(Path(folder).name), record["cwd"])
                self.assertIn('"say \\"hi\\""', record["commandLine"])
            else:
                self.assertEqual(record["cwd"], os.path.realpath(folder))
                self.assertNotIn("commandLine", record)
            printed = result.stdout.decode("utf-8").replace("\r\n", "\n")
            self.assertIn('argv[2] = "alice smith"\n', printed)
            self.assertIn('argv[9] = "tab\\there"\n', printed)

    def test_a_second_start_replaces_the_record(self):
        with tempfile.TemporaryDirectory() as folder:
            run_game(folder, ["first"])
            _, record, _ = run_game(folder, ["second", "--linger-ms=300"])
            self.assertEqual(record["argv"][1:], ["second", "--linger-ms=300"])

    def test_bytes_that_are_not_utf8_are_replaced(self):
        if WINDOWS:
            self.skipTest("argument bytes pass through unchanged only on POSIX")
        with tempfile.TemporaryDirectory() as folder:
            subprocess.run([GAME.encode(), b"ok\xff\xc3"], cwd=folder, check=True, capture_output=True, timeout=10)
            record = json.loads((Path(folder) / "game-args.json").read_text(encoding="utf-8"))
            self.assertEqual(record["argv"][1], "ok\ufffd\ufffd")


if __name__ == "__main__":
    GAME = os.path.abspath(sys.argv[1])
    EMULATOR = sys.argv[2:]
    WINDOWS = GAME.lower().endswith(".exe")
    unittest.main(argv=sys.argv[:1], verbosity=2)
