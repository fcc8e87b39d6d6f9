#!/usr/bin/env python3
"""Lays out a fresh launcher folder for the development server on a port: the launcher
executable (copied), Setting.json naming every key, the three pictures and, when asked,
Version.json.

Values given with --set may contain {base}, which becomes http://127.0.0.1:PORT.
Importable: make_launcher_folder(...) does the same and returns the settings written.
"""

import argparse
import json
import shutil
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import make_pictures  # noqa: E402

HOST = "127.0.0.1"


def default_settings(port, exe_name):
    """Every key the launcher reads, with demo values, in the order of the settings table."""
    base = f"http://{HOST}:{port}"
    return {
        "BaseDir": "client",
        "GameDir": "LauncherDemo",
        "ExeName": exe_name,
        "Title": "Launcher Demo",
        "FixedWidth": 1100,
        "FixedHeight": 660,
        "Background": make_pictures.BACKGROUND,
        "ProgressBack": make_pictures.PROGRESS_BACK,
        "ProgressFront": make_pictures.PROGRESS_FRONT,
        "DownloadTimeout": 2,
        "DownloadRetry": 1,
        "DownloadRetryDelay": 1,
        "LoginUrl": f"{base}/login",
        "ServerUrl": f"{base}/version",
        "CheckLatestVersion": "Checking for the latest version\u2026",
        "CheckLatestVersionFail": "The version server cannot be reached. Please try again later.",
        "PackageName": "client_",
        "PackageExt": ".zip",
        "DownloadLatestVersion": "Downloading the latest version\u2026",
        "DownloadLatestVersionFail": "The download failed. Please check your connection and try again.",
        "ExtractFile": "Installing the game files\u2026",
        "ExtractFileFail": "The game files could not be installed.",
        "EmptyBaseDirFail": "The old game files could not be removed. Close the game and try again.",
        "ExeCmdArgs": "-windowed",
        "NeedWindows7OrLater": "This game needs Windows 7 or later.",
        "PlatformId": 3,
        "ReportReasonStartLoading": 1,
        "ReportReasonStopLoading": 2,
        "ReportLaunchGameFail": 3,
        "ReportReasonOSError": 4,
        "ReportDownloadLatestVersionFail": 5,
        "ReportExtractFileFail": 6,
    }


def _typed(key, text, defaults):
    """A --set value as the type the key holds (integer keys stay integers)."""
    if isinstance(defaults.get(key), int):
        return int(text)
    return text


def make_launcher_folder(folder, port, launcher=None, exe_name=None, settings=None, unset=(),
                         version_file=None, pictures=None):
    """settings: key -> value (already typed; {base} in texts is filled in); unset: keys
    to leave out; version_file: the text of Version.json, or None for no file; pictures:
    a folder holding the three pictures to copy instead of drawing them."""
    folder = Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    if exe_name is None:
        windows = launcher is not None and str(launcher).lower().endswith(".exe")
        exe_name = "sample_game.exe" if windows else "sample_game"
    base = f"http://{HOST}:{port}"
    written = default_settings(port, exe_name)
    for key, value in (settings or {}).items():
        written[key] = value.replace("{base}", base) if isinstance(value, str) else value
    for key in unset:
        written.pop(key, None)
    (folder / "Setting.json").write_text(json.dumps(written, indent=2, ensure_ascii=False) + "\n", encoding="utf-8")

    if launcher is not None:
        shutil.copy2(launcher, folder / Path(launcher).name)
    if pictures is not None:
        for name in (make_pictures.BACKGROUND, make_pictures.PROGRESS_BACK, make_pictures.PROGRESS_FRONT):
            shutil.copy2(Path(pictures) / name, folder / name)
    else:
        make_pictures.write_pictures(folder)
    if version_file is not None:
        (folder / "Version.json").write_text(version_file, encoding="utf-8")
    return written


def _key_value(text):
    key, separator, value = text.partition("=")
    if not separator or not key:
        raise argparse.ArgumentTypeError(f"expected KEY=VALUE, got {text!r}")
    return key, value


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("folder", help="the launcher folder to create or fill")
    parser.add_argument("--port", type=int, required=True, help="the development server's port")
    parser.add_argument("--launcher", help="launcher executable to copy into the folder")
    parser.add_argument("--exe-name", help="ExeName (default sample_game, or sample_game.exe beside a .exe launcher)")
    parser.add_argument("--set", type=_key_value, action="append", default=[], metavar="KEY=VALUE",
                        help="set a key (integer keys take integers); repeatable")
    parser.add_argument("--set-json", type=_key_value, action="append", default=[], metavar="KEY=JSON",
                        help="set a key to any JSON value (e.g. a wrong type); repeatable")
    parser.add_argument("--unset", action="append", default=[], metavar="KEY", help="leave a key out; repeatable")
    parser.add_argument("--login-query", help="query for the login page, e.g. auto=alice")
    versions = parser.add_mutually_exclusive_group()
    versions.add_argument("--installed-version", help='write Version.json as {"Version": V}')
    versions.add_argument("--version-file", help="write this text as Version.json")
    parser.add_argument("--pictures", help="copy the pictures from this folder instead of drawing them")
    args = parser.parse_args(argv)

    defaults = default_settings(args.port, "")
    settings = {key: _typed(key, value, defaults) for key, value in args.set}
    settings.update({key: json.loads(value) for key, value in args.set_json})
    if args.login_query:
        settings["LoginUrl"] = settings.get("LoginUrl", "{base}/login") + "?" + args.login_query
    version_file = args.version_file
    if args.installed_version is not None:
        version_file = json.dumps({"Version": args.installed_version}, indent=3) + "\n"
    make_launcher_folder(args.folder, args.port, args.launcher, args.exe_name, settings, args.unset,
                         version_file, args.pictures)
    print(args.folder)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
