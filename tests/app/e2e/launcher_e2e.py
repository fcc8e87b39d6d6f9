#!/usr/bin/python3
"""End-to-end runs of the Linux launcher: a real window under the X display, the real
WebKit login page and the development server on loopback. Each case looks at what a
player and the servers see: requests, files on disk, the game's arguments, dialogs and
pixels on the screen.

Usage: launcher_e2e.py BIN_DIR [unittest arguments]. Needs DISPLAY.
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.request
from urllib.parse import quote

from Xlib import X, display as xdisplay, protocol

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
DEVSERVER = os.path.join(ROOT, "tools", "devserver", "devserver")
sys.path.insert(0, os.path.join(ROOT, "tools", "devserver"))
import make_launcher_folder  # noqa: E402
import make_pictures  # noqa: E402

TITLE = "E2E Launcher"
SCREEN_W, SCREEN_H = 1920, 1080
REASONS = {"ReportReasonStartLoading": 11, "ReportReasonStopLoading": 12, "ReportLaunchGameFail": 13,
           "ReportReasonOSError": 14, "ReportDownloadLatestVersionFail": 15, "ReportExtractFileFail": 16}
TEXTS = {"CheckLatestVersionFail": "Version server unreachable",
         "DownloadLatestVersionFail": "Download failed", "ExtractFileFail": "Package damaged"}


def wait_until(predicate, timeout, step=0.05):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(step)
    return predicate()


class Screen:
    """The X display: windows by title, closing them as a window manager does, keys and pixels."""

    def __init__(self):
        self.display = xdisplay.Display()
        self.root = self.display.screen().root
        self.wm_protocols = self.display.intern_atom("WM_PROTOCOLS")
        self.wm_delete = self.display.intern_atom("WM_DELETE_WINDOW")
        self.window_type = self.display.intern_atom("_NET_WM_WINDOW_TYPE")
        self.type_dialog = self.display.intern_atom("_NET_WM_WINDOW_TYPE_DIALOG")

    def windows(self, title):
        """Mapped top-level windows with this title, as (window, is_dialog)."""
        found = []
        for window in self.root.query_tree().children:
            try:
                if window.get_wm_name() != title or window.get_attributes().map_state != X.IsViewable:
                    continue
                kind = window.get_full_property(self.window_type, X.AnyPropertyType)
                found.append((window, kind is not None and self.type_dialog in kind.value))
            except Exception:  # a window that vanished meanwhile
                continue
        return found

    def main_window(self, title=TITLE):
        return next((w for w, dialog in self.windows(title) if not dialog), None)

    def dialog(self, title=TITLE):
        return next((w for w, dialog in self.windows(title) if dialog), None)

    def close(self, window):
        event = protocol.event.ClientMessage(window=window, client_type=self.wm_protocols,
                                             data=(32, [self.wm_delete, X.CurrentTime, 0, 0, 0]))
        window.send_event(event)
        self.display.flush()

    def press_return_on(self, window):
        """Points at the window (focus follows the pointer without a window manager) and presses Return."""
        geometry = window.get_geometry()
        position = window.translate_coords(self.root, 0, 0)
        x, y = -position.x + geometry.width // 2, -position.y + 4
        subprocess.run(["xdotool", "mousemove", str(x), str(y), "sleep", "0.2", "key", "Return"], check=True)

    def screenshot(self, x, y, width, height):
        """RGB bytes of a screen rectangle."""
        image = self.root.get_image(x, y, width, height, X.ZPixmap, 0xFFFFFFFF)
        data = image.data
        return bytes(b for i in range(0, len(data), 4) for b in (data[i + 2], data[i + 1], data[i]))


class DevServer:
    def __init__(self, folder, *options):
        port_file = os.path.join(folder, "port")
        if os.path.exists(port_file):
            os.remove(port_file)
        self.log = open(os.path.join(folder, "devserver.log"), "w")
        self.process = subprocess.Popen([DEVSERVER, "--lifetime", "120", "--port-file", port_file, *options],
                                        stdout=self.log, stderr=subprocess.STDOUT)
        if not wait_until(lambda: os.path.exists(port_file), 10):
            raise RuntimeError("the development server did not start")
        with open(port_file) as f:
            self.port = int(f.read())
        self.base = f"http://127.0.0.1:{self.port}"

    def get(self, path):
        with urllib.request.urlopen(self.base + path, timeout=10) as response:
            return json.load(response)

    def requests(self):
        return [(e["path"], e["query"]) for e in self.get("/_log")]

    def stop(self):
        self.process.terminate()
        self.process.wait(10)
        self.log.close()


class E2ECase(unittest.TestCase):
    """One launcher folder and development server per case; the sample client and the
    pictures are made once per class."""

    bin_dir = None
    game_file = "sample_game"
    os_name = "Linux"

    @classmethod
    def setUpClass(cls):
        cls.screen = Screen()
        cls.shared = tempfile.mkdtemp(prefix="launcher-e2e-")
        cls.pictures = os.path.join(cls.shared, "pictures")
        make_pictures.write_pictures(cls.pictures)
        cls.client = os.path.join(cls.shared, "client")
        os.makedirs(cls.client)
        shutil.copy(os.path.join(cls.bin_dir, cls.game_file), cls.client)
        with open(os.path.join(cls.client, "readme.txt"), "w") as f:
            f.write("the sample client\n")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.shared, ignore_errors=True)

    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="case-", dir=self.shared)
        self.folder = os.path.join(self.work, "launcher")
        self.servers = []
        self.processes = []

    def tearDown(self):
        for process in self.processes:
            if process.poll() is None:
                process.kill()
                process.wait()
        for server in self.servers:
            server.stop()

    def serve(self, *options):
        server = DevServer(self.work, "--client", self.client, "--version", "2.0", *options)
        self.servers.append(server)
        return server

    def finish(self, process, timeout=60):
        output, _ = process.communicate(timeout=timeout)
        return process.returncode, output.decode(errors="replace")

    def game_record(self):
        path = os.path.join(self.folder, "game-args.json")
        if not wait_until(lambda: os.path.exists(path), 5):
            return None
        with open(path) as f:
            return json.load(f)

    def report_query(self, reason, device="alice"):
        return (f"platformId=7&os={self.os_name}&device={device}&version=2.0&reason={reason}"
                "&remark1=&remark2=&remark3=&remark4=")

    def picture(self, name):
        return subprocess.run(["convert", os.path.join(self.pictures, name), "-depth", "8", "rgb:-"],
                              capture_output=True, check=True).stdout

    def assert_download_frame(self, shot):
        """An RGB shot of the 1100 x 660 client area during a download shows the background,
        the bar's front image at its left end and white status text."""
        def at(px, py):
            i = (py * 1100 + px) * 3
            return tuple(shot[i:i + 3])

        background = self.picture("background.png")
        for px, py in ((10, 10), (550, 300), (1000, 100)):
            expected = at_in(background, 1100, px, py)
            self.assertTrue(all(abs(a - b) <= 2 for a, b in zip(at(px, py), expected)), (px, py, at(px, py), expected))
        front = at_in(self.picture("progress_front.png"), 500, 10, 15)
        self.assertTrue(all(abs(a - b) <= 16 for a, b in zip(at(310, 572), front)), at(310, 572))
        status = [at(px, py) for py in range(593, 630) for px in range(300, 800)]
        self.assertGreater(sum(1 for r, g, b in status if min(r, g, b) > 230), 30, "no white status text")


