"""End-to-end scenarios that both builds of the launcher play the same way: what the
development server answers, what Setting.json says and how the login page calls
"fnEnterGame"; then what the player and the servers see. Played on Linux by
launcher_scenarios_e2e.py and under Wine by tests/app/win32/launcher_e2e_win32.py.

Every run starts from a launcher folder holding the player's own things: an old client
(client/old/stale.dat), a file beside the launcher (notes.txt) and one in the folder
above it (outside.txt).
"""

import base64
import dataclasses
import json
import os
import shutil
import zipfile
from urllib.parse import urlencode

from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.hazmat.primitives.asymmetric.utils import decode_dss_signature

from launcher_e2e import REASONS, TITLE, pixels, wait_until

VERSION = "2.0"
PACKAGE = f"/package/client_{VERSION}.zip"
TEXTS = {"CheckLatestVersionFail": "Version server unreachable", "DownloadLatestVersionFail": "Download failed",
         "ExtractFileFail": "Package damaged", "EmptyBaseDirFail": "Old game files kept"}
SETTINGS = {"Title": TITLE, "FixedWidth": 1100, "FixedHeight": 660, "DownloadRetry": 0, "DownloadRetryDelay": 0,
            "PlatformId": 7, **REASONS, **TEXTS}
ALICE = "username=alice&token=x"
# In a setting or an address: the launcher folder's parent as an absolute path of the
# build's system; an origin other than the login page's, on loopback.
PARENT = "{parent}"
OTHER_ORIGIN = "{other}"
# The text of a package entry that must never reach the disk.
REFUSED = "this entry must never be written"
# Release keys, made for this run only: the studio's, whose public half the launcher
# holds when a row signs, and a stranger's.
RELEASE_KEYS = {"studio": ec.generate_private_key(ec.SECP256R1()), "stranger": ec.generate_private_key(ec.SECP256R1())}


@dataclasses.dataclass(frozen=True)
class Scenario:
    name: str
    server: tuple = ()  # development server options
    settings: dict = dataclasses.field(default_factory=dict)  # Setting.json overrides; None leaves the key out
    args: tuple = (ALICE,)  # the page's call; () calls without an argument
    refused_entry: str = None  # serve a package of readme.txt and this entry, which must be refused
    current_client_in: str = None  # folder (below the launcher's) where the current client is installed
    page_at: str = None  # the page calls from this address instead of the login page (Windows only)
    # The launcher holds the studio's release key; the version answer is signed by this
    # key of RELEASE_KEYS, or by none ("nobody").
    signed_by: str = None
    # After the answer was signed, the server sends another package: "as_signed" leaves
    # the answer as it is, "rehashed" gives the other package's size and hash in it.
    package_swapped: str = None
    # What comes out:
    message: str = None  # the setting whose text the message box shows
    requests: tuple = ()  # paths the servers get, besides the login page and the reports
    reports: tuple = ()  # report reasons in order
    game: tuple = None  # (user name, parameter list) the started game gets
    user: str = "alice"  # the reports' device
    old_client_kept: bool = True

    @property
    def stays_open(self):
        """Nothing to show and no game to start: the page stays and the player closes the window."""
        return self.message is None and self.game is None


CHECK_FAILS = dict(message="CheckLatestVersionFail", requests=("/version",))
INSTALL_FAILS = dict(requests=("/version", PACKAGE), old_client_kept=False)
INSTALLED = dict(requests=("/version", PACKAGE), reports=("ReportReasonStartLoading", "ReportReasonStopLoading"),
                 game=("alice", "token=x&username=alice"), old_client_kept=False)
BASE_DIR_REFUSED = dict(message="EmptyBaseDirFail", requests=("/version",), reports=("ReportReasonStartLoading",))

