#!/usr/bin/python3
"""End-to-end: releases that tools/publish wrote, served by the development server as a
static server would serve the folder, installed by the real Linux launcher under the X
display; the installed client must be the published folder, bytes and executable bits.

Usage: publish_e2e.py BIN_DIR [unittest arguments]. Needs DISPLAY.
"""

import os
import re
import shutil
import stat
import subprocess
import sys
import unittest
import zipfile
from urllib.parse import quote

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(HERE)), "tests", "app", "e2e"))
import launcher_e2e  # noqa: E402

PUBLISH = os.path.join(HERE, "publish.py")


def tree(folder):
    """relative name -> (bytes, executable) of every file, None for a folder."""
    found = {}
    for root, dirs, files in os.walk(folder):
        for name in dirs + files:
            path = os.path.join(root, name)
            relative = os.path.relpath(path, folder)
            if os.path.isdir(path):
                found[relative] = None
            else:
                with open(path, "rb") as f:
                    found[relative] = (f.read(), bool(os.stat(path).st_mode & stat.S_IXUSR))
    return found


class PublishedRelease(launcher_e2e.LauncherTest):
    def make_client(self):
        """The sample game (it must stay executable to start) beside nested folders, an
        empty one, a second executable and UTF-8 names."""
        client = os.path.join(self.work, "source")
        shutil.copytree(self.client, client)
        for name, data, mode in (("data/maps/deep/level.map", b"map" * 4000, 0o644),
                                 ("tools/helper.sh", b"#!/bin/sh\necho helper\n", 0o755),
                                 ("donn\u00e9es/\u00e9t\u00e9.txt", "\u00e9t\u00e9\n".encode(), 0o644)):
            path = os.path.join(client, name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as f:
                f.write(data)
            os.chmod(path, mode)
        os.makedirs(os.path.join(client, "data", "empty"))
        return client

    def publish(self, server, client, version, *options, reports=True):
        out = os.path.join(self.work, "release")
        report = ("--report-url", f"{server.base}/report") if reports else ()
        subprocess.run([sys.executable, PUBLISH, "--client", client, "--version", version,
                        "--base-url", f"{server.base}/release", *report,
                        "--out", out, *options], check=True, stdout=subprocess.DEVNULL)
        server.get("/_config?release=" + quote(out))

    def install(self, server):
        server.get("/_clear")
        game_record = os.path.join(self.folder, "game-args.json")
        if os.path.exists(game_record):
            os.remove(game_record)
        code, output = self.finish(self.start_launcher())
        self.assertEqual(code, 0, output)
        record = self.game_record()
        self.assertIsNotNone(record, output)
        self.assertEqual(record["argv"][0], "./client/sample_game")
        return [path for path, _ in server.requests()]

    def assert_installed(self, client):
        """The client folder is the published one plus the release's file list."""
        installed = tree(os.path.join(self.folder, "client"))
        self.assertEqual(set(installed) - set(tree(client)), {".release", os.path.join(".release", "files.sha256")})
        self.assertEqual({name: value for name, value in installed.items() if not name.startswith(".release")},
                         tree(client))

    def test_a_published_release_installs_and_the_next_one_replaces_it(self):
        server = self.serve()
        client = self.make_client()
        # Release 1 names no report endpoint: the launcher sends no reports.
        self.publish(server, client, "1.0", reports=False)
        self.lay_out(server, ServerUrl=f"{server.base}/release/version.json")

        requests = self.install(server)
        self.assertIn("/release/client_1.0.zip", requests)
        self.assertEqual(requests[:2], ["/login", "/release/version.json"])
        self.assertNotIn("/report", requests)
        self.assert_installed(client)

        # Release 2, signed: a launcher without a public key ignores the signature.
        with open(os.path.join(client, "readme.txt"), "w") as f:
            f.write("the second release\n")
        os.remove(os.path.join(client, "tools", "helper.sh"))
        keys = os.path.join(self.work, "keys")
        subprocess.run([sys.executable, PUBLISH, "keygen", keys], check=True, capture_output=True)
        self.publish(server, client, "2.0", "--sign", os.path.join(keys, "release-key.pem"))

        requests = self.install(server)
        self.assertIn("/release/client_2.0.zip", requests)
        self.assertIn("/report", requests)
        self.assert_installed(client)
        with open(os.path.join(self.folder, "Version.json")) as f:
            self.assertIn('"2.0"', f.read())

    def test_a_large_file_changed_in_the_middle_costs_its_changed_blocks(self):
        """A pack deflated in blocks: the next release changes 100 KB in its middle, and
        the incremental update asks only for the blocks that hold the change."""
        server, client, pack = self.install_release_with_pack()
        self.assert_installed_with_map(client)

        with open(pack, "r+b") as f:
            f.seek((4 << 20) + 1000)
            f.write(os.urandom(100000))
        self.publish(server, client, "2.0")
        package = os.path.join(self.work, "release", "client_2.0.zip")
        with zipfile.ZipFile(package) as archive:
            info = archive.getinfo("data/pack.bin")
        requests = self.install(server)
        self.assertIn("/release/client_2.0.zip", requests)
        self.assert_installed_with_map(client)
        # What the ranges brought of the pack's data (the tail comes on every update).
        sent = 0
        for entry in server.get("/_log"):
            match = re.fullmatch(r"bytes=(\d+)-(\d+)", entry["range"] or "")
            if entry["path"].endswith("client_2.0.zip") and match:
                first, end = int(match.group(1)), int(match.group(1)) + entry["sent"]
                sent += max(0, min(end, info.header_offset + info.compress_size) - max(first, info.header_offset))
        # The change lies in one or two blocks of 512 KiB; ranges closer than 64 KiB merge.
        self.assertGreater(sent, 100000)
        self.assertLess(sent, 2 * (512 << 10) + (64 << 10) + 1024)
        with open(os.path.join(self.folder, "launcher.log"), encoding="utf-8") as f:
            self.assertIn("data/pack.bin: 15 of 16 blocks are held by the installed copy", f.read())

    def test_a_launch_killed_while_fetching_blocks_leaves_the_old_client_and_the_next_fetches_the_rest(self):
        server, client, pack = self.install_release_with_pack()
        old = tree(os.path.join(self.folder, "client"))
        # Four blocks change; they come slowly enough to be cut off in their middle.
        with open(pack, "r+b") as f:
            f.seek(2 << 20)
            f.write(os.urandom(2 << 20))
        self.publish(server, client, "2.0")
        server.get("/_config?slow-package=400000")
        server.get("/_clear")
        pieces = os.path.join(self.folder, "client.update", "pieces")

        def fetched_blocks():
            held = os.listdir(pieces) if os.path.isdir(pieces) else []
            return sum(os.path.getsize(os.path.join(pieces, name)) for name in held) > 65557 + (600 << 10)

        launcher = self.start_launcher()
        self.assertTrue(launcher_e2e.wait_until(fetched_blocks, 60), "no block was fetched")
        launcher.kill()
        launcher.wait()
        self.assertEqual(tree(os.path.join(self.folder, "client")), old, "the old client changed")
        # What the killed launcher kept: pieces named after their first byte.
        kept = [(int(name.split(".")[0]), os.path.getsize(os.path.join(pieces, name)))
                for name in os.listdir(pieces) if name.endswith(".piece")]
        kept = [(start, start + size) for start, size in kept if size > (256 << 10)]
        self.assertTrue(kept, "no block was kept")

        server.get("/_config?slow-package=0")
        server.get("/_clear")
        self.install(server)
        self.assert_installed_with_map(client)
        again = [re.fullmatch(r"bytes=(\d+)-(\d+)", e["range"] or "") for e in server.get("/_log")]
        again = [(int(m.group(1)), int(m.group(2)) + 1) for m in again if m]
        for start, end in kept:
            self.assertFalse([r for r in again if r[0] < end and r[1] > start],
                             f"kept bytes {start}-{end} were fetched again: {again}")

    def install_release_with_pack(self):
        """Release 1.0 with an 8 MiB pack of noise, published in blocks and installed with
        IncrementalUpdate on; returns the server, the client's source folder and its pack."""
        server = self.serve()
        client = os.path.join(self.work, "source")
        shutil.copytree(self.client, client)
        pack = os.path.join(client, "data", "pack.bin")
        os.makedirs(os.path.dirname(pack))
        with open(pack, "wb") as f:
            f.write(os.urandom(8 << 20))
        self.publish(server, client, "1.0")
        self.lay_out(server, ServerUrl=f"{server.base}/release/version.json", IncrementalUpdate=1)
        self.install(server)
        return server, client, pack

    def assert_installed_with_map(self, client):
        installed = tree(os.path.join(self.folder, "client"))
        self.assertIn(os.path.join(".release", "blocks"), installed)
        self.assertEqual({name: value for name, value in installed.items() if not name.startswith(".release")},
                         tree(client))


if __name__ == "__main__":
    launcher_e2e.E2ECase.bin_dir = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
