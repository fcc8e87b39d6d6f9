#!/usr/bin/python3
"""End-to-end: after an incremental update the client folder holds exactly the files of
the new release (plus the player's own), or the update ended in the whole-package install;
never in a stuck or mixed client, and nothing outside the client folder is touched. Each
case damages one thing an update meets (the server's answers, the package's directory,
what earlier launches left, links, names, a full volume, a stalled or killed transfer)
and checks the final tree, Version.json and, where it matters, what was fetched. Linux
launcher, with the versions and steps of incremental_play.py.

Usage: update_soundness_e2e.py BIN_DIR [unittest arguments]. Needs DISPLAY; the full
volume cases need `mount -t tmpfs` (root).
"""

import contextlib
import hashlib
import io
import json
import os
import random
import shutil
import struct
import subprocess
import sys
import time
import unittest
import zipfile
import zlib
from urllib.parse import quote

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import launcher_e2e  # noqa: E402
from launcher_e2e import REASONS, DevServer, E2ECase, LauncherTest, pixels, wait_until  # noqa: E402
from incremental_play import (ADDED, ASSET, ASSETS, CHANGED, REMOVED, SETTINGS, IncrementalSteps,  # noqa: E402
                              read, tree, write)

PUBLISH = os.path.join(launcher_e2e.ROOT, "tools", "publish", "publish.py")
# What the launcher asks for first: the package's last bytes, where its directory is found.
TAIL = 22 + 65535
# Marks for the failure texts: NotEnoughDiskSpace is told from the others by its width.
SHORT_FAILURES = {key: "E" for key in ("CheckLatestVersionFail", "DownloadLatestVersionFail", "ExtractFileFail",
                                       "EmptyBaseDirFail")}
NO_SPACE_TEXT = "NOT ENOUGH DISK SPACE FOR THIS UPDATE"
# A folder entry's external attributes: a Unix directory, and the MS-DOS folder bit.
FOLDER_ATTRIBUTES = (0o40755 << 16) | 0x10
VICTIM = b"a file outside the client folder"


def links_below(folder):
    return [os.path.join(top, name) for top, dirs, files in os.walk(folder) for name in dirs + files
            if os.path.islink(os.path.join(top, name))]


def edited_directory(data, edits):
    """The zip's bytes with fields of its central directory changed in place: entry name ->
    {"crc": value, "attributes": external attributes}; the local headers stay."""
    data = bytearray(data)
    end = data.rindex(b"PK\x05\x06")
    count, = struct.unpack_from("<H", data, end + 10)
    at, = struct.unpack_from("<I", data, end + 16)
    for _ in range(count):
        name_length, extra_length, comment_length = struct.unpack_from("<HHH", data, at + 28)
        name = data[at + 46:at + 46 + name_length].decode()
        for field, value in edits.get(name, {}).items():
            struct.pack_into("<I", data, at + {"crc": 16, "attributes": 38}[field], value)
        at += 46 + name_length + extra_length + comment_length
    return bytes(data)