class LauncherTest(E2ECase):
    def lay_out(self, server, login_query="auto=alice", version_file=None, program="launcher", **settings):
        values = {"Title": TITLE, "FixedWidth": 1100, "FixedHeight": 660, "DownloadRetry": 0,
                  "DownloadRetryDelay": 0, "PlatformId": 7, **REASONS, **TEXTS, **settings}
        arguments = [self.folder, "--port", str(server.port), "--launcher", os.path.join(self.bin_dir, program),
                     "--pictures", self.pictures, "--login-query", login_query]
        for key, value in values.items():
            arguments += ["--set-json", f"{key}={json.dumps(value)}"]
        if version_file is not None:
            arguments += ["--version-file", version_file]
        subprocess.run([sys.executable, make_launcher_folder.__file__, *arguments], check=True,
                       stdout=subprocess.DEVNULL)

    def start_launcher(self, program="launcher", environment=None):
        environment = dict(os.environ, XDG_RUNTIME_DIR=self.work, **(environment or {}))
        process = subprocess.Popen(["./" + program], cwd=self.folder, env=environment,
                                   stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.processes.append(process)
        return process

    def dismiss_dialog(self):
        dialog = wait_until(self.screen.dialog, 30)
        self.assertIsNotNone(dialog, "no message box appeared")
        self.screen.press_return_on(dialog)
        self.assertTrue(wait_until(lambda: self.screen.dialog() is None, 10), "the message box stayed open")

    def client_position(self):
        return (SCREEN_W - 1100) // 2, (SCREEN_H - 660) // 2

    def status_pixels(self):
        x, y = self.client_position()
        return self.screen.screenshot(x + 300, y + 593, 500, 37)

    def red_status_text(self):
        return sum(1 for r, g, b in pixels(self.status_pixels()) if r > 200 and g < 60 and b < 60) > 50


def at_in(rgb, width, x, y):
    i = (y * width + x) * 3
    return tuple(rgb[i:i + 3])


def pixels(data):
    return [tuple(data[i:i + 3]) for i in range(0, len(data), 3)]


class FirstInstall(LauncherTest):
    def test_installs_records_the_version_and_starts_the_game(self):
        server = self.serve()
        self.lay_out(server, version_file='{"Version": "1.0", "Channel": "beta"}', ExeCmdArgs="-windowed")
        launcher = self.start_launcher()
        last_seen = [0.0]

        def window_gone():
            asked = time.time()
            if self.screen.main_window() is not None:
                last_seen[0] = asked
                return False
            return launcher.poll() is not None or os.path.exists(os.path.join(self.folder, "game-args.json"))

        self.assertTrue(wait_until(lambda: self.screen.main_window() is not None, 30), "no window appeared")
        self.assertTrue(wait_until(window_gone, 60, step=0.01), "the window never went away")
        code, output = self.finish(launcher)
        self.assertEqual(code, 0, output)

        record = self.game_record()
        self.assertIsNotNone(record, output)
        self.assertEqual(record["argv"], ["./client/sample_game", "-AppUniqueId", "alice", "-PCORVO",
                                          f"token={server.get('/_config')['token']}&username=alice", "-windowed"])
        self.assertEqual(os.path.realpath(record["cwd"]), os.path.realpath(self.folder))
        self.assertLess(last_seen[0] * 1000, record["startedMs"], "the window was still shown when the game started")

        # Reports travel on their own threads, so the start report may reach the server
        # after the package request has begun.
        requests = server.requests()
        self.assertEqual(requests[:2], [("/login", "auto=alice"), ("/version", "")])
        self.assertCountEqual(requests[2:4], [
            ("/report", self.report_query(REASONS["ReportReasonStartLoading"])),
            ("/package/client_2.0.zip", "")])
        self.assertEqual(requests[4:], [("/report", self.report_query(REASONS["ReportReasonStopLoading"]))])
        with open(os.path.join(self.folder, "Version.json"), "rb") as f:
            self.assertEqual(f.read(), b'{\n   "Channel" : "beta",\n   "Version" : "2.0"\n}\n')
        self.assertEqual(sorted(os.listdir(os.path.join(self.folder, "client"))), ["readme.txt", "sample_game"])
        self.assertFalse(any(name.endswith(".zip") for name in os.listdir(self.folder)), "the package was kept")

        # A second run finds the client current: no package request, nothing rewritten.
        before = {name: os.stat(os.path.join(self.folder, "client", name)).st_mtime_ns
                  for name in os.listdir(os.path.join(self.folder, "client"))}
        os.remove(os.path.join(self.folder, "game-args.json"))
        server.get("/_clear")
        code, output = self.finish(self.start_launcher())
        self.assertEqual(code, 0, output)
        self.assertIsNotNone(self.game_record())
        self.assertEqual([path for path, _ in server.requests()], ["/login", "/version", "/report", "/report"])
        after = {name: os.stat(os.path.join(self.folder, "client", name)).st_mtime_ns
                 for name in os.listdir(os.path.join(self.folder, "client"))}
        self.assertEqual(before, after)
        with open(os.path.join(self.folder, "Version.json"), "rb") as f:
            self.assertEqual(f.read(), b'{\n   "Channel" : "beta",\n   "Version" : "2.0"\n}\n')


class Failures(LauncherTest):
    def test_version_server_failure_shows_red_text_and_the_message_box_without_reports(self):
        server = self.serve("--version-status", "500")
        self.lay_out(server)
        launcher = self.start_launcher()
        self.assertIsNotNone(wait_until(self.screen.dialog, 30))
        self.assertTrue(wait_until(self.red_status_text, 5), "no red status text")
        self.dismiss_dialog()
        code, output = self.finish(launcher)
        self.assertEqual(code, 0, output)
        self.assertEqual([path for path, _ in server.requests()], ["/login", "/version"])
        self.assertIsNone(self.game_record())

    def test_package_not_found_is_reported_and_leaves_no_package(self):
        server = self.serve("--package-status", "404")
        self.lay_out(server)
        os.makedirs(os.path.join(self.folder, "client", "old"))
        with open(os.path.join(self.folder, "client", "old", "stale.dat"), "w") as f:
            f.write("old client")
        launcher = self.start_launcher()
        self.dismiss_dialog()
        code, output = self.finish(launcher)
        self.assertEqual(code, 0, output)
        self.assertEqual(server.requests()[-1],
                         ("/report", self.report_query(REASONS["ReportDownloadLatestVersionFail"])))
        self.assertFalse(any(name.endswith(".zip") for name in os.listdir(self.folder)))
        client = os.path.join(self.folder, "client")
        self.assertFalse(os.path.exists(client) and os.listdir(client), "the old client was left")
        self.assertIsNone(self.game_record())

    def test_damaged_package_is_reported(self):
        server = self.serve("--package-damaged")
        self.lay_out(server)
        launcher = self.start_launcher()
        self.dismiss_dialog()
        code, output = self.finish(launcher)
        self.assertEqual(code, 0, output)
        self.assertEqual(server.requests()[-1],
                         ("/report", self.report_query(REASONS["ReportExtractFileFail"])))
        self.assertFalse(any(name.endswith(".zip") for name in os.listdir(self.folder)))
        self.assertIsNone(self.game_record())


    def test_version_answer_not_of_our_shape_fails_the_check_like_a_failed_transfer(self):
        for body in ("invalid", "notobject", "wrongtypes"):
            with self.subTest(body=body):
                server = self.serve("--version-body", body)
                self.lay_out(server)
                launcher = self.start_launcher()
                self.assertIsNotNone(wait_until(self.screen.dialog, 30), "no message box")
                self.assertTrue(wait_until(self.red_status_text, 5), "no red status text")
                self.dismiss_dialog()
                code, output = self.finish(launcher)
                self.assertEqual(code, 0, output)
                self.assertEqual([path for path, _ in server.requests()], ["/login", "/version"])
                self.assertFalse(os.path.exists(os.path.join(self.folder, "client")))
                self.assertIsNone(self.game_record())
                server.stop()
                self.servers.remove(server)
                shutil.rmtree(self.folder)

    def test_the_log_names_the_refusing_check_and_holds_no_token_or_user_name(self):
        # Any real key will do: the development server's answer is not signed at all.
        release_key = ("MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAEC6bTvxLzuNXjneh37S2VBpnfko1Xc3P1RZvnrozldSDmjTHz+0xSC47r"
                       "V/w72T++tgbRDt7RwlYZJpO09tXaLw==")
        cases = [
            ("unsigned answer", (), {"ReleasePublicKey": release_key},
             ["version answer refused: the release signature check refused it", "ReleasePublicKey set"]),
            ("wrong package hash", ("--package-sha256", "0" * 64), {},
             ["client_2.0.zip refused: its SHA-256 does not match", "/package/client_2.0.zip: status 200"]),
        ]
        for name, options, settings, expected in cases:
            with self.subTest(case=name):
                server = self.serve("--token", "tok-e2e-5ecret", *options)
                self.lay_out(server, login_query="auto=zed-the-player", **settings)
                launcher = self.start_launcher()
                self.dismiss_dialog()
                code, output = self.finish(launcher)
                self.assertEqual(code, 0, output)
                with open(os.path.join(self.folder, "launcher.log"), encoding="utf-8") as f:
                    log = f.read()
                for text in expected + ["launcher start: build ", f"request {server.base}/version: status 200",
                                        "failure shown: "]:
                    self.assertIn(text, log)
                for secret in ("tok-e2e-5ecret", "zed-the-player", "?"):
                    self.assertNotIn(secret, log)
                self.assertIsNone(self.game_record())
                server.stop()
                self.servers.remove(server)
                shutil.rmtree(self.folder)


class Bridge(LauncherTest):
    def devices(self, server):
        return [dict(kv.split("=", 1) for kv in query.split("&"))["device"]
                for path, query in server.requests() if path == "/report"]

    def test_method_name_in_any_case_and_the_last_argument(self):
        for query, device in (("method=FNENTERGAME&arg=username%3Dbob", "bob"),
                              ("method=fnentergame&call=%5B%22x%22%2C%22username%3Dcarol%22%5D", "carol")):
            with self.subTest(query=query):
                server = self.serve()
                self.lay_out(server, login_query=query)
                code, output = self.finish(self.start_launcher())
                self.assertEqual(code, 0, output)
                self.assertEqual(self.devices(server), [device, device])
                self.assertEqual(self.game_record()["argv"][2], device)
                server.stop()
                self.servers.remove(server)
                shutil.rmtree(self.folder)

    def test_a_number_is_handed_over_as_its_text(self):
        # "12345" holds no key=value pair: the window closes with no request at all.
        server = self.serve()
        self.lay_out(server, login_query="call=%5B12345%5D")
        code, output = self.finish(self.start_launcher())
        self.assertEqual(code, 0, output)
        self.assertEqual([path for path, _ in server.requests()], ["/login"])

    def test_no_argument_does_nothing(self):
        server = self.serve()
        self.lay_out(server, login_query="call=%5B%5D")
        launcher = self.start_launcher()
        self.assertTrue(wait_until(lambda: server.requests(), 30))
        time.sleep(2)
        self.assertIsNone(launcher.poll())
        self.assertEqual([path for path, _ in server.requests()], ["/login"])
        self.screen.close(self.screen.main_window())
        self.assertEqual(self.finish(launcher)[0], 0)

    def test_only_the_login_pages_origin_or_a_listed_one_may_enter(self):
        for listed in (False, True):
            with self.subTest(listed=listed):
                server = self.serve()
                other = f"http://localhost:{server.port}"
                # The login page moves on to another origin, whose page then enters.
                settings = {"TrustedOrigins": [other + "/"]} if listed else {}
                self.lay_out(server, login_query="next=" + quote(f"{other}/login?auto=alice", safe=""), **settings)
                launcher = self.start_launcher()
                if listed:
                    code, output = self.finish(launcher)
                    self.assertEqual(code, 0, output)
                    self.assertEqual(self.devices(server), ["alice", "alice"])
                    self.assertIsNotNone(self.game_record())
                else:
                    self.assertTrue(wait_until(lambda: [p for p, _ in server.requests()].count("/login") == 2, 30))
                    time.sleep(2)
                    self.assertIsNone(launcher.poll(), "the launcher went on")
                    self.assertEqual([path for path, _ in server.requests()], ["/login", "/login"])
                    self.screen.close(self.screen.main_window())
                    code, output = self.finish(launcher)
                    self.assertEqual(code, 0, output)
                    self.assertIn("fnEnterGame ignored", output)
                    self.assertIsNone(self.game_record())
                server.stop()
                self.servers.remove(server)
                shutil.rmtree(self.folder)

    def test_the_player_types_a_name_into_the_page(self):
        server = self.serve()
        self.lay_out(server, login_query="")
        launcher = self.start_launcher()
        window = wait_until(self.screen.main_window, 30)
        self.assertTrue(wait_until(lambda: server.requests(), 30))
        time.sleep(1.0)
        position = window.translate_coords(self.screen.root, 0, 0)
        subprocess.run(["xdotool", "mousemove", str(-position.x + 40), str(-position.y + 40), "sleep", "0.2",
                        "type", "--delay", "30", "dave"], check=True)
        subprocess.run(["xdotool", "key", "Return"], check=True)
        code, output = self.finish(launcher)
        self.assertEqual(code, 0, output)
        self.assertEqual(self.devices(server), ["dave", "dave"])


class Closing(LauncherTest):
    def test_closing_the_window_during_a_slow_download_cancels_it(self):
        server = self.serve("--stall-package", "--stall-seconds", "60")
        self.lay_out(server)
        launcher = self.start_launcher()
        self.assertTrue(wait_until(lambda: any(p.startswith("/package") for p, _ in server.requests()), 30))
        time.sleep(0.5)
        closed_at = time.monotonic()
        self.screen.close(self.screen.main_window())
        # The download fails as cancelled: its message box appears and is dismissed.
        self.dismiss_dialog()
        code, output = self.finish(launcher, timeout=30)
        self.assertEqual(code, 0, output)
        self.assertLess(time.monotonic() - closed_at, 15, "the stalled download was not cancelled promptly")
        self.assertIsNone(self.game_record())

    def test_a_close_as_the_version_check_ends_stops_the_launch(self):
        # The seam closes the window in the same loop step as the answer arrives.
        server = self.serve()
        program = "launcher_stage_end_closer"
        self.lay_out(server, version_file='{"Version": "1.0"}', program=program)
        os.makedirs(os.path.join(self.folder, "client"))
        with open(os.path.join(self.folder, "client", "saved.dat"), "w") as f:
            f.write("the player's file\n")
        code, output = self.finish(self.start_launcher(program))
        self.assertEqual(code, 0, output)
        self.assertEqual([path for path, _ in server.requests()], ["/login", "/version"])
        self.assertTrue(os.path.exists(os.path.join(self.folder, "client", "saved.dat")), "the client was emptied")
        self.assertIsNone(self.game_record())

    def test_a_second_launcher_exits_at_once(self):
        server = self.serve()
        self.lay_out(server, login_query="")
        first = self.start_launcher()
        self.assertTrue(wait_until(lambda: self.screen.main_window() is not None, 30))
        self.assertTrue(wait_until(lambda: server.requests(), 30), "the login page was not requested")
        second = self.start_launcher()
        code, _ = self.finish(second, timeout=10)
        self.assertEqual(code, 0)
        self.assertEqual(len([w for w, dialog in self.screen.windows(TITLE) if not dialog]), 1)
        self.assertIsNone(first.poll(), "the first launcher was disturbed")
        self.screen.close(self.screen.main_window())
        code, output = self.finish(first, timeout=30)
        self.assertEqual(code, 0, output)
        self.assertEqual([path for path, _ in server.requests()], ["/login"])


def recorded_spans(part):
    """The spans of the body that the record beside a part says it holds, and the body's
    size; ([], 0) while there is no record of segments."""
    try:
        with open(part + ".json", encoding="utf-8") as f:
            record = json.load(f)
    except (OSError, ValueError):
        return [], 0
    return record.get("Spans", []), record.get("Size", 0)


def missing_spans(spans, size):
    missing, start = [], 0
    for first, end in spans:
        if first > start:
            missing.append((start, first))
        start = end
    return missing + ([(start, size)] if start < size else [])


class Resume(LauncherTest):
    def test_a_part_left_by_a_killed_launcher_is_resumed_by_the_next_run(self):
        # Large enough to come as several ranges at once: the part's record lists the
        # spans it holds, and the next run asks for the others only.
        server = self.serve("--package-pad", "3000000", "--slow-package", "600000")
        self.lay_out(server)
        # What an interrupted download of an older version left behind.
        stale = os.path.join(self.folder, "client_1.0.zip.part")
        with open(stale, "wb") as f:
            f.write(b"an older version")
        part = os.path.join(self.folder, "client_2.0.zip.part")
        launcher = self.start_launcher()

        def held():
            return sum(end - first for first, end in recorded_spans(part)[0])

        self.assertTrue(wait_until(lambda: held() > 600000, 30), "no part grew")
        launcher.kill()
        launcher.wait()
        spans, size = recorded_spans(part)
        kept = held()
        self.assertFalse(os.path.exists(stale), "the older version's part was kept")

        config = server.get("/_config?slow-package=0")
        self.assertEqual(size, config["packageSize"])
        server.get("/_clear")
        code, output = self.finish(self.start_launcher())
        self.assertEqual(code, 0, output)
        packages = [e for e in server.get("/_log") if e["path"].startswith("/package")]
        missing = missing_spans(spans, size)
        for package in packages:
            first, last = (int(v) for v in package["range"][len("bytes="):].split("-"))
            self.assertTrue(any(start <= first and last < end for start, end in missing), package["range"])
            self.assertEqual(package["ifRange"], config["packageEtag"])
        self.assertEqual(sum(package["sent"] for package in packages), config["packageSize"] - kept)
        self.assertIsNotNone(self.game_record())
        self.assertEqual(sorted(os.listdir(os.path.join(self.folder, "client"))),
                         ["pad.bin", "readme.txt", "sample_game"])
        self.assertFalse(any(".zip" in name for name in os.listdir(self.folder)), "a package or part was kept")


class Screenshot(LauncherTest):
    def test_download_shows_background_bar_and_white_status_text(self):
        server = self.serve("--package-pad", "3000000", "--slow-package", "600000")
        self.lay_out(server)
        launcher = self.start_launcher()
        self.assertTrue(wait_until(lambda: any(p.startswith("/package") for p, _ in server.requests()), 30))
        time.sleep(1.5)
        x, y = self.client_position()
        shot = self.screen.screenshot(x, y, 1100, 660)
        if os.environ.get("E2E_SHOT"):
            with open(os.environ["E2E_SHOT"], "wb") as f:
                f.write(shot)
        code, output = self.finish(launcher, timeout=60)
        self.assertEqual(code, 0, output)
        self.assert_download_frame(shot)

    def test_a_page_that_loads_during_the_launch_stays_hidden(self):
        # The page enters, then goes on to load another page while the package downloads.
        server = self.serve("--package-pad", "3000000", "--slow-package", "600000")
        self.lay_out(server, login_query="auto=alice&next=" + quote(f"{server.base}/login", safe=""))
        launcher = self.start_launcher()
        self.assertTrue(wait_until(lambda: any(p.startswith("/package") for p, _ in server.requests()), 30))
        self.assertTrue(wait_until(lambda: [p for p, _ in server.requests()].count("/login") == 2, 10),
                        "the page did not load again")
        time.sleep(1.0)
        x, y = self.client_position()
        shot = self.screen.screenshot(x, y, 1100, 660)
        code, output = self.finish(launcher, timeout=60)
        self.assertEqual(code, 0, output)
        self.assert_download_frame(shot)


if __name__ == "__main__":
    E2ECase.bin_dir = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