SCENARIOS = (
    Scenario("version_server_error", server=("--version-status", "500"), **CHECK_FAILS),
    Scenario("version_answer_not_json", server=("--version-body", "invalid"), **CHECK_FAILS),
    Scenario("version_answer_not_an_object", server=("--version-body", "notobject"), **CHECK_FAILS),
    Scenario("version_answer_of_wrong_types", server=("--version-body", "wrongtypes"), **CHECK_FAILS),
    Scenario("package_not_found", server=("--package-status", "404"), message="DownloadLatestVersionFail",
             reports=("ReportReasonStartLoading", "ReportDownloadLatestVersionFail"), **INSTALL_FAILS),
    Scenario("package_damaged", server=("--package-damaged", "crc"), message="ExtractFileFail",
             reports=("ReportReasonStartLoading", "ReportExtractFileFail"), **INSTALL_FAILS),
    Scenario("package_entry_outside_the_client", refused_entry="../evil.txt", message="ExtractFileFail",
             reports=("ReportReasonStartLoading", "ReportExtractFileFail"), **INSTALL_FAILS),
    Scenario("package_entry_with_a_device_name", refused_entry="data/CON.txt", message="ExtractFileFail",
             reports=("ReportReasonStartLoading", "ReportExtractFileFail"), **INSTALL_FAILS),
    Scenario("base_dir_missing", settings={"BaseDir": None}, **BASE_DIR_REFUSED),
    Scenario("base_dir_parent", settings={"BaseDir": ".."}, **BASE_DIR_REFUSED),
    Scenario("base_dir_absolute", settings={"BaseDir": PARENT}, **BASE_DIR_REFUSED),
    Scenario("call_without_argument", args=()),
    Scenario("call_with_two_arguments_uses_the_last", args=(ALICE, "username=carol&token=y"),
             requests=("/version", PACKAGE), reports=("ReportReasonStartLoading", "ReportReasonStopLoading"),
             game=("carol", "token=y&username=carol"), user="carol", old_client_kept=False),
    Scenario("signed_answer_installs", signed_by="studio", **INSTALLED),
    Scenario("answer_signed_by_a_stranger_is_refused", signed_by="stranger", **CHECK_FAILS),
    Scenario("unsigned_answer_is_refused_when_releases_are_signed", signed_by="nobody", **CHECK_FAILS),
    Scenario("signed_answer_with_another_package_served", signed_by="studio", package_swapped="as_signed",
             message="DownloadLatestVersionFail", reports=("ReportReasonStartLoading", "ReportDownloadLatestVersionFail"),
             **INSTALL_FAILS),
    Scenario("signed_answer_rehashed_for_another_package", signed_by="studio", package_swapped="rehashed",
             **CHECK_FAILS),
    Scenario("current_client_starts_whatever_base_dir_says", settings={"BaseDir": None}, current_client_in=".",
             requests=("/version",), reports=("ReportReasonStartLoading", "ReportReasonStopLoading"),
             game=("alice", "token=x&username=alice")),
)


def plays(scenarios):
    """Class decorator: one test method per scenario, test_<name>."""
    def add(cls):
        for row in scenarios:
            def test(self, row=row):
                self.play(row)
            setattr(cls, f"test_{row.name}", test)
        return cls
    return add