class SoundnessCase(IncrementalSteps, LauncherTest):
    def setUp(self):
        super().setUp()
        # Where a second install would go if the launcher gave up its own folder.
        self.app_data = os.path.join(self.work, "app-data")
        os.makedirs(self.app_data)

    def start_launcher(self, program="launcher", environment=None):
        return super().start_launcher(program, dict(environment or {}, XDG_DATA_HOME=self.app_data))

    def message_box_shown(self):
        return self.screen.dialog() is not None

    def close_message_box(self):
        self.dismiss_dialog()

    # --- steps

    def run_to_a_message_box(self, environment=None, timeout=60, look=None):
        """A launch that ends in a message box, closed as the player closes it; gives what
        `look` saw while the box was shown. The main window paints on its own time, which
        under load can come after the box is up: `look` is asked until it sees something,
        for a few seconds at most."""
        game_args = os.path.join(self.folder, "game-args.json")
        if os.path.exists(game_args):
            os.remove(game_args)
        launcher = self.start_launcher(environment=environment)
        wait_until(lambda: launcher.poll() is not None or self.message_box_shown(), timeout, step=0.2)
        ended = launcher.poll() is not None
        seen = None
        if not ended:
            self.assertTrue(self.message_box_shown(), "neither a message box nor the game came")
            seen = wait_until(look, 10, step=0.2) if look else None
            self.dismiss_dialog()
        code, output = self.finish(launcher)
        self.assertFalse(ended, "the launch went on without a message box\n" + output)
        self.assertEqual(code, 0, output)
        self.assertIsNone(self.game_record(), output)
        return seen

    @contextlib.contextmanager
    def untouched(self, path):
        """Checks, however the launches in the block ended, that the file or folder outside
        the client is as it was."""
        def state():
            if os.path.isdir(path):
                return tree(path)
            return hashlib.sha256(read(path)).hexdigest() if os.path.exists(path) else "missing"

        before = state()
        try:
            yield
        finally:
            self.assertEqual(state(), before, f"{path} outside the client changed")

    def outside_files(self, name):
        """A folder of files beside the launcher folder."""
        folder = os.path.join(self.work, name)
        for index in range(3):
            write(folder, f"kept{index}.bin", os.urandom(1000))
        return folder

    def plant_in_update_folder(self, server):
        """The update folder with the record of the package its pieces belong to, as the
        launcher writes it for the served package, so that what is planted there is kept
        as that package's; gives its pieces folder."""
        config = server.get("/_config")
        source = {"Url": f"{server.base}/package/{config['packageFileName']}", "Validator": config["packageEtag"],
                  "Size": config["packageSize"]}
        pieces = os.path.join(self.update_folder(), "pieces")
        os.makedirs(pieces)
        write(self.update_folder(), "source.json", json.dumps(source).encode())
        return pieces

    def whole_package_fetched(self, server):
        return any(not e["range"] for e in self.package_log(server))

    def assert_next_update_is_incremental(self, server):
        """A release after the one installed updates by its changed entry alone."""
        v3 = os.path.join(self.work, "v3")
        shutil.copytree(self.v2, v3)
        write(v3, ASSETS[0], os.urandom(ASSET))
        self.publish(server, v3, "2.2")
        entries = self.package_entries(server)
        server.get("/_clear")
        self.run_to_the_game()
        self.assertEqual(self.fetched_entries(entries, self.package_log(server)), {ASSETS[0]})
        self.assert_installed(v3, "2.2")

    def red_text_width(self):
        columns = {i % 500 for i, (r, g, b) in enumerate(pixels(self.status_pixels())) if r > 200 and g < 60 and b < 60}
        return max(columns) - min(columns) if columns else 0


