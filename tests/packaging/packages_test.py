#!/usr/bin/python3
"""The launcher's own packages as a studio and a player get them. scripts/package
builds them; the Debian package is installed with apt-get, its launcher runs the whole
job under the X display against the development server (started from its menu entry
as a player without write access to /opt, and copied into a studio's launcher folder),
and the package is removed again. The Windows zip must hold a complete launcher folder
whose Setting.json names every key of the README's configuration table.

Usage: packages_test.py [unittest arguments]. Installs into this machine, so it runs as
root only and skips otherwise. Uses DISPLAY, or an Xvfb of its own without one. The
last line is "packaging: N passed, M failed".
"""

import configparser
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import zipfile
from pathlib import Path
from urllib.parse import parse_qs

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests" / "app" / "e2e"))
sys.path.insert(0, str(ROOT / "tools" / "devserver"))
import launcher_e2e  # noqa: E402
import make_launcher_folder  # noqa: E402

PACKAGE = "launcher"
INSTALL_DIR = Path("/opt/launcher")
CONFFILE = Path("/etc/launcher/Setting.json")
PICTURE_SIZES = {"background.png": (1100, 660), "progress_back.png": (500, 30), "progress_front.png": (500, 30)}
# What every Windows installation has: the executables may import these and no others
# unless the zip ships them.
WINDOWS_SYSTEM_DLLS = {
    "advapi32.dll", "bcrypt.dll", "comctl32.dll", "comdlg32.dll", "crypt32.dll", "gdi32.dll", "gdiplus.dll",
    "imm32.dll", "iphlpapi.dll", "kernel32.dll", "msvcrt.dll", "normaliz.dll", "ole32.dll", "oleaut32.dll",
    "secur32.dll", "shell32.dll", "shlwapi.dll", "ucrtbase.dll", "urlmon.dll", "user32.dll", "userenv.dll",
    "uxtheme.dll", "version.dll", "winhttp.dll", "wininet.dll", "winmm.dll", "wldap32.dll", "ws2_32.dll",
}
PLAYER_UID = PLAYER_GID = 65534  # nobody: a player who cannot write below /opt
TITLE = "Packaged Launcher"
# Written by main() before the tests run: the packages scripts/package made.
PACKAGES = {}


def readme_setting_keys():
    """The keys named in the first column of the README's configuration table."""
    text = (ROOT / "README.md").read_text(encoding="utf-8")
    table = text.split("## Configuration", 1)[1].split("\n## ", 1)[0]
    keys = []
    for line in table.splitlines():
        if line.startswith("| `"):
            keys += re.findall(r"`([A-Za-z0-9]+)`", line.split("|")[1])
    return keys


def strip_comments(text):
    """JSON text without // and /* */ comments (outside strings), as our reader accepts it."""
    pattern = r'("(?:\\.|[^"\\])*")|//[^\n]*|/\*.*?\*/'
    return re.sub(pattern, lambda m: m.group(1) or "", text, flags=re.S)


def with_values(text, **values):
    """Setting.json text with these keys' values replaced in place; comments stay."""
    for key, value in values.items():
        text, count = re.subn(rf'^(\s*"{key}"\s*:\s*)(.*?)(,?)[ \t]*$',
                              lambda m: m.group(1) + json.dumps(value) + m.group(3), text, flags=re.M)
        assert count == 1, key
    return text


def png_size(data):
    assert data[:8] == b"\x89PNG\r\n\x1a\n" and data[12:16] == b"IHDR", "not a PNG"
    return struct.unpack(">II", data[16:24])


def run(*command, **options):
    return subprocess.run(command, capture_output=True, text=True, **options)