class ScenarioPlay:
    """Plays a scenario on a runner (an E2ECase) that provides:
    lay_out_scenario(server, row, settings, unset, version_file), start_scenario(row),
    finish_scenario(process) -> (exit code, output), message_box(), close_message_box(),
    message_texts(output) -> the texts shown, or None when the build cannot tell,
    wait_for_page_call(), close_main_window(), status_pixels(), native_path(path)."""

    def play(self, row):
        """Runs the row and checks it; returns the launcher's output."""
        package = self.refused_package(row.refused_entry) if row.refused_entry else None
        server = self.serve(*row.server, *(("--package-zip", package) if package else ()))
        settings = dict(SETTINGS)
        settings.update({key: self.expand(value, server) for key, value in row.settings.items() if value is not None})
        unset = [key for key, value in row.settings.items() if value is None]
        if row.signed_by:
            settings["ReleasePublicKey"] = self.release_public_key()
            self.sign_version_answer(server, row)
        version_file = json.dumps({"Version": VERSION}) if row.current_client_in else None
        self.lay_out_scenario(server, row, settings, unset, version_file)
        self.plant_player_files(row)
        launcher_files = set(os.listdir(self.folder))
        parent_files = set(os.listdir(self.work))
        version_before = self.read(os.path.join(self.folder, "Version.json"))

        process = self.start_scenario(row)
        if row.message:
            wait_until(lambda: self.message_box() or process.poll() is not None, 60)
            self.assertIsNotNone(self.message_box(), f"no message box appeared (launcher exit code {process.poll()})")
            self.assertTrue(wait_until(self.status_text_is_red, 10), "the status text is not red")
            self.close_message_box()
        elif row.stays_open:
            self.wait_for_page_call()
            self.assertEqual(self.launch_paths(server), [])
            self.close_main_window()
        code, output = self.finish_scenario(process)
        self.assertEqual(code, 0, output)

        texts = self.message_texts(output)
        if texts is not None:
            self.assertEqual(texts, [TEXTS[row.message]] if row.message else [], output)
        self.assertEqual(self.launch_paths(server), list(row.requests))
        # Each report travels on a thread of its own: two sent close together may arrive
        # in either order.
        self.assertCountEqual([query for path, query in server.requests() if path == "/report"],
                              [self.report_query(REASONS[reason], row.user) for reason in row.reports])
        record = self.game_record()
        if row.game is None:
            self.assertIsNone(record, output)
        else:
            self.assertIsNotNone(record, output)
            self.assertEqual(record["argv"][1:5], ["-AppUniqueId", row.game[0], "-PCORVO", row.game[1]])

        installed = row.game is not None and PACKAGE in row.requests
        version_after = self.read(os.path.join(self.folder, "Version.json"))
        if installed:
            self.assertEqual(json.loads(version_after), {"Version": VERSION})
        else:
            self.assertEqual(version_after, version_before)
        self.assert_player_files_survive(row, launcher_files, parent_files)
        if package:
            self.assert_nowhere(REFUSED)
        return output

    # --- the player's files

    def plant_player_files(self, row):
        self.write(os.path.join(self.folder, "client", "old", "stale.dat"), "old client")
        self.write(os.path.join(self.folder, "notes.txt"), "the player's notes")
        self.write(os.path.join(self.work, "outside.txt"), "beside the launcher folder")
        if row.current_client_in:
            shutil.copy(os.path.join(self.bin_dir, self.game_file), os.path.join(self.folder, row.current_client_in))

    def assert_player_files_survive(self, row, launcher_files, parent_files):
        after = set(os.listdir(self.folder))
        kept = launcher_files if row.old_client_kept else launcher_files - {"client"}
        self.assertEqual(kept - after, set(), "files beside the launcher were removed")
        # An install records its files whatever IncrementalUpdate says.
        self.assertLessEqual(after - launcher_files, {"client", "Version.json", "ClientFiles.json", "game-args.json"})
        self.assertEqual(os.path.exists(os.path.join(self.folder, "client", "old", "stale.dat")), row.old_client_kept)
        self.assertEqual(self.read(os.path.join(self.folder, "notes.txt")), b"the player's notes")
        self.assertEqual(set(os.listdir(self.work)), parent_files)
        self.assertEqual(self.read(os.path.join(self.work, "outside.txt")), b"beside the launcher folder")

    def assert_nowhere(self, text):
        for root, _, names in os.walk(self.work):
            for name in names:
                self.assertNotIn(text.encode(), self.read(os.path.join(root, name)), os.path.join(root, name))

    # --- signed releases

    @staticmethod
    def release_public_key():
        der = RELEASE_KEYS["studio"].public_key().public_bytes(serialization.Encoding.DER,
                                                                serialization.PublicFormat.SubjectPublicKeyInfo)
        return base64.b64encode(der).decode()

    @staticmethod
    def sign_version_answer(server, row):
        """Has the server send a version answer for its package, signed as the row says,
        and then, when the row says so, another package than the signed one."""
        served = server.get("/_config")
        answer = {"Version": VERSION, "PackageUrl": server.base + PACKAGE, "ReportOperationUrl": server.base + "/report",
                  "PackageSize": served["packageSize"], "PackageSha256": served["packageSha256"]}
        if row.signed_by in RELEASE_KEYS:
            message = "".join(f"{answer[key]}\n" for key in ("Version", "PackageUrl", "PackageSize", "PackageSha256"))
            r, s = decode_dss_signature(RELEASE_KEYS[row.signed_by].sign((message + "\n").encode(),
                                                                        ec.ECDSA(hashes.SHA256())))
            answer["Signature"] = base64.b64encode(r.to_bytes(32, "big") + s.to_bytes(32, "big")).decode()
        if row.package_swapped:
            other = server.get("/_config?package-damaged=crc")
            if row.package_swapped == "rehashed":
                answer.update(PackageSize=other["packageSize"], PackageSha256=other["packageSha256"])
        server.get("/_config?" + urlencode({"version-json": json.dumps(answer)}))

    # --- helpers

    def refused_package(self, entry):
        """A zip of the client's readme and the entry, beside (not inside) the case's folder."""
        path = self.work + "-package.zip"
        with zipfile.ZipFile(path, "w", compression=zipfile.ZIP_DEFLATED) as archive:
            archive.writestr("readme.txt", "the sample client\n")
            archive.writestr(entry, REFUSED)
        return path

    def expand(self, value, server):
        if isinstance(value, list):
            return [self.expand(item, server) for item in value]
        if not isinstance(value, str):
            return value
        return (value.replace(PARENT, self.native_path(self.work))
                .replace(OTHER_ORIGIN, f"http://127.0.0.2:{server.port}"))

    def launch_paths(self, server):
        return [path for path, _ in server.requests() if path not in ("/login", "/report")]

    def status_text_is_red(self):
        return sum(1 for r, g, b in pixels(self.status_pixels()) if r > 200 and g < 60 and b < 60) > 50

    @staticmethod
    def write(path, text):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write(text)

    @staticmethod
    def read(path):
        if not os.path.exists(path):
            return None
        with open(path, "rb") as f:
            return f.read()
