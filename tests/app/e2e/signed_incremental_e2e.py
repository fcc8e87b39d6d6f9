#!/usr/bin/python3
"""End-to-end: incremental updates of signed releases (tools/publish --sign, served with
the development server's --release) with the Linux launcher holding the studio's public
key. Entries fetched one by one are checked against the release's signed file list, so
an entry altered on the server is refused even when its CRC-32 was made to match.

Usage: signed_incremental_e2e.py BIN_DIR [unittest arguments]. Needs DISPLAY.
"""

import io
import os
import shutil
import subprocess
import sys
import unittest
import zipfile
import zlib
from urllib.parse import quote

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import launcher_e2e  # noqa: E402
from launcher_e2e import LauncherTest  # noqa: E402

PUBLISH = os.path.join(launcher_e2e.ROOT, "tools", "publish", "publish.py")
ASSET = 200 * 1024
ASSETS = [f"data/asset{i}.bin" for i in range(4)]

CRC_TABLE = []
for _i in range(256):
    _c = _i
    for _ in range(8):
        _c = (_c >> 1) ^ (0xEDB88320 if _c & 1 else 0)
    CRC_TABLE.append(_c)
CRC_BY_TOP_BYTE = {entry >> 24: index for index, entry in enumerate(CRC_TABLE)}


def with_crc(prefix, target):
    """`prefix` and four more bytes whose CRC-32 is `target`."""
    want = target ^ 0xFFFFFFFF
    indices = []
    for _ in range(4):
        index = CRC_BY_TOP_BYTE[want >> 24]
        indices.append(index)
        want = ((want ^ CRC_TABLE[index]) << 8) & 0xFFFFFFFF
    register = zlib.crc32(prefix) ^ 0xFFFFFFFF
    tail = bytearray()
    for index in reversed(indices):
        tail.append((register ^ index) & 0xFF)
        register = (register >> 8) ^ CRC_TABLE[index]
    forged = prefix + bytes(tail)
    assert zlib.crc32(forged) == target
    return forged


def tree(folder):
    found = {}
    for top, _, files in os.walk(folder):
        for name in files:
            path = os.path.join(top, name)
            with open(path, "rb") as f:
                found[os.path.relpath(path, folder)] = f.read()
    return found


class SignedIncremental(LauncherTest):
    def setUp(self):
        super().setUp()
        self.v1 = os.path.join(self.work, "v1")
        shutil.copytree(self.client, self.v1)
        for name in ASSETS:
            self.write(self.v1, name, os.urandom(ASSET))
        self.v2 = os.path.join(self.work, "v2")
        shutil.copytree(self.v1, self.v2)
        self.write(self.v2, ASSETS[2], os.urandom(ASSET))
        keys = os.path.join(self.work, "keys")
        printed = subprocess.run([sys.executable, PUBLISH, "keygen", keys], check=True, capture_output=True,
                                 text=True).stdout
        self.public_key = printed.split("ReleasePublicKey:")[1].split()[0]
        self.private_key = os.path.join(keys, "release-key.pem")

    @staticmethod
    def write(folder, name, data):
        path = os.path.join(folder, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)

    def publish(self, server, client, version):
        out = os.path.join(self.work, "release-" + version)
        subprocess.run([sys.executable, PUBLISH, "--client", client, "--version", version,
                        "--base-url", f"{server.base}/release", "--report-url", f"{server.base}/report",
                        "--out", out, "--sign", self.private_key], check=True, stdout=subprocess.DEVNULL)
        server.get("/_config?release=" + quote(out))
        server.get("/_clear")
        return out

    def run_to_the_game(self):
        code, output = self.finish(self.start_launcher())
        self.assertEqual(code, 0, output)
        self.assertIsNotNone(self.game_record(), output)

    def installed(self):
        return {name: data for name, data in tree(os.path.join(self.folder, "client")).items()
                if not name.startswith(".release")}

    def install_v1(self):
        server = self.serve()
        self.publish(server, self.v1, "1.0")
        self.lay_out(server, ServerUrl=f"{server.base}/release/version.json", IncrementalUpdate=1, BaseDir="client",
                     ReleasePublicKey=self.public_key)
        self.run_to_the_game()
        self.assertEqual(self.installed(), tree(self.v1))
        os.remove(os.path.join(self.folder, "game-args.json"))
        return server

    def test_a_signed_release_updates_by_its_changed_entries_and_the_file_list(self):
        server = self.install_v1()
        self.publish(server, self.v2, "2.0")
        self.run_to_the_game()
        self.assertEqual(self.installed(), tree(self.v2))
        packages = [e for e in server.get("/_log") if e["path"].startswith("/release/client")]
        self.assertTrue(all(e["range"] for e in packages), packages)
        self.assertLess(sum(e["sent"] for e in packages), 2 * ASSET, "more than the changed entry was fetched")

    def test_without_a_record_installed_files_are_checked_against_the_list_and_repaired(self):
        server = self.install_v1()
        # The record is lost, and a file was damaged in a way its size and CRC-32 do not show.
        os.remove(os.path.join(self.folder, "ClientFiles.json"))
        damaged = os.path.join(self.folder, "client", ASSETS[0])
        with open(damaged, "rb") as f:
            crc = zlib.crc32(f.read())
        with open(damaged, "wb") as f:
            f.write(with_crc(os.urandom(ASSET - 4), crc))
        self.publish(server, self.v2, "2.0")
        self.run_to_the_game()
        self.assertEqual(self.installed(), tree(self.v2))

    def test_an_entry_altered_on_the_server_with_a_matching_crc_is_never_installed(self):
        server = self.install_v1()
        release = self.publish(server, self.v2, "2.0")
        package = os.path.join(release, "client_2.0.zip")
        with open(package, "rb") as f:
            genuine = zipfile.ZipFile(io.BytesIO(f.read()))
        altered = io.BytesIO()
        with zipfile.ZipFile(altered, "w", zipfile.ZIP_DEFLATED) as out:
            for info in genuine.infolist():
                data = genuine.read(info)
                if info.filename == ASSETS[2]:
                    data = with_crc(os.urandom(len(data) - 4), info.CRC)
                out.writestr(info, data)
        with open(package, "wb") as f:
            f.write(altered.getvalue())
        # The server reads a release when it is named: name it again to serve the change.
        server.get("/_config?release=")
        server.get("/_config?release=" + quote(release))

        launcher = self.start_launcher()
        self.dismiss_dialog()
        code, output = self.finish(launcher)
        self.assertEqual(code, 0, output)
        # The entry failed the list, so the whole install was tried, and the package's
        # signed hash refused it before anything was unpacked.
        packages = [e for e in server.get("/_log") if e["path"].startswith("/release/client")]
        self.assertTrue(any(not e["range"] for e in packages), packages)
        self.assertEqual(self.installed(), {})
        with open(os.path.join(self.folder, "Version.json")) as f:
            self.assertIn('"1.0"', f.read())

        # Once the genuine package is back, the next launch installs the release.
        self.publish(server, self.v2, "2.0")
        self.run_to_the_game()
        self.assertEqual(self.installed(), tree(self.v2))


if __name__ == "__main__":
    launcher_e2e.E2ECase.bin_dir = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
