"""Incremental updates (IncrementalUpdate 1) end to end, played the same way by both builds
of the launcher: on Linux by incremental_e2e.py, under Wine by
tests/app/win32/launcher_e2e_win32.py. The development server's log of package ranges is
the assertion of what was fetched.

Every case installs version 1 of a client (the sample client plus eight assets) by a
whole install, then publishes version 2 (one asset changed, one added, one removed) or
the same client again; some cases change both versions first (change_versions).
"""

import hashlib
import io
import os
import shutil
import urllib.request
import zipfile

from launcher_e2e import REASONS, DevServer, wait_until

ASSET = 300 * 1024  # far above the 64 KiB under which neighbouring ranges merge
ASSETS = [f"data/asset{i}.bin" for i in range(8)]
CHANGED, ADDED, REMOVED = ASSETS[3], "data/added.bin", ASSETS[5]
SETTINGS = {"IncrementalUpdate": 1, "BaseDir": "client"}
PLAYER, PLAYER_FILE = "player-notes.txt", b"the player's own file"


def write(folder, name, data):
    path = os.path.join(folder, name)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def tree(folder):
    """Every file below the folder by its relative name, with the SHA-256 of its bytes (a
    failed comparison then shows which files differ, not their bytes)."""
    found = {}
    for top, _, files in os.walk(folder):
        for name in files:
            path = os.path.join(top, name)
            found[os.path.relpath(path, folder)] = hashlib.sha256(read(path)).hexdigest()
    return found


def is_tail(entry):
    """The request for the package's last bytes, which every update makes first."""
    return (entry["range"] or "").startswith("bytes=-")


