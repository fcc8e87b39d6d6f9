#!/usr/bin/python3
"""End-to-end runs of the Windows launcher under Wine, against the development server on
loopback, in a real window under the X display. Wine's browser control loads no page here,
so each run uses launcher_page_driver.exe: the launcher as launcher.exe runs it, plus the
page's window.external.fnEnterGame call with the arguments of LAUNCHER_TEST_PAGE_ARGUMENTS
(see page_call_driver.cpp). Each case looks at what the player and the servers see:
requests, files on disk, the exact command line the sample game records, message boxes
and pixels on the screen. Scenarios plays the table of tests/app/e2e/scenarios.py and
Incremental the incremental update cases of tests/app/e2e/incremental_play.py.

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
from launcher_e2e import E2ECase, pixels, wait_until  # noqa: E402
from incremental_play import (ADDED, CHANGED, REMOVED, SETTINGS as INCREMENTAL, IncrementalPlay,  # noqa: E402
                              is_tail, read, tree)
import make_launcher_folder  # noqa: E402
from scenarios import OTHER_ORIGIN, PACKAGE, SCENARIOS, Scenario, ScenarioPlay, plays  # noqa: E402

DRIVER = "launcher_page_driver.exe"
# Separates the page's arguments in LAUNCHER_TEST_PAGE_ARGUMENTS; NO_ARGUMENT is a call without one.
ARGUMENT_SEPARATOR = "\x1f"
NO_ARGUMENT = "(none)"
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
        return self.launch(dict(os.environ, LAUNCHER_TEST_PAGE_ARGUMENTS=page_argument))

    def launch(self, environment):
        """The driver's output goes to a file beside the case's folder, not to a pipe: a Wine
        service that the launcher's first window or OLE call starts inherits its output and
        would hold a pipe open long after the launcher has ended."""
        self.driver_output = self.work + "-output.txt"
        with open(self.driver_output, "wb") as output:
            process = subprocess.Popen([WINE_RUN, DRIVER], cwd=self.folder, env=environment, stdout=output,
                                       stderr=subprocess.STDOUT)
        self.processes.append(process)
        return process

    def output(self):
        with open(self.driver_output, encoding="utf-8", errors="replace") as f:
            return f.read()

    def finish(self, process, timeout=60):
        process.wait(timeout)
        return process.returncode, self.output()

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

    def status_pixels(self):
        """RGB bytes of the status label's area, or nothing without the launcher's window."""
        window = self.main_window()
        if window is None:
            return b""
        position = window.translate_coords(self.screen.root, 0, 0)
        return self.screen.screenshot(-position.x + 300, -position.y + 593, 500, 37)

    @staticmethod
    def window_destroyed_at(output):
        """When the launcher destroyed its window, in the sample game's clock, as the page
        driver saw it: Wine withdraws the X window only a while later."""
        prefix = "main window destroyed at "
        return [int(line[len(prefix):]) for line in output.splitlines() if line.startswith(prefix)]

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
        destroyed = self.window_destroyed_at(output)
        self.assertEqual(len(destroyed), 1, output)
        self.assertLessEqual(destroyed[0], record["startedMs"], "the window was still there when the game started")

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
        # The download fails as cancelled: its message box comes once the worker has been
        # stopped and joined, so its arrival times the cancel (Wine's own slow teardown of
        # shown windows afterwards does not count).
        self.assertIsNotNone(wait_until(self.message_box, 30), "no message box appeared")
        self.assertLess(time.monotonic() - closed_at, 15, "the stalled download was not cancelled promptly")
        self.dismiss_message_box()
        code, output = self.finish(launcher, timeout=30)
        self.assertEqual(code, 0, output)
        self.assertIsNone(self.game_record())
        self.assertEqual(server.requests()[-1:],
                         [("/report", self.report_query(REASONS["ReportDownloadLatestVersionFail"]))])


@plays(SCENARIOS)
class Scenarios(ScenarioPlay, WindowsLauncherTest):
    def lay_out_scenario(self, server, row, settings, unset, version_file):
        make_launcher_folder.make_launcher_folder(self.folder, server.port, os.path.join(self.bin_dir, DRIVER),
                                                  settings=settings, unset=unset, version_file=version_file,
                                                  pictures=self.pictures)

    def start_scenario(self, row):
        # Wine writes the launcher's debugger output (its diagnostics) to standard error.
        arguments = ARGUMENT_SEPARATOR.join(row.args) if row.args else NO_ARGUMENT
        environment = dict(os.environ, WINEDEBUG="-all,+debugstr", LAUNCHER_TEST_PAGE_ARGUMENTS=arguments)
        if row.page_at:
            environment["LAUNCHER_TEST_PAGE_LOCATION"] = self.expand(row.page_at, self.servers[-1])
        return self.launch(environment)

    def finish_scenario(self, process):
        return self.finish(process)

    def close_message_box(self):
        self.dismiss_message_box()

    def message_texts(self, output):
        prefix = "message box: "
        return [line[len(prefix):] for line in output.splitlines() if line.startswith(prefix)]

    def wait_for_page_call(self):
        self.assertTrue(wait_until(lambda: "page call returned" in self.output(), 60), "the page did not call")

    def close_main_window(self):
        self.screen.close(self.main_window())

    def native_path(self, path):
        return "Z:" + path.replace("/", "\\")

    def diagnostics(self, output):
        return [line for line in output.splitlines() if ":debugstr:" in line]

    # The page calls from another origin: Wine's control, which loads no page, still
    # reports the address it was sent to as its location.
    def test_call_from_another_origin_is_ignored(self):
        output = self.play(Scenario("another_origin", page_at=OTHER_ORIGIN + "/"))
        page = f"http://127.0.0.2:{self.servers[-1].port}/"
        self.assertIn(f"page location: {page}\n", output)
        diagnostics = self.diagnostics(output)
        self.assertEqual(len(diagnostics), 1, output)
        self.assertIn(page, diagnostics[0])

    def test_call_from_a_listed_origin_enters(self):
        output = self.play(Scenario(
            "listed_origin", page_at=OTHER_ORIGIN + "/", settings={"TrustedOrigins": [OTHER_ORIGIN]},
            requests=("/version", PACKAGE), reports=("ReportReasonStartLoading", "ReportReasonStopLoading"),
            game=("alice", "token=x&username=alice"), old_client_kept=False))
        self.assertIn(f"page location: http://127.0.0.2:{self.servers[-1].port}/\n", output)


class Incremental(IncrementalPlay, WindowsLauncherTest):
    PAGE_ARGUMENT = "username=alice&token=x"
    HELD_TEXT = "Close the game to update it"
    names_ignore_case = True

    def message_box_shown(self):
        return self.message_box() is not None

    def close_message_box(self):
        self.dismiss_message_box()

    def crash_after_first_step(self, server):
        return self.finish(self.launch(dict(os.environ, LAUNCHER_TEST_PAGE_ARGUMENTS=self.PAGE_ARGUMENT,
                                            LAUNCHER_TEST_CRASH_AFTER_STEPS="1")))

    def status_text_is_red(self):
        return sum(1 for r, g, b in pixels(self.status_pixels()) if r > 200 and g < 60 and b < 60) > 50

    # A running game holds its files open without sharing them: the update fails before
    # anything moves, keeps what it fetched, and once the game has ended the next launch
    # completes it.
    def test_a_held_changed_file_stops_the_update_until_it_is_released(self):
        self.held_file_stops_the_update(CHANGED)

    def test_a_held_removed_file_stops_the_update_until_it_is_released(self):
        self.held_file_stops_the_update(REMOVED)

    # A virus scanner that reads a client file holds it for a moment: the whole-package
    # install waits until it lets go, where it once failed at once.
    def test_a_file_held_for_a_moment_is_waited_for(self):
        server = self.install_v1()
        self.lay_out(server, EmptyBaseDirFail=self.HELD_TEXT)
        self.publish(server, self.v2, "2.1")
        os.remove(os.path.join(self.folder, "game-args.json"))
        held = "Z:" + os.path.join(self.client_folder(), CHANGED).replace("/", "\\")
        release = self.work + "-release"
        launcher = self.launch(dict(os.environ, LAUNCHER_TEST_PAGE_ARGUMENTS=self.PAGE_ARGUMENT,
                                    LAUNCHER_TEST_HOLD_FILE=held,
                                    LAUNCHER_TEST_RELEASE_FILE="Z:" + release.replace("/", "\\")))
        # Emptying the client folder comes right after the version answer.
        self.assertTrue(wait_until(lambda: ("/version", "") in server.requests(), 60), "no version request")
        time.sleep(1)
        with open(release, "w"):
            pass
        wait_until(lambda: launcher.poll() is not None or self.message_box() is not None, 120)
        failed = self.message_box() is not None
        if failed:
            self.dismiss_message_box()
        code, output = self.finish(launcher)
        self.assertFalse(failed, "the update failed on the held file: " + output)
        self.assertEqual(code, 0, output)
        self.assertIn(f"holding {held}\n", output)
        self.assertIsNotNone(self.game_record(), output)
        self.assertEqual(tree(self.client_folder()), tree(self.v2))
        self.assertIn('"2.1"', read(os.path.join(self.folder, "Version.json")).decode())

    def held_file_stops_the_update(self, name):
        server = self.install_v1()
        self.lay_out(server, EmptyBaseDirFail=self.HELD_TEXT, **INCREMENTAL)
        self.publish(server, self.v2, "2.1")
        entries = self.package_entries(server)
        server.get("/_clear")
        os.remove(os.path.join(self.folder, "game-args.json"))
        records = {record: read(os.path.join(self.folder, record)) for record in ("Version.json", "ClientFiles.json")}
        held = "Z:" + os.path.join(self.client_folder(), name).replace("/", "\\")
        launcher = self.launch(dict(os.environ, LAUNCHER_TEST_PAGE_ARGUMENTS=self.PAGE_ARGUMENT,
                                    LAUNCHER_TEST_HOLD_FILE=held))
        self.assertIsNotNone(wait_until(self.message_box, 60), "no message box appeared")
        self.assertTrue(wait_until(self.status_text_is_red, 10), "the status text is not red")
        self.dismiss_message_box()
        code, output = self.finish(launcher)
        self.assertEqual(code, 0, output)
        self.assertIn(f"holding {held}\n", output)
        self.assertIn(f"message box: {self.HELD_TEXT}\n", output)
        self.assertIsNone(self.game_record(), output)
        self.assertEqual(tree(self.client_folder()), tree(self.v1), "the old client changed")
        self.assertEqual({record: read(os.path.join(self.folder, record)) for record in records}, records)
        self.assertEqual(self.fetched_entries(entries, self.package_log(server)), {CHANGED, ADDED})
        self.assertTrue(os.listdir(os.path.join(self.update_folder(), "pieces")), "the fetched pieces were not kept")

        server.get("/_clear")
        self.run_to_the_game()
        self.assert_updated_to_v2()
        self.assertEqual([e for e in self.package_log(server) if not is_tail(e)], [],
                         "a fetched range was fetched again")


if __name__ == "__main__":
    E2ECase.bin_dir = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