class WindowsZip(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.zip = zipfile.ZipFile(PACKAGES["zip"])
        cls.addClassCleanup(cls.zip.close)
        cls.top = Path(PACKAGES["zip"]).stem
        cls.setting_text = cls.zip.read(f"{cls.top}/Setting.json").decode("utf-8")

    def test_holds_one_ready_launcher_folder(self):
        names = {"launcher.exe", "unpack.exe", "Setting.json", *PICTURE_SIZES}
        self.assertEqual(sorted(self.zip.namelist()), sorted(f"{self.top}/{name}" for name in names))
        for name, size in PICTURE_SIZES.items():
            self.assertEqual(png_size(self.zip.read(f"{self.top}/{name}")), size, name)
        self.assertIsNone(self.zip.testzip())

    def test_setting_json_explains_and_holds_every_key(self):
        settings = json.loads(strip_comments(self.setting_text))
        missing = [key for key in readme_setting_keys() if key not in settings]
        self.assertEqual(missing, [], "keys of the README's table missing from the example")
        self.assertTrue(settings["ExeName"].endswith(".exe"))
        for key in ("Background", "ProgressBack", "ProgressFront"):
            self.assertIn(f"{self.top}/{settings[key]}", self.zip.namelist(), key)
        # Each key, or the group of keys it stands in, comes after a comment saying what it means.
        lines = [line.strip() for line in self.setting_text.splitlines() if line.strip()]
        for i, line in enumerate(lines):
            if line.startswith('"') and i > 0:
                previous = lines[i - 1]
                self.assertTrue(previous.startswith("//") or previous.startswith('"'), line)

    def test_executables_need_no_dll_the_zip_lacks(self):
        with tempfile.TemporaryDirectory() as folder:
            self.zip.extractall(folder)
            shipped = {name.lower() for name in os.listdir(Path(folder, self.top))}
            for program in ("launcher.exe", "unpack.exe"):
                result = run("x86_64-w64-mingw32-objdump", "-p", str(Path(folder, self.top, program)))
                self.assertEqual(result.returncode, 0, result.stderr)
                imports = {name.lower() for name in re.findall(r"DLL Name: (\S+)", result.stdout)}
                self.assertIn("kernel32.dll", imports, program)
                self.assertEqual(imports - WINDOWS_SYSTEM_DLLS - shipped, set(), program)


class DebianPackage(unittest.TestCase):
    """Installed once for the class; removed again at its end, which checks what is left."""

    @classmethod
    def setUpClass(cls):
        deb = Path(PACKAGES["deb"])
        cls.apt("install", f"./{deb.relative_to(ROOT)}")
        cls.addClassCleanup(cls.remove_and_check)
        cls.shipped_settings = CONFFILE.read_text(encoding="utf-8")
        cls.work = Path(tempfile.mkdtemp(prefix="launcher-package-"))
        cls.addClassCleanup(shutil.rmtree, cls.work, ignore_errors=True)
        cls.work.chmod(0o755)
        cls.client = cls.work / "client"
        cls.client.mkdir()
        shutil.copy(ROOT / "build" / "linux" / "bin" / "sample_game", cls.client)
        (cls.client / "readme.txt").write_text("the sample client\n")
        cls.screen = launcher_e2e.Screen()
        cls.addClassCleanup(cls.screen.display.close)

    @classmethod
    def remove_and_check(cls):
        problems = []
        try:
            cls.apt("remove", PACKAGE)
            left = [str(p) for p in (INSTALL_DIR / "launcher", Path("/usr/bin/launcher"),
                                     Path("/usr/bin/launcher-unpack"), Path("/usr/share/applications/launcher.desktop"))
                    if os.path.lexists(p)]
            if left:
                problems.append(f"apt-get remove left {left}")
            # A removed package keeps its configuration until it is purged.
            if not CONFFILE.exists():
                problems.append(f"apt-get remove deleted the conffile {CONFFILE}")
        finally:
            cls.apt("purge", PACKAGE)
        if CONFFILE.parent.exists() or INSTALL_DIR.exists():
            problems.append("apt-get purge left /etc/launcher or /opt/launcher")
        if problems:
            raise AssertionError("; ".join(problems))

    @staticmethod
    def apt(action, *arguments):
        environment = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
        result = run("apt-get", action, "-y", "-q", *arguments, cwd=ROOT, env=environment)
        if result.returncode != 0:
            raise AssertionError(f"apt-get {action} failed:\n{result.stdout}\n{result.stderr}")

    def dpkg_field(self, field):
        return run("dpkg-query", "-W", f"-f=${{{field}}}", PACKAGE).stdout

    def serve(self, folder):
        server = launcher_e2e.DevServer(str(folder), "--client", str(self.client), "--version", "2.0")
        self.addCleanup(server.stop)
        return server

    def launch(self, command, cwd, **options):
        """Runs the launcher to its end; the game it starts writes to the same output."""
        with subprocess.Popen(command, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              **options) as process:
            try:
                self.assertTrue(launcher_e2e.wait_until(lambda: self.screen.main_window(TITLE) is not None, 30),
                                "no launcher window appeared")
                output, _ = process.communicate(timeout=60)
            finally:
                if process.poll() is None:
                    process.kill()
        return process.returncode, output.decode(errors="replace")

    def assert_requests_of_an_install_and_start(self, server):
        """Checks the requests of a launch that installed and started the game; returns the report reasons."""
        requests = server.requests()
        self.assertEqual([path for path, _ in requests[:2]], ["/login", "/version"])
        self.assertCountEqual([path for path, _ in requests[2:]], ["/report", "/package/client_2.0.zip", "/report"])
        return [parse_qs(query)["reason"][0] for path, query in requests if path == "/report"]

    def test_depends_on_the_libraries_the_binaries_link(self):
        depends = {item.split()[0] for item in self.dpkg_field("Depends").split(", ")}
        for library in ("libc6", "libgtk-3-0", "libwebkit2gtk-4.1-0", "libcurl4", "libjsoncpp25", "zlib1g",
                        "libssl3"):
            self.assertIn(library, depends)
        for program in ("launcher", "unpack"):
            result = run("ldd", str(INSTALL_DIR / program))
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertNotIn("not found", result.stdout, program)

    def test_installs_programs_menu_entry_icons_and_configuration(self):
        self.assertEqual(Path("/usr/bin/launcher").resolve(), INSTALL_DIR / "launcher")
        self.assertEqual(Path("/usr/bin/launcher-unpack").resolve(), INSTALL_DIR / "unpack")
        self.assertEqual((INSTALL_DIR / "Setting.json").resolve(), CONFFILE)
        self.assertIn(str(CONFFILE), self.dpkg_field("Conffiles"))
        settings = json.loads(strip_comments(self.shipped_settings))
        for key in ("Background", "ProgressBack", "ProgressFront"):
            self.assertEqual(png_size((INSTALL_DIR / settings[key]).read_bytes()),
                             PICTURE_SIZES[settings[key]], key)

        entry = configparser.ConfigParser(interpolation=None)
        entry.read("/usr/share/applications/launcher.desktop")
        desktop = entry["Desktop Entry"]
        self.assertEqual(desktop["Type"], "Application")
        self.assertTrue(os.access(desktop["Exec"].split()[0], os.X_OK), desktop["Exec"])
        icons = sorted(Path("/usr/share/icons/hicolor").glob(f"*/apps/{desktop['Icon']}.png"))
        self.assertNotEqual(icons, [])
        for icon in icons:
            width, height = png_size(icon.read_bytes())
            self.assertEqual(icon.parts[-3], f"{width}x{height}")

        # The unpack tool on the path unpacks a package.
        archive = self.work / "tool.zip"
        with zipfile.ZipFile(archive, "w", zipfile.ZIP_DEFLATED) as z:
            z.writestr("data/text.txt", "packed text\n" * 100)
        result = run("launcher-unpack", str(archive), str(self.work / "unpacked"))
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertEqual((self.work / "unpacked" / "data" / "text.txt").read_text(), "packed text\n" * 100)

    def test_menu_entry_installs_the_game_below_the_players_data_folder_and_starts_it(self):
        case = self.work / "player"
        home, runtime = case / "home", case / "run"
        # A new account: the launcher makes the player's data folder itself.
        for folder in (case, home, runtime):
            folder.mkdir(mode=0o700)
            os.chown(folder, PLAYER_UID, PLAYER_GID)
        case.chmod(0o755)
        server = self.serve(case)
        self.addCleanup(CONFFILE.write_text, self.shipped_settings, encoding="utf-8")
        CONFFILE.write_text(with_values(self.shipped_settings, Title=TITLE, ExeName="sample_game",
                                        LoginUrl=f"{server.base}/login?auto=alice", ServerUrl=f"{server.base}/version",
                                        DownloadRetry=0, DownloadRetryDelay=0), encoding="utf-8")
        shipped = json.loads(strip_comments(self.shipped_settings))
        before = sorted(os.listdir(INSTALL_DIR))
        entry = configparser.ConfigParser(interpolation=None)
        entry.read("/usr/share/applications/launcher.desktop")
        environment = {"PATH": os.environ["PATH"], "DISPLAY": os.environ["DISPLAY"], "HOME": str(home),
                       "XDG_RUNTIME_DIR": str(runtime), "no_proxy": "127.0.0.1,localhost,::1"}

        code, output = self.launch(entry["Desktop Entry"]["Exec"].split(), cwd=home, env=environment,
                                   user=PLAYER_UID, group=PLAYER_GID, extra_groups=[])
        self.assertEqual(code, 0, output)
        # The game starts in the launcher's folder, where the player may not write its record.
        game_root = home / ".local" / "share" / shipped["GameDir"]
        self.assertIn(f"sample_game started in {INSTALL_DIR}", output)
        self.assertIn(f'argv[0] = "{game_root}/client/sample_game"', output)
        self.assertIn('argv[2] = "alice"', output)
        self.assertEqual(sorted(os.listdir(game_root / "client")), ["readme.txt", "sample_game"])
        self.assertEqual(json.loads((game_root / "Version.json").read_text())["Version"], "2.0")
        self.assertEqual(sorted(os.listdir(INSTALL_DIR)), before, "the launcher wrote into its installed folder")
        self.assertCountEqual(self.assert_requests_of_an_install_and_start(server),
                              [str(shipped["ReportReasonStartLoading"]), str(shipped["ReportReasonStopLoading"])])

    def test_copied_into_a_studio_launcher_folder_it_runs_from_there(self):
        case = self.work / "studio"
        case.mkdir()
        server = self.serve(case)
        folder = case / "launcher"
        make_launcher_folder.make_launcher_folder(folder, server.port, launcher=INSTALL_DIR / "launcher",
                                                  settings={"Title": TITLE, "LoginUrl": "{base}/login?auto=alice",
                                                            "DownloadRetry": 0, "DownloadRetryDelay": 0})
        environment = dict(os.environ, XDG_RUNTIME_DIR=str(case))
        code, output = self.launch(["./launcher"], cwd=folder, env=environment)
        self.assertEqual(code, 0, output)
        record = json.loads((folder / "game-args.json").read_text())
        self.assertEqual(record["argv"][:3], ["./client/sample_game", "-AppUniqueId", "alice"])
        self.assertEqual(sorted(os.listdir(folder / "client")), ["readme.txt", "sample_game"])
        self.assert_requests_of_an_install_and_start(server)


def build_packages():
    """Runs scripts/package; fills PACKAGES from the paths it prints."""
    result = run(str(ROOT / "scripts" / "package"), cwd=ROOT)
    if result.returncode != 0:
        print(result.stdout[-4000:], result.stderr[-4000:], sep="\n")
        return False
    for line in result.stdout.splitlines():
        if line.endswith(".deb"):
            PACKAGES["deb"] = str(ROOT / line)
        elif line.endswith(".zip"):
            PACKAGES["zip"] = str(ROOT / line)
    # The stand-in game for the installed launcher to start.
    built = run("cmake", "--build", str(ROOT / "build" / "linux"), "--target", "sample_game")
    return built.returncode == 0 and len(PACKAGES) == 2


def own_display():
    """An Xvfb on a free display number, for runs outside scripts/test."""
    for number in range(150, 250):
        if not os.path.exists(f"/tmp/.X11-unix/X{number}"):
            xvfb = subprocess.Popen(["Xvfb", f":{number}", "-screen", "0", "1920x1080x24", "-nolisten", "tcp"],
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            os.environ["DISPLAY"] = f":{number}"
            launcher_e2e.wait_until(lambda: os.path.exists(f"/tmp/.X11-unix/X{number}"), 10)
            return xvfb
    raise RuntimeError("no free X display number")


def main():
    if os.geteuid() != 0:
        print("packaging: skipped: installing the Debian package needs root")
        print("packaging: 0 passed, 0 failed")
        return 0
    os.environ.update(no_proxy="127.0.0.1,localhost,::1", NO_PROXY="127.0.0.1,localhost,::1")
    if not build_packages():
        print("packaging: scripts/package failed")
        print("packaging: 0 passed, 1 failed")
        return 1
    xvfb = None if os.environ.get("DISPLAY") else own_display()
    try:
        program = unittest.main(argv=sys.argv, exit=False, verbosity=2)
    finally:
        if xvfb is not None:
            xvfb.terminate()
            xvfb.wait()
    result = program.result
    failed = len(result.failures) + len(result.errors) + len(result.unexpectedSuccesses)
    print(f"packaging: {result.testsRun - failed - len(result.skipped)} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