class IncrementalSteps:
    """The versions and the steps of the cases, for a runner (an E2ECase) that provides:
    lay_out(server, **settings), start_launcher() -> process, finish(process) -> (exit code,
    output), message_box_shown(), close_message_box(), and crash_after_first_step(server)
    -> (exit code, output): a launch, with the folder's settings, whose process ends with
    exit code 3 right after the update's first step in the client folder (a remove or a
    move); afterwards the folder starts the ordinary launcher again."""

    maxDiff = None  # trees compare by digests: a failure lists every file that differs
    names_ignore_case = False  # the runner's file system finds "A" by "a"

    def setUp(self):
        super().setUp()
        self.v1 = os.path.join(self.work, "v1")
        shutil.copytree(self.client, self.v1)
        for name in ASSETS:
            write(self.v1, name, os.urandom(ASSET))
        self.v2 = os.path.join(self.work, "v2")
        shutil.copytree(self.v1, self.v2)
        write(self.v2, CHANGED, os.urandom(ASSET))
        write(self.v2, ADDED, os.urandom(ASSET))
        os.remove(os.path.join(self.v2, REMOVED))

    # --- steps

    def install_v1(self, *options):
        server = DevServer(self.work, "--client", self.v1, "--version", "2.0", *options)
        self.servers.append(server)
        self.lay_out(server, **SETTINGS)
        self.run_to_the_game()
        self.assertEqual(tree(self.client_folder()), tree(self.v1))
        self.assertTrue(os.path.exists(os.path.join(self.folder, "ClientFiles.json")))
        return server

    def client_folder(self):
        return os.path.join(self.folder, "client")

    def update_folder(self):
        return self.client_folder() + ".update"

    def run_to_the_game(self):
        game_args = os.path.join(self.folder, "game-args.json")
        if os.path.exists(game_args):
            os.remove(game_args)
        launcher = self.start_launcher()
        # A launch that fails waits for its message box: end it at once, not by a time-out.
        wait_until(lambda: launcher.poll() is not None or self.message_box_shown(), 120, step=0.2)
        failed = launcher.poll() is None and self.message_box_shown()
        if failed:
            self.close_message_box()
        code, output = self.finish(launcher)
        self.assertFalse(failed, "the launch ended in a message box\n" + output)
        self.assertEqual(code, 0, output)
        self.assertIsNotNone(self.game_record(), output)
        return output

    @staticmethod
    def publish(server, client, version):
        server.get(f"/_config?client={client}&version={version}")
        server.get("/_clear")

    @staticmethod
    def package_log(server):
        return [e for e in server.get("/_log") if e["path"].startswith("/package")]

    @staticmethod
    def package_entries(server):
        config = server.get("/_config")
        url = f"{server.base}/package/{config['packageFileName']}"
        with urllib.request.urlopen(url, timeout=10) as response:
            return zipfile.ZipFile(io.BytesIO(response.read())).infolist()

    @staticmethod
    def fetched_entries(entries, log):
        """Names of the entries whose data a logged range reached into."""
        spans = []
        for entry in log:
            first, _ = entry["range"].split("=")[1].split("-")
            if first:
                spans.append((int(first), int(first) + entry["sent"]))
        return {e.filename for e in entries if e.compress_size > 0 and any(
            a < e.header_offset + 30 + len(e.filename) + e.compress_size and b > e.header_offset + 64 + len(e.filename)
            for a, b in spans)}

    @staticmethod
    def completed_ranges(log):
        """The ranges of entries and directory that arrived whole (the tail is asked for on every run)."""
        return {e["range"] for e in log if e.get("complete") and e["range"] and not is_tail(e)}

    def assert_updated_to_v2(self, player_files=(), fold_case=False):
        self.assert_installed(self.v2, "2.1", player_files, fold_case)

    def assert_installed(self, release, version, player_files=(), fold_case=False):
        """The client holds exactly the release's files and the player's (names in any
        case with `fold_case`, for a system that keeps a file's old spelling), the version
        is recorded and the update folder is gone."""
        expected = dict(tree(release), **{name: hashlib.sha256(PLAYER_FILE).hexdigest() for name in player_files})
        found = tree(self.client_folder())
        if fold_case:
            expected, found = ({name.lower(): digest for name, digest in files.items()} for files in (expected, found))
        self.assertEqual(found, expected)
        self.assertIn(f'"{version}"', read(os.path.join(self.folder, "Version.json")).decode())
        self.assertFalse(os.path.lexists(self.update_folder()), "the update folder was kept")

    def change_versions(self, both=None, v2=None):
        """Changes the versions laid out: `both` in v1 and v2, then `v2` in v2 alone. Each
        maps a name to its new bytes, or to None to remove it; a name replaces whatever is
        there (a folder included), in the order given."""
        for folder, changes in ((self.v1, both), (self.v2, both), (self.v2, v2)):
            for name, data in (changes or {}).items():
                path = os.path.join(folder, name)
                if os.path.isdir(path):
                    shutil.rmtree(path)
                elif os.path.exists(path):
                    os.remove(path)
                if data is not None:
                    write(folder, name, data)

    def update_in_one_launch(self, both=None, v2=None, fold_case=False):
        """v1 installed, a file of the player's beside it, then one launch against v2,
        which the update makes by ranges alone."""
        self.change_versions(both, v2)
        server = self.install_v1()
        write(self.client_folder(), PLAYER, PLAYER_FILE)
        self.publish(server, self.v2, "2.1")
        self.run_to_the_game()
        self.assert_updated_to_v2([PLAYER], fold_case)
        log = self.package_log(server)
        self.assertTrue(all(e["range"] for e in log), log)