class Soundness(SoundnessCase):
    # --- what the server sends

    def test_a_backslash_in_a_name_is_part_of_the_name(self):
        self.update_in_one_launch(both={"dir\\a.txt": b"first\n"}, v2={"dir\\a.txt": b"second, longer\n"})

    def test_a_poisoned_piece_left_in_the_update_folder_ends_in_the_whole_install(self):
        server = self.install_v1()
        self.publish(server, self.v2, "2.1")
        entries = sorted(self.package_entries(server), key=lambda e: e.header_offset)
        at = next(i for i, e in enumerate(entries) if e.filename == CHANGED)
        # Garbage in the place of the changed entry's whole range: nothing of it is fetched.
        length = entries[at + 1].header_offset - entries[at].header_offset
        write(self.plant_in_update_folder(server), f"{entries[at].header_offset}.piece", os.urandom(length))
        server.get("/_clear")
        self.run_to_the_game()
        self.assert_updated_to_v2()
        self.assertTrue(self.whole_package_fetched(server), self.package_log(server))
        self.assert_next_update_is_incremental(server)

    def test_a_server_that_sends_other_bytes_than_asked_gets_the_whole_install(self):
        server = self.install_v1()
        self.publish(server, self.v2, "2.1")
        server.get("/_config?range-shift=100")
        self.run_to_the_game()
        self.assert_updated_to_v2()
        self.assertTrue(self.whole_package_fetched(server), self.package_log(server))
        server.get("/_config?range-shift=")
        self.assert_next_update_is_incremental(server)

    def test_a_signed_release_whose_directory_was_edited_is_never_recorded_over_a_mixed_client(self):
        keys = os.path.join(self.work, "keys")
        printed = subprocess.run([sys.executable, PUBLISH, "keygen", keys], check=True, capture_output=True,
                                 text=True).stdout
        server = DevServer(self.work)
        self.servers.append(server)

        def publish_signed(client, version):
            out = os.path.join(self.work, "release-" + version)
            subprocess.run([sys.executable, PUBLISH, "--client", client, "--version", version,
                            "--base-url", f"{server.base}/release", "--report-url", f"{server.base}/report",
                            "--out", out, "--sign", os.path.join(keys, "release-key.pem")],
                           check=True, stdout=subprocess.DEVNULL)
            self.serve_release(server, out)
            return out

        publish_signed(self.v1, "2.0")
        self.lay_out(server, ServerUrl=f"{server.base}/release/version.json",
                     ReleasePublicKey=printed.split("ReleasePublicKey:")[1].split()[0], **SETTINGS)
        self.run_to_the_game()
        release = publish_signed(self.v2, "2.1")
        package = os.path.join(release, "client_2.1.zip")
        genuine = read(package)
        # The changed entry claims v1's CRC-32 (and size), so it looks installed; the added
        # file claims to be a folder, so it looks like nothing to fetch.
        write(release, "client_2.1.zip", edited_directory(genuine, {
            CHANGED: {"crc": zlib.crc32(read(os.path.join(self.v1, CHANGED)))},
            ADDED: {"attributes": FOLDER_ATTRIBUTES}}))
        self.serve_release(server, release)
        version = read(os.path.join(self.folder, "Version.json"))
        self.run_to_a_message_box()
        # The whole install was taken, and the package's signed hash refused it.
        self.assertTrue(any(not e["range"] for e in server.get("/_log") if e["path"].startswith("/release/client")))
        self.assertEqual(tree(self.client_folder()), {})
        self.assertEqual(read(os.path.join(self.folder, "Version.json")), version)

        write(release, "client_2.1.zip", genuine)
        self.serve_release(server, release)
        self.run_to_the_game()
        with zipfile.ZipFile(io.BytesIO(genuine)) as archive:
            write(self.v2, ".release/files.sha256", archive.read(".release/files.sha256"))
        self.assert_updated_to_v2()

    @staticmethod
    def serve_release(server, folder):
        # The server reads a release when it is named: name it again to serve a change.
        server.get("/_config?release=")
        server.get("/_config?release=" + quote(folder))
        server.get("/_clear")

    # --- links: nothing outside the client folder is touched

    def test_a_client_folder_linked_outside_is_not_written_through(self):
        server = self.install_v1()
        outside = os.path.join(self.work, "outside")
        shutil.move(os.path.join(self.client_folder(), "data"), outside)
        write(outside, "own.txt", b"not the client's")
        os.symlink(outside, os.path.join(self.client_folder(), "data"))
        self.publish(server, self.v2, "2.1")
        with self.untouched(outside):
            self.run_to_the_game()
        self.assertEqual(links_below(self.client_folder()), [])
        self.assert_updated_to_v2()

    def test_an_update_folder_that_is_a_link_is_removed_as_a_link(self):
        server = self.install_v1()
        outside = self.outside_files("outside")
        os.symlink(outside, self.update_folder())
        self.publish(server, self.v2, "2.1")
        with self.untouched(outside):
            self.run_to_the_game()
        self.assert_updated_to_v2()

    def test_a_link_in_place_of_a_piece_is_not_written_through(self):
        server = self.install_v1()
        self.publish(server, self.v2, "2.1")
        outside = self.outside_files("outside")
        tail_offset = max(0, server.get("/_config")["packageSize"] - TAIL)
        os.symlink(os.path.join(outside, "kept0.bin"),
                   os.path.join(self.plant_in_update_folder(server), f"{tail_offset}.piece"))
        with self.untouched(outside):
            self.run_to_the_game()
        self.assert_updated_to_v2()

    def test_a_record_naming_a_file_outside_the_client_is_measured_again(self):
        server = self.install_v1()
        # Two levels up from the client folder: the case's folder.
        write(self.work, "victim.txt", VICTIM)
        record_path = os.path.join(self.folder, "ClientFiles.json")
        with open(record_path) as f:
            record = json.load(f)
        record["Files"].append({"Name": "../../victim.txt", "Size": len(VICTIM), "Crc32": zlib.crc32(VICTIM)})
        with open(record_path, "w") as f:
            json.dump(record, f)
        self.publish(server, self.v2, "2.1")
        with self.untouched(os.path.join(self.work, "victim.txt")):
            self.run_to_the_game()
        # A measured record deletes nothing: v1's removed file may stay as a file of the player's.
        found = tree(self.client_folder())
        found.pop(REMOVED, None)
        self.assertEqual(found, tree(self.v2))
        self.assertIn('"2.1"', read(os.path.join(self.folder, "Version.json")).decode())
        self.assertFalse(os.path.lexists(self.update_folder()), "the update folder was kept")

    def test_a_journal_naming_a_file_outside_the_client_ends_in_the_whole_install(self):
        server = self.install_v1()
        write(self.folder, "victim.txt", VICTIM)
        journal = {"Version": "2.1", "Moves": [], "Removes": ["../victim.txt"],
                   "Record": {"Version": "2.1", "BaseDir": "client", "Files": []}}
        write(self.update_folder(), "journal.json", json.dumps(journal).encode())
        self.publish(server, self.v2, "2.1")
        with self.untouched(os.path.join(self.folder, "victim.txt")):
            self.run_to_the_game()
        self.assert_updated_to_v2()
        self.assertTrue(self.whole_package_fetched(server), self.package_log(server))

    # --- names

    def test_names_of_245_characters_update_by_their_ranges(self):
        # "./client/<name>" fits in 260 characters; "./client.update/files/<name>" would not.
        names = ["x" * 241 + ".bin", "data/" + "y" * 236 + ".bin"]
        self.change_versions(both={name: os.urandom(ASSET) for name in names},
                             v2={name: os.urandom(ASSET) for name in names})
        server = self.install_v1()
        self.publish(server, self.v2, "2.1")
        entries = self.package_entries(server)
        server.get("/_clear")
        self.run_to_the_game()
        self.assertEqual(self.fetched_entries(entries, self.package_log(server)), {CHANGED, ADDED, *names})
        self.assert_updated_to_v2()

    # --- transfers

    def test_a_stalled_transfer_is_a_failed_attempt(self):
        server = self.install_v1()
        self.lay_out(server, DownloadRetry=1, **SETTINGS)
        self.publish(server, self.v2, "2.1")
        server.get("/_config?stall-package=1&stall-seconds=120")
        # Two attempts, each given up after 2 s without a byte: long before the stall's
        # 120 s, which libcurl alone would wait out.
        self.run_to_a_message_box({"LAUNCHER_TEST_LOW_SPEED_TIME": "2"}, timeout=45)
        self.assertEqual(len(self.package_log(server)), 2, self.package_log(server))
        reasons = [e["query"] for e in server.get("/_reports")]
        self.assertTrue(any(f"reason={REASONS['ReportDownloadLatestVersionFail']}&" in q for q in reasons), reasons)
        self.assertEqual(tree(self.client_folder()), tree(self.v1), "the old client changed")

        server.get("/_config?stall-package=0")
        self.run_to_the_game()
        self.assert_updated_to_v2()

    def test_launches_killed_at_any_moment_leave_what_the_next_launch_completes(self):
        server = self.install_v1()
        # Slow enough that the fetch takes a good part of a launch.
        server.get("/_config?slow-package=400000")
        self.publish(server, self.v2, "2.1")
        started = time.monotonic()
        self.run_to_the_game()
        duration = time.monotonic() - started
        seed = random.randrange(1 << 30)
        moments = random.Random(seed)
        # From v2 back to v1's files and on, each a new version, each launch killed once.
        for round_ in range(6):
            release, version = (self.v1, self.v2)[round_ % 2], f"2.{round_ + 2}"
            delay = duration * (round_ + moments.random()) / 6
            with self.subTest(version=version, delay=delay, seed=seed):
                self.publish(server, release, version)
                launcher = self.start_launcher()
                time.sleep(delay)
                launcher.kill()
                launcher.wait()
                self.run_to_the_game()
                self.assert_installed(release, version)


