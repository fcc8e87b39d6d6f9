#!/usr/bin/python3
"""End-to-end runs of the Windows launcher under Wine, against the development server on
loopback, in a real window under the X display. Wine's browser control loads no page here,
so each run uses launcher_page_driver.exe: the launcher as launcher.exe runs it, plus the
page's window.external.fnEnterGame call with the text of LAUNCHER_TEST_PAGE_ARGUMENT. Each
case looks at what the player and the servers see: requests, files on disk, the exact
command line the sample game records, message boxes and pixels on the screen.

Usage: launcher_e2e_win32.py BIN_DIR [unittest arguments]. Needs DISPLAY and the Wine prefix.
"""

import json
import os
import subprocess
import sys
import time
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
WINE_RUN = os.path.join(ROOT, "scripts", "wine-run")
sys.path.insert(0, os.path.join(ROOT, "tests", "app", "e2e"))
from launcher_e2e import E2ECase, wait_until  # noqa: E402
import make_launcher_folder  # noqa: E402

DRIVER = "launcher_page_driver.exe"
TITLE = "E2E Launcher"
REASONS = {"ReportReasonStartLoading": 11, "ReportReasonStopLoading": 12, "ReportLaunchGameFail": 13,
           "ReportReasonOSError": 14, "ReportDownloadLatestVersionFail": 15, "ReportExtractFileFail": 16}
TEXTS = {"CheckLatestVersionFail": "Version server unreachable",
         "DownloadLatestVersionFail": "Download failed", "ExtractFileFail": "Package damaged"}