class IncrementalPlay(IncrementalSteps):
    """The cases every build plays."""

    # --- the cases

    def test_only_changed_and_added_entries_are_fetched_and_removed_files_go(self):
        server = self.install_v1()
        write(self.client_folder(), "player-notes.txt", b"kept")
        self.publish(server, self.v2, "2.1")
        entries = self.package_entries(server)
        server.get("/_clear")
        self.run_to_the_game()

        log = self.package_log(server)
        self.assertTrue(all(e["range"] for e in log), log)
        self.assertEqual(self.fetched_entries(entries, log), {CHANGED, ADDED})
        expected = dict(tree(self.v2), **{"player-notes.txt": hashlib.sha256(b"kept").hexdigest()})
        self.assertEqual(tree(self.client_folder()), expected)
        self.assertIn('"2.1"', read(os.path.join(self.folder, "Version.json")).decode())
        self.assertFalse(os.path.exists(self.update_folder()), "the update folder was kept")

    def test_a_file_the_player_damaged_is_fetched_again(self):
        server = self.install_v1()
        os.remove(os.path.join(self.client_folder(), ASSETS[1]))
        with open(os.path.join(self.client_folder(), ASSETS[2]), "r+b") as f:
            f.truncate(1000)
        self.publish(server, self.v1, "2.1")
        entries = self.package_entries(server)
        server.get("/_clear")
        self.run_to_the_game()
        self.assertEqual(self.fetched_entries(entries, self.package_log(server)), {ASSETS[1], ASSETS[2]})
        self.assertEqual(tree(self.client_folder()), tree(self.v1))

    def test_a_server_that_ignores_ranges_gets_the_whole_install(self):
        server = self.install_v1("--ignore-range")
        self.publish(server, self.v2, "2.1")
        self.run_to_the_game()
        log = self.package_log(server)
        self.assertEqual([e["status"] for e in log][-1], 200)
        self.assertEqual(tree(self.client_folder()), tree(self.v2))

    def test_a_file_that_becomes_a_folder(self):
        self.update_in_one_launch(v2={ASSETS[1]: None, ASSETS[1] + "/inner.bin": os.urandom(ASSET)})

    def test_a_folder_of_files_that_becomes_a_file(self):
        self.update_in_one_launch(both={"data/sub/a.bin": os.urandom(ASSET), "data/sub/b.bin": os.urandom(ASSET)},
                                  v2={"data/sub": os.urandom(ASSET)})

    def test_a_file_renamed_only_in_case_with_new_content(self):
        self.update_in_one_launch(both={ASSETS[2]: None, "data/Asset2.bin": os.urandom(ASSET)},
                                  v2={"data/Asset2.bin": None, ASSETS[2]: os.urandom(ASSET)},
                                  fold_case=self.names_ignore_case)

    def test_an_interrupted_fetch_keeps_the_old_client_and_the_next_run_fetches_the_rest(self):
        server = self.install_v1()
        server.get("/_config?slow-package=200000")
        self.publish(server, self.v2, "2.1")
        pieces = os.path.join(self.update_folder(), "pieces")

        def fetched_some():
            return os.path.isdir(pieces) and sum(
                os.path.getsize(os.path.join(pieces, n)) for n in os.listdir(pieces)) > 200000 + ASSET

        launcher = self.start_launcher()
        self.assertTrue(wait_until(fetched_some, 30), "no entry was fetched")
        launcher.kill()
        launcher.wait()
        self.assertEqual(tree(self.client_folder()), tree(self.v1), "the old client changed")

        first = self.package_log(server)
        server.get("/_config?slow-package=0")
        server.get("/_clear")
        self.run_to_the_game()
        self.assert_updated_to_v2()
        again = {e["range"] for e in self.package_log(server)}
        self.assertFalse(self.completed_ranges(first) & again, "a range fetched completely was fetched again")

    def test_an_update_cut_short_in_its_moves_is_finished_by_the_next_launch(self):
        server = self.install_v1()
        self.publish(server, self.v2, "2.1")
        code, output = self.crash_after_first_step(server)
        self.assertEqual(code, 3, output)
        self.assertTrue(os.path.exists(os.path.join(self.update_folder(), "journal.json")))
        self.assertNotEqual(tree(self.client_folder()), tree(self.v2))

        server.get("/_clear")
        self.run_to_the_game()
        self.assert_updated_to_v2()
        self.assertEqual(self.package_log(server), [], "the finished update was fetched again")

    def test_a_package_whose_directory_is_damaged_takes_the_whole_install(self):
        server = self.install_v1()
        self.publish(server, self.v2, "2.1")
        server.get("/_config?package-damaged=truncated")
        version = read(os.path.join(self.folder, "Version.json"))
        launcher = self.start_launcher()
        self.close_message_box()
        code, output = self.finish(launcher)
        self.assertEqual(code, 0, output)
        # The whole package was asked for, and failed as a damaged package fails.
        self.assertTrue(any(not e["range"] for e in self.package_log(server)), self.package_log(server))
        self.assertEqual(read(os.path.join(self.folder, "Version.json")), version)
        self.assertFalse(os.path.exists(self.update_folder()), "the update folder was kept")
        reasons = [e["query"] for e in server.get("/_reports")]
        self.assertTrue(any(f"reason={REASONS['ReportExtractFileFail']}&" in q for q in reasons), reasons)