class FullVolume(SoundnessCase):
    """The launcher folder on a small volume of its own."""

    def setUp(self):
        super().setUp()
        os.makedirs(self.folder)
        mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64m", "tmpfs", self.folder],
                                 capture_output=True, text=True)
        if mounted.returncode != 0:
            self.skipTest(f"mount -t tmpfs is refused here: {mounted.stderr.strip()}")
        self.addCleanup(subprocess.run, ["umount", self.folder], check=False)

    def free_space(self):
        stats = os.statvfs(self.folder)
        return stats.f_bavail * stats.f_frsize

    def assert_refused_for_space(self, server, fill):
        """v1 installed, the volume then filled by `fill(free bytes)`, a launch against v2:
        NotEnoughDiskSpace before any entry is fetched, v1 intact, nothing installed
        elsewhere; once the volume is larger, the next launch ends at v2."""
        self.lay_out(server, NotEnoughDiskSpace=NO_SPACE_TEXT, **SHORT_FAILURES, **SETTINGS)
        # The launch removes the game's record of the last one first: that space counts as free.
        os.remove(os.path.join(self.folder, "game-args.json"))
        fill(self.free_space())
        self.publish(server, self.v2, "2.1")
        entries = self.package_entries(server)
        server.get("/_clear")
        version = read(os.path.join(self.folder, "Version.json"))
        self.assertGreater(self.run_to_a_message_box(look=self.red_text_width), 100,
                           "the red text is not NotEnoughDiskSpace")
        self.assertEqual(self.fetched_entries(entries, self.package_log(server)), set())
        self.assertEqual(tree(self.client_folder()), tree(self.v1), "the old client changed")
        self.assertEqual(read(os.path.join(self.folder, "Version.json")), version)
        self.assertEqual(tree(self.app_data), {}, "a second client was installed under the application data")

        subprocess.run(["mount", "-o", "remount,size=256m", self.folder], check=True)
        self.run_to_the_game()
        self.assertEqual(tree(self.app_data), {})

    def test_changed_entries_larger_than_the_free_space_are_not_fetched(self):
        server = self.install_v1()

        def larger_release(free):
            # The ranges and the unpacked entries together need more than is free, either alone less.
            write(self.v2, "data/large.bin", os.urandom(free * 6 // 10))

        self.assert_refused_for_space(server, larger_release)
        self.assert_updated_to_v2()

    def test_a_full_volume_never_moves_the_client_to_the_application_data(self):
        server = self.install_v1()

        def fill_up(_free):
            # The player's file outside the client folder takes every byte that is left.
            filler = os.open(os.path.join(self.folder, "filler.bin"), os.O_WRONLY | os.O_CREAT)
            try:
                for chunk in (1 << 20, 4096, 1):
                    try:
                        while os.write(filler, os.urandom(chunk)):
                            pass
                    except OSError:
                        pass
            finally:
                os.close(filler)

        self.assert_refused_for_space(server, fill_up)
        self.assert_updated_to_v2()


if __name__ == "__main__":
    E2ECase.bin_dir = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