class WindowsLauncherTest(E2ECase):
    game_file = "sample_game.exe"
    os_name = "Windows"

    def lay_out(self, server, **settings):
        values = {"Title": TITLE, "FixedWidth": 1100, "FixedHeight": 660, "DownloadRetry": 0,
                  "DownloadRetryDelay": 0, "PlatformId": 7, "ExeCmdArgs": "-windowed", **REASONS, **TEXTS,
                  **settings}
        arguments = [self.folder, "--port", str(server.port), "--launcher", os.path.join(self.bin_dir, DRIVER),
                     "--pictures", self.pictures]
        for key, value in values.items():
            arguments += ["--set-json", f"{key}={json.dumps(value)}"]
        subprocess.run([sys.executable, make_launcher_folder.__file__, *arguments], check=True,
                       stdout=subprocess.DEVNULL)

    def start_launcher(self, page_argument="username=alice&token=x"):
        environment = dict(os.environ, LAUNCHER_TEST_PAGE_ARGUMENT=page_argument)
        process = subprocess.Popen([WINE_RUN, DRIVER], cwd=self.folder, env=environment,
                                   stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.processes.append(process)
        return process

    def main_window(self):
        """Wine's X window of a top-level window is its client area: the canvas size tells
        the launcher's window from its message boxes, which carry the same title."""
        return next((w for w, _ in self.screen.windows(TITLE) if self.client_size(w) == (1100, 660)), None)

    def message_box(self):
        return next((w for w, _ in self.screen.windows(TITLE) if self.client_size(w) != (1100, 660)), None)

    @staticmethod
    def client_size(window):
        geometry = window.get_geometry()
        return geometry.width, geometry.height

    def dismiss_message_box(self):
        """Closes the box as its close button would; unlike a key press, that needs no focus."""
        box = wait_until(self.message_box, 30)
        self.assertIsNotNone(box, "no message box appeared")
        self.screen.close(box)
        self.assertTrue(wait_until(lambda: self.message_box() is None, 10), "the message box stayed open")

    def client_shot(self):
        """RGB bytes of the main window's client area."""
        window = self.main_window()
        self.assertIsNotNone(window, "no launcher window")
        geometry = window.get_geometry()
        position = window.translate_coords(self.screen.root, 0, 0)
        return geometry.width, self.screen.screenshot(-position.x, -position.y, geometry.width, geometry.height)


class FirstInstall(WindowsLauncherTest):
    def test_installs_records_the_version_and_starts_the_game(self):
        server = self.serve()
        self.lay_out(server)
        code, output = self.finish(self.start_launcher())
        self.assertEqual(code, 0, output)

        record = self.game_record()
        self.assertIsNotNone(record, output)
        self.assertEqual(record["argv"], [".\\client\\sample_game.exe", "-AppUniqueId", "alice", "-PCORVO",
                                          "token=x&username=alice", "-windowed"])
        self.assertEqual(record["commandLine"], '".\\client\\sample_game.exe" -AppUniqueId "alice" '
                                                '-PCORVO "token=x&username=alice" "-windowed"')
        self.assertEqual(record["cwd"].lower(), ("z:" + self.folder.replace("/", "\\")).lower())

        # The control fetches the login page on its own threads, so it may come at any
        # point; so may the start report, which travels on its own thread too.
        requests = server.requests()
        self.assertIn(("/login", ""), requests)
        launch = [request for request in requests if request[0] != "/login"]
        self.assertEqual(launch[:1], [("/version", "")])
        self.assertCountEqual(launch[1:3], [("/report", self.report_query(REASONS["ReportReasonStartLoading"])),
                                            ("/package/client_2.0.zip", "")])
        self.assertEqual(launch[3:], [("/report", self.report_query(REASONS["ReportReasonStopLoading"]))])
        with open(os.path.join(self.folder, "Version.json"), "rb") as f:
            self.assertEqual(f.read().replace(b"\r\n", b"\n"), b'{\n   "Version" : "2.0"\n}\n')
        self.assertEqual(sorted(os.listdir(os.path.join(self.folder, "client"))), ["readme.txt", "sample_game.exe"])
        self.assertFalse(any(name.endswith(".zip") for name in os.listdir(self.folder)), "the package was kept")

    def test_each_value_reaches_the_game_as_one_argument(self):
        server = self.serve()
        exe_args = '-name "Big Map" C:\\games\\'
        self.lay_out(server, ExeCmdArgs=exe_args)
        code, output = self.finish(self.start_launcher('username=al"i ce\\\\&token=a"b\\'))
        self.assertEqual(code, 0, output)
        record = self.game_record()
        self.assertIsNotNone(record, output)
        self.assertEqual(record["argv"][1:], ["-AppUniqueId", 'al"i ce\\\\', "-PCORVO",
                                              'token=a"b\\&username=al"i ce\\\\', exe_args])


class Screenshot(WindowsLauncherTest):
    def test_download_shows_background_bar_and_white_status_text(self):
        server = self.serve("--package-pad", "3000000", "--slow-package", "600000")
        self.lay_out(server)
        launcher = self.start_launcher()
        self.assertTrue(wait_until(lambda: any(p.startswith("/package") for p, _ in server.requests()), 30))
        time.sleep(1.5)
        width, shot = self.client_shot()
        if os.environ.get("E2E_SHOT"):
            with open(os.environ["E2E_SHOT"], "wb") as f:
                f.write(shot)
        code, output = self.finish(launcher, timeout=60)
        self.assertEqual(code, 0, output)
        self.assertEqual(width, 1100, "the client area is not the configured size (is Wine's desktop smaller?)")

        self.assert_download_frame(shot)


class Closing(WindowsLauncherTest):
    def test_closing_the_window_during_a_stalled_download_cancels_it(self):
        server = self.serve("--stall-package", "--stall-seconds", "60")
        self.lay_out(server)
        launcher = self.start_launcher()
        self.assertTrue(wait_until(lambda: any(p.startswith("/package") for p, _ in server.requests()), 30))
        time.sleep(0.5)
        closed_at = time.monotonic()
        self.screen.close(self.main_window())
        # The download fails as cancelled: its message box appears and is dismissed.
        self.dismiss_message_box()
        code, output = self.finish(launcher, timeout=30)
        self.assertEqual(code, 0, output)
        self.assertLess(time.monotonic() - closed_at, 15, "the stalled download was not cancelled promptly")
        self.assertIsNone(self.game_record())
        self.assertEqual(server.requests()[-1:],
                         [("/report", self.report_query(REASONS["ReportDownloadLatestVersionFail"]))])


if __name__ == "__main__":
    E2ECase.bin_dir = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
