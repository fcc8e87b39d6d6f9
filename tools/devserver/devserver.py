#!/usr/bin/env python3
"""Development server for the launcher.

One process on 127.0.0.1 answers everything a launch talks to: the version answer
(/version), the client package (/package/<file>, with byte ranges for resumed
downloads), the report endpoint (/report) and a login page (/login); or, with
--release, a folder that tools/publish wrote, served as it is (/release/<file>).
Switches simulate the server failures the tests need, and a small
control API (/_log, /_reports, /_config, /_clear, /_shutdown) lets a test see what
arrived and change behaviour while the server runs. The server always stops by itself
after --lifetime seconds. Python standard library only.
"""

import argparse
import collections
import email.utils
import hashlib
import io
import json
import os
import random
import re
import secrets
import signal
import sys
import threading
import time
import zipfile
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qsl, unquote, urlsplit

HOST = "127.0.0.1"
AUTO = "auto"
# What a Range header asks for when no byte of the body can be sent.
UNSATISFIABLE = "unsatisfiable"
VERSION_BODIES = ("normal", "invalid", "notobject", "wrongtypes", "empty")
DAMAGE_KINDS = ("none", "crc", "truncated", "notzip")
MAX_CALL_ARGUMENTS = 3
# The version answer's file name in a published release folder.
RELEASE_ANSWER = "version.json"


# --- configuration -------------------------------------------------------------------

def _int_at_least(minimum):
    def parse(text):
        value = int(text)
        if value < minimum:
            raise ValueError(f"{value} is below {minimum}")
        return value
    return parse


def _status(text):
    value = int(text)
    if not 100 <= value <= 599:
        raise ValueError(f"{value} is not an HTTP status")
    return value


def _flag(text):
    lowered = str(text).lower()
    if lowered in ("1", "true", "yes", "on", ""):
        return True
    if lowered in ("0", "false", "no", "off"):
        return False
    raise ValueError(f"{text!r} is not a flag")


def _choice(choices):
    def parse(text):
        if text not in choices:
            raise ValueError(f"{text!r} is not one of {', '.join(choices)}")
        return text
    return parse


def _optional_text(text):
    return text if text != "" else None


def _optional(parse):
    """An empty value switches the setting off."""
    def parse_optional(text):
        return None if text == "" else parse(text)
    return parse_optional


def _auto_or(parse):
    def parse_auto(text):
        return AUTO if text == AUTO else parse(text)
    return parse_auto


# Every setting that both the command line (--name) and /_config (name=value) accept.
SETTINGS = {
    "version": (str, "1.0.0"),
    "version-status": (_status, 200),
    "version-failures": (_int_at_least(0), 0),
    "version-body": (_choice(VERSION_BODIES), "normal"),
    "version-json": (_optional_text, None),
    "package-file": (_optional_text, None),
    "package-zip": (_optional_text, None),
    "package-url": (_optional_text, None),
    "report-url": (_optional_text, None),
    "package-status": (_status, 200),
    "package-failures": (_int_at_least(0), 0),
    "package-damaged": (_choice(DAMAGE_KINDS), "none"),
    "package-pad": (_int_at_least(0), 0),
    "slow-package": (_int_at_least(0), 0),
    "stall-package": (_flag, False),
    "stall-seconds": (float, 30.0),
    "ignore-range": (_flag, False),
    "multi-range": (_flag, False),
    "cut-after": (_optional(_int_at_least(0)), None),
    "range-shift": (_optional(_int_at_least(1)), None),
    "range-shift-answers": (_optional(_int_at_least(1)), None),
    "no-validators": (_flag, False),
    "etag-salt": (_optional_text, None),
    "package-size": (_optional(_auto_or(_int_at_least(0))), None),
    "package-sha256": (_optional_text, None),
    "report-status": (_status, 200),
    "token": (str, None),
    "client": (_optional_text, None),
    "release": (_optional_text, None),
}


# The package as served: its bytes, their SHA-256 (lower-case hex) and when it last
# changed (Unix seconds), which is its Last-Modified date.
Package = collections.namedtuple("Package", "data sha256 changed_at")
# A published release folder: the version answer's text as it is, and the package
# file the answer points at (its file name and path).
Release = collections.namedtuple("Release", "answer package_file package_path")


def load_release(folder):
    """The release in a folder; raises ValueError when the folder is not one."""
    answer_path = os.path.join(folder, RELEASE_ANSWER)
    try:
        with open(answer_path, "rb") as source:
            answer = source.read().decode("utf-8")
        package_url = json.loads(answer)["PackageUrl"]
        package_file = unquote(urlsplit(package_url).path.rsplit("/", 1)[-1])
    except (OSError, ValueError, KeyError, TypeError, AttributeError) as error:
        raise ValueError(f"{answer_path} is not a version answer with a PackageUrl: {error}") from None
    package_path = os.path.join(folder, package_file)
    if not package_file or not os.path.isfile(package_path):
        raise ValueError(f"the release's package {package_path!r} does not exist")
    return Release(answer, package_file, package_path)


class Config:
    """The current behaviour, shared by all request threads."""

    def __init__(self, values):
        self._lock = threading.Lock()
        self._values = {name: default for name, (_, default) in SETTINGS.items()}
        self._counts = {"version": 0, "package": 0}
        self._package_cache = None
        self._package_sha256 = None
        self._changed_at = int(time.time())
        self._release = None
        self.update(values)

    def snapshot(self):
        with self._lock:
            return dict(self._values)

    def update(self, values):
        """Applies name -> text (or already typed) values; raises ValueError on a bad one."""
        parsed = {}
        for name, value in values.items():
            if name not in SETTINGS:
                raise ValueError(f"unknown setting {name!r}")
            parse = SETTINGS[name][0]
            parsed[name] = value if not isinstance(value, str) else parse(value)
        with self._lock:
            merged = dict(self._values, **parsed)
            if merged["token"] is None:
                merged["token"] = secrets.token_hex(8)
            for kind in ("version", "package"):
                # A failure count alone means "fail N times, then answer": 500 by default.
                if f"{kind}-failures" in parsed and merged[f"{kind}-failures"] and merged[f"{kind}-status"] == 200:
                    merged[f"{kind}-status"] = 500
                if any(name.startswith(kind) for name in parsed):
                    self._counts[kind] = 0
            if merged["client"] is not None and not os.path.isdir(merged["client"]):
                raise ValueError(f"client folder {merged['client']!r} does not exist")
            if merged["package-zip"] is not None and not os.path.isfile(merged["package-zip"]):
                raise ValueError(f"package file {merged['package-zip']!r} does not exist")
            # Read again whenever named, so that a folder published anew is picked up.
            release = load_release(merged["release"]) if parsed.get("release") is not None else None
            if merged["etag-salt"] != self._values["etag-salt"]:
                self._mark_changed()
            self._values = merged
            if "release" in parsed:
                self._release = release
            if parsed.keys() & {"client", "package-zip", "package-pad", "package-damaged", "release"}:
                self._package_cache = None

    def _mark_changed(self):
        """Moves the package's date on by at least a second, so that a date taken
        before the change never matches it again."""
        self._changed_at = max(int(time.time()), self._changed_at + 1)

    def take_cut(self):
        """The cut-after setting for this package response; the switch is spent."""
        with self._lock:
            cut = self._values["cut-after"]
            self._values["cut-after"] = None
            return cut

    def take_shift(self):
        """How many bytes later than asked this partial answer starts (None: as asked),
        counting it against range-shift-answers; the last counted answer ends the switch."""
        with self._lock:
            shift = self._values["range-shift"]
            answers = self._values["range-shift-answers"]
            if shift is not None and answers is not None:
                answers -= 1
                self._values["range-shift-answers"] = answers or None
                if not answers:
                    self._values["range-shift"] = None
            return shift

    def next_status(self, kind):
        """The status for the next request of a kind, counting it."""
        with self._lock:
            status = self._values[f"{kind}-status"]
            failures = self._values[f"{kind}-failures"]
            count = self._counts[kind]
            self._counts[kind] = count + 1
            if status != 200 and (failures == 0 or count < failures):
                return status
            return 200

    def release(self):
        with self._lock:
            return self._release

    def package_file_name(self):
        with self._lock:
            if self._release is not None:
                return self._release.package_file
            return self._values["package-file"] or f"client_{self._values['version']}.zip"

    def package(self):
        with self._lock:
            if self._package_cache is None:
                v = self._values
                zip_file = self._release.package_path if self._release is not None else v["package-zip"]
                data = build_package(v["client"], v["package-pad"], v["package-damaged"], zip_file)
                sha256 = hashlib.sha256(data).hexdigest()
                if self._package_sha256 not in (None, sha256):
                    self._mark_changed()
                self._package_sha256 = sha256
                self._package_cache = data
            return Package(self._package_cache, self._package_sha256, self._changed_at)


def package_etag(package, salt):
    """A strong tag of the content; a salt stands for a different package."""
    tag = package.sha256 if salt is None else hashlib.sha256(f"{package.sha256}/{salt}".encode()).hexdigest()
    return f'"{tag}"'


def package_validators(package, values):
    if values["no-validators"]:
        return {}
    return {"ETag": package_etag(package, values["etag-salt"]),
            "Last-Modified": email.utils.formatdate(package.changed_at, usegmt=True)}


RANGE = re.compile(r"bytes=(\d*)-(\d*)", re.IGNORECASE)
RANGE_ITEM = re.compile(r"(\d*)-(\d*)")
MULTIPART_BOUNDARY = "devserver-part-boundary"


def _span(first, last, total):
    """One range's first and last byte, clipped to the body; None when malformed,
    UNSATISFIABLE when no byte of it lies in the body."""
    if (first, last) == ("", ""):
        return None
    if first == "":
        # A suffix: the last N bytes.
        length = int(last)
        return (max(0, total - length), total - 1) if length and total else UNSATISFIABLE
    first = int(first)
    if last != "" and int(last) < first:
        return None
    if first >= total:
        return UNSATISFIABLE
    return first, total - 1 if last == "" else min(int(last), total - 1)


def parse_range(header, total):
    """The first and last byte a Range header asks for, clipped to the body; None for
    the whole body (no header, not one well-formed range); UNSATISFIABLE when it
    starts at or past the end."""
    match = RANGE.fullmatch(header.strip()) if header is not None else None
    return _span(*match.groups(), total) if match else None


def parse_ranges(header, total):
    """The spans of a Range header of several ranges, in the order asked, those past the
    end left out; None for the whole body (no header, one malformed range, another
    unit); UNSATISFIABLE when none is left."""
    if header is None:
        return None
    unit, _, items = header.strip().partition("=")
    if unit.strip().lower() != "bytes":
        return None
    spans = []
    for item in items.split(","):
        match = RANGE_ITEM.fullmatch(item.strip())
        span = _span(*match.groups(), total) if match else None
        if span is None:
            return None
        if span != UNSATISFIABLE:
            spans.append(span)
    return spans or UNSATISFIABLE


def multipart_body(data, spans, content_type):
    """A multipart/byteranges body: each span as a part with its own Content-Range."""
    total = len(data)
    parts = []
    for first, last in spans:
        head = (f"\r\n--{MULTIPART_BOUNDARY}\r\nContent-Type: {content_type}\r\n"
                f"Content-Range: bytes {first}-{last}/{total}\r\n\r\n")
        parts.append(head.encode("ascii") + data[first:last + 1])
    parts.append(f"\r\n--{MULTIPART_BOUNDARY}--\r\n".encode("ascii"))
    return b"".join(parts)


def if_range_holds(header, validators):
    """If-Range: the range applies without one, or when it names the current ETag
    (strong comparison) or, as a date, exactly the current Last-Modified."""
    if header is None:
        return True
    header = header.strip()
    key = "ETag" if header.startswith(('"', "W/")) else "Last-Modified"
    return header == validators.get(key)


# --- the package ---------------------------------------------------------------------

def build_zip(client_dir, pad_bytes):
    """A deflated zip of the folder's tree (folders as their own entries), in name order."""
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", compression=zipfile.ZIP_DEFLATED) as archive:
        if client_dir is None:
            archive.writestr("README.txt", "Sample client package of the development server.\n")
        else:
            for full, arcname in _tree(client_dir):
                info = zipfile.ZipInfo.from_file(full, arcname)
                if info.is_dir():
                    archive.writestr(info, b"")
                else:
                    info.compress_type = zipfile.ZIP_DEFLATED
                    with open(full, "rb") as source:
                        archive.writestr(info, source.read())
        if pad_bytes:
            # Incompressible, so the package really is that much bigger.
            archive.writestr("pad.bin", random.Random(pad_bytes).randbytes(pad_bytes))
    return buffer.getvalue()


def _tree(folder):
    """(path, archive name) of everything below the folder, sorted by archive name, so a
    folder comes right before its content."""
    found = []
    for root, dirs, files in os.walk(folder):
        for name in dirs + files:
            full = os.path.join(root, name)
            found.append((full, os.path.relpath(full, folder).replace(os.sep, "/")))
    return sorted(found, key=lambda item: item[1])


def corrupt_entry_data(data):
    """Flips bytes inside every entry's compressed data; headers and sizes stay intact,
    so the archive opens but inflating or the CRC check fails."""
    damaged = bytearray(data)
    with zipfile.ZipFile(io.BytesIO(data)) as archive:
        infos = archive.infolist()
    flipped = 0
    for info in infos:
        if info.compress_size == 0:
            continue
        offset = info.header_offset
        name_length = int.from_bytes(damaged[offset + 26:offset + 28], "little")
        extra_length = int.from_bytes(damaged[offset + 28:offset + 30], "little")
        start = offset + 30 + name_length + extra_length
        for position in {info.compress_size // 3, info.compress_size // 2, info.compress_size - 1}:
            damaged[start + position] ^= 0xFF
        flipped += 1
    if not flipped:
        raise ValueError("the package has no entry data to damage")
    return bytes(damaged)


def build_package(client_dir, pad_bytes, damage, zip_file=None):
    """The package's bytes: a zip of the client folder, or a ready-made file as it is
    (entries no folder can hold, such as "../x"), then damaged as asked."""
    if zip_file is not None:
        with open(zip_file, "rb") as source:
            data = source.read()
    else:
        data = build_zip(client_dir, pad_bytes)
    if damage == "crc":
        return corrupt_entry_data(data)
    if damage == "truncated":
        return data[:len(data) // 2]
    if damage == "notzip":
        return b"<html><body>This is not a zip archive.</body></html>\n"
    return data


# --- the version answer --------------------------------------------------------------

def version_body(values, base, package, package_file, release):
    """The version answer: a release's as it is, unless --version-json replaces it;
    `package` gives the served package, asked for only when the answer announces its
    size or digest."""
    package_url = (values["package-url"] or f"{base}/package/{package_file}").replace("{base}", base)
    report_url = (values["report-url"] or f"{base}/report").replace("{base}", base)
    if values["version-json"] is not None:
        return values["version-json"].replace("{base}", base)
    if release is not None:
        return release.answer
    kind = values["version-body"]
    if kind == "invalid":
        return '{"Version": "' + values["version"] + '", "PackageUrl": '
    if kind == "empty":
        return ""
    answer = {"Version": values["version"], "PackageUrl": package_url, "ReportOperationUrl": report_url}
    if values["package-size"] is not None:
        answer["PackageSize"] = len(package().data) if values["package-size"] == AUTO else values["package-size"]
    if values["package-sha256"] is not None:
        answer["PackageSha256"] = package().sha256 if values["package-sha256"] == AUTO else values["package-sha256"]
    if kind == "notobject":
        return json.dumps([answer])
    if kind == "wrongtypes":
        answer["Version"] = _version_number(values["version"])
    return json.dumps(answer, indent=2)


def _version_number(version):
    try:
        return float(version) if "." in version else int(version)
    except ValueError:
        return 1


# --- the login page ------------------------------------------------------------------

LOGIN_PAGE = r"""<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta http-equiv="X-UA-Compatible" content="IE=edge">
<title>Sign in</title>
<style>
html, body { margin: 0; padding: 0; height: 100%; overflow: hidden; }
body {
  font-family: "Segoe UI", "Liberation Sans", "DejaVu Sans", Arial, sans-serif;
  color: #eef2ff;
  background: #151b45;
  background: linear-gradient(160deg, #0b1430 0%, #1c1d55 50%, #3b1f5e 100%);
}
.glow {
  position: absolute; left: 50%; top: 8%; width: 640px; height: 640px; margin-left: -320px;
  border-radius: 50%;
  background: radial-gradient(circle, rgba(110, 140, 255, 0.28) 0%, rgba(110, 140, 255, 0) 70%);
}
.card {
  position: absolute; left: 50%; top: 50%; width: 360px; margin-left: -213px; margin-top: -185px;
  padding: 30px 32px 24px 32px;
  background: rgba(8, 12, 34, 0.74);
  border: 1px solid rgba(255, 255, 255, 0.14);
  border-radius: 14px;
  box-shadow: 0 20px 60px rgba(0, 0, 0, 0.5);
}
.brand { font-size: 12px; letter-spacing: 3px; text-transform: uppercase; color: #7fd8ff; margin: 0 0 10px 0; }
h1 { margin: 0 0 6px 0; font-size: 27px; font-weight: 600; }
.lead { margin: 0 0 22px 0; color: #aab3d9; font-size: 14px; }
label { display: block; margin: 0 0 7px 0; font-size: 13px; color: #c9d1f3; }
input.name {
  box-sizing: border-box; width: 100%; padding: 11px 13px; font-size: 16px; font-family: inherit;
  color: #ffffff; background: rgba(255, 255, 255, 0.08);
  border: 1px solid rgba(255, 255, 255, 0.24); border-radius: 8px; outline: none;
}
input.name:focus { border-color: #63d4ff; background: rgba(255, 255, 255, 0.13); }
button {
  margin-top: 18px; width: 100%; padding: 12px; font-size: 16px; font-weight: 600; font-family: inherit;
  color: #071430; background: #4fc3f7;
  background: linear-gradient(180deg, #86e3ff 0%, #3aaef0 100%);
  border: 0; border-radius: 8px; cursor: pointer;
}
button:hover { background: linear-gradient(180deg, #9beaff 0%, #4bbaf5 100%); }
button[disabled] { opacity: 0.6; cursor: default; }
.message { min-height: 20px; margin: 14px 0 0 0; font-size: 14px; color: #aab3d9; }
.message.error { color: #ff9090; }
.message.busy { color: #9ff0c0; }
.footer { position: absolute; left: 0; right: 0; bottom: 14px; text-align: center; font-size: 12px; color: rgba(255, 255, 255, 0.4); }
</style>
</head>
<body>
<div class="glow"></div>
<form class="card" id="login" action="#" autocomplete="off">
  <p class="brand">Development server</p>
  <h1>Welcome back</h1>
  <p class="lead">Sign in to update and start the game.</p>
  <label for="name">Player name</label>
  <input class="name" id="name" name="name" type="text" maxlength="64" placeholder="Your player name">
  <button id="enter" type="submit">Enter game</button>
  <p class="message" id="message"></p>
</form>
<div class="footer">Local test page &middot; nothing leaves this computer</div>
<script>
var PAGE = __PAGE__;
(function () {
  var form = document.getElementById("login");
  var nameField = document.getElementById("name");
  var button = document.getElementById("enter");
  var message = document.getElementById("message");
  var RETRIES = 30;

  function show(text, kind) {
    message.className = kind ? "message " + kind : "message";
    message.innerHTML = "";
    message.appendChild(document.createTextNode(text));
  }

  // A host method of the Windows browser control is not a script function, so it is
  // called directly (never through apply) and its absence shows up as an exception.
  function invoke(args) {
    var ext = window.external;
    var m = PAGE.method;
    if (args.length === 0) { return ext[m](); }
    if (args.length === 1) { return ext[m](args[0]); }
    if (args.length === 2) { return ext[m](args[0], args[1]); }
    return ext[m](args[0], args[1], args[2]);
  }

  // Goes on to PAGE.next, as a page that redirects or moves on by itself does.
  function moveOn() {
    if (PAGE.next !== null) { window.location.href = PAGE.next; }
  }

  // The launcher may attach its bridge a moment after the page has loaded.
  function call(args, retriesLeft) {
    try {
      invoke(args);
      moveOn();
    } catch (e) {
      if (retriesLeft > 0) {
        setTimeout(function () { call(args, retriesLeft - 1); }, 100);
        return;
      }
      button.disabled = false;
      show("Open this page in the launcher to play.", "error");
    }
  }

  function enter() {
    var name = nameField.value.replace(/^\s+|\s+$/g, "");
    if (name === "") {
      show("Please enter your player name.", "error");
      nameField.focus();
      return;
    }
    button.disabled = true;
    show("Entering the game\u2026", "busy");
    call(["username=" + name + "&token=" + PAGE.token], RETRIES);
  }

  function onSubmit(event) {
    if (event && event.preventDefault) { event.preventDefault(); }
    enter();
    return false;
  }

  function start() {
    if (PAGE.call !== null) {
      button.disabled = true;
      show("Entering the game\u2026", "busy");
      call(PAGE.call, RETRIES);
    } else if (PAGE.auto !== null) {
      nameField.value = PAGE.auto;
      enter();
    } else if (PAGE.next !== null) {
      moveOn();
    } else {
      nameField.focus();
    }
  }

  form.addEventListener("submit", onSubmit, false);
  window.addEventListener("load", function () { setTimeout(start, PAGE.delay); }, false);
}());
</script>
</body>
</html>
"""


def login_page(query, token):
    """The page, with what its URL asked for (auto=NAME, arg=TEXT, call=JSON array,
    token=T, delay=MS, method=NAME, next=URL: where the page goes after its call, or at
    once without one) resolved by the server."""
    params = dict(parse_qsl(query, keep_blank_values=True))
    call = None
    if "call" in params:
        call = json.loads(params["call"])
        if not isinstance(call, list) or len(call) > MAX_CALL_ARGUMENTS:
            raise ValueError(f"call must be a JSON array of at most {MAX_CALL_ARGUMENTS} values")
    elif "arg" in params:
        call = [params["arg"]]
    method = params.get("method", "fnEnterGame")
    if not method.isidentifier():
        raise ValueError("method must be an identifier")
    page = {
        "token": params.get("token", token),
        "auto": params.get("auto"),
        "call": call,
        "delay": int(params.get("delay", "0")),
        "method": method,
        "next": params.get("next"),
    }
    # Keeps the JSON literal from closing the script element.
    page_json = json.dumps(page).replace("</", "<\\/").replace("\u2028", "\\u2028").replace("\u2029", "\\u2029")
    return LOGIN_PAGE.replace("__PAGE__", page_json)


# --- request log ---------------------------------------------------------------------

def decode_raw(text):
    """The request target arrives as Latin-1 text of its raw bytes; gives UTF-8 text when
    the bytes are UTF-8, else the bytes one character each, and which it was."""
    raw = text.encode("latin-1")
    try:
        return raw.decode("utf-8"), "utf-8"
    except UnicodeDecodeError:
        return text, "latin-1"


class RequestLog:
    def __init__(self):
        self._lock = threading.Lock()
        self._entries = []

    def add(self, entry):
        with self._lock:
            entry["seq"] = len(self._entries)
            self._entries.append(entry)

    def entries(self, keep=lambda entry: True):
        with self._lock:
            return [dict(e) for e in self._entries if keep(e)]

    def clear(self):
        with self._lock:
            self._entries = []


# --- HTTP ----------------------------------------------------------------------------

class DevServer(ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, port, config, verbose):
        super().__init__((HOST, port), Handler)
        self.config = config
        self.log = RequestLog()
        self.stopping = threading.Event()
        self.verbose = verbose
        self.started = time.time()

    @property
    def base(self):
        return f"http://{HOST}:{self.server_address[1]}"

    def handle_error(self, request, client_address):
        # A client that hung up mid-answer (a cancelled download) is no server fault.
        if isinstance(sys.exc_info()[1], ConnectionError):
            return
        super().handle_error(request, client_address)

    def stop_soon(self):
        """Stops serve_forever from any thread, including a request thread."""
        self.stopping.set()
        threading.Thread(target=self.shutdown, daemon=True).start()


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "devserver/1"
    # Headers and body go out in separate writes; without this each small answer on a
    # kept-alive connection waits for the client's delayed acknowledgement, as no real
    # server makes a client wait.
    disable_nagle_algorithm = True

    def parse_request(self):
        # A client may put spaces into the target unencoded (a user name inserted
        # verbatim); keep the target as received and let the parser see %20.
        line = str(self.raw_requestline, "iso-8859-1").rstrip("\r\n")
        words = line.split(" ")
        self.raw_target = None
        if len(words) > 3 and words[-1].startswith("HTTP/"):
            self.raw_target = " ".join(words[1:-1])
            rebuilt = " ".join([words[0], self.raw_target.replace(" ", "%20"), words[-1]]) + "\r\n"
            self.raw_requestline = rebuilt.encode("iso-8859-1")
        return super().parse_request()

    def do_GET(self):
        self.dispatch()

    def do_POST(self):
        self.dispatch()

    def do_HEAD(self):
        self.dispatch()

    def log_message(self, format, *args):
        if self.server.verbose:
            sys.stderr.write(f"devserver: {self.address_string()} {format % args}\n")

    # --- plumbing

    def dispatch(self):
        target = self.raw_target if self.raw_target is not None else self.path
        path, _, query = target.partition("?")
        body = self.read_body()
        self.entry = None
        if path.startswith("/_"):
            self.control(path, query, body)
            return
        path_text, _ = decode_raw(path)
        query_text, encoding = decode_raw(query)
        self.entry = {
            "method": self.command,
            "path": path_text,
            "query": query_text,
            "queryEncoding": encoding,
            "time": time.time(),
            "userAgent": self.headers.get("User-Agent", ""),
            "range": self.headers.get("Range"),
            "ifRange": self.headers.get("If-Range"),
            "status": None,
            "sent": 0,
        }
        self.server.log.add(self.entry)
        routes = {"/version": self.version, "/report": self.report, "/login": self.login}
        if path in routes:
            routes[path](query)
        elif path.startswith("/package/"):
            self.package(path[len("/package/"):])
        elif path.startswith("/release/"):
            self.release_file(unquote(path[len("/release/"):]), query)
        elif path == "/":
            self.redirect("/login")
        else:
            self.reply(404, b"not found\n")

    def read_body(self):
        length = int(self.headers.get("Content-Length") or 0)
        return self.rfile.read(length) if length > 0 else b""

    def reply(self, status, body, content_type="text/plain; charset=utf-8", headers=None):
        if self.entry is not None:
            self.entry["status"] = status
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Cache-Control", "no-store")
        for name, value in (headers or {}).items():
            self.send_header(name, value)
        self.end_headers()
        if self.command != "HEAD":
            # Counted before the write: a client that reads the log as soon as it has the
            # body must find the count there already.
            if self.entry is not None:
                self.entry["sent"] = len(body)
            self.wfile.write(body)

    def redirect(self, location):
        self.entry["status"] = 302
        self.send_response(302)
        self.send_header("Location", location)
        self.send_header("Content-Length", "0")
        self.end_headers()

    def reply_json(self, value, status=200):
        self.reply(status, (json.dumps(value, indent=2) + "\n").encode(), "application/json")

    # --- the launcher's endpoints

    def version(self, _query):
        status = self.server.config.next_status("version")
        if status != 200:
            self.reply(status, f"version server answers {status}\n".encode())
            return
        config = self.server.config
        body = version_body(config.snapshot(), self.server.base, config.package, config.package_file_name(),
                            config.release())
        self.reply(200, body.encode("utf-8"), "application/json")

    def report(self, _query):
        status = self.server.config.snapshot()["report-status"]
        self.reply(status, b"OK\n" if status == 200 else f"report endpoint answers {status}\n".encode())

    def login(self, query):
        try:
            page = login_page(query, self.server.config.snapshot()["token"])
        except ValueError as error:
            self.reply(400, f"{error}\n".encode())
            return
        self.reply(200, page.encode("utf-8"), "text/html; charset=utf-8")

    def release_file(self, name, query):
        """A published release folder as a static server shows it: its version answer
        and the package it names; nothing else."""
        if self.server.config.release() is None:
            self.reply(404, b"no release is served\n")
        elif name == RELEASE_ANSWER:
            self.version(query)
        else:
            self.package(name)

    def package(self, name):
        values = self.server.config.snapshot()
        if name != self.server.config.package_file_name():
            self.reply(404, b"no such package\n")
            return
        status = self.server.config.next_status("package")
        if status != 200:
            self.reply(status, f"package server answers {status}\n".encode())
            return
        self.send_package(self.server.config.package(), values)

    def send_package(self, package, values):
        total = len(package.data)
        validators = package_validators(package, values)
        span = None
        if not values["ignore-range"] and if_range_holds(self.headers.get("If-Range"), validators):
            span = parse_range(self.headers.get("Range"), total)
            if span is None and values["multi-range"]:
                span = parse_ranges(self.headers.get("Range"), total)
                if isinstance(span, list):
                    if len(span) > 1:
                        self.send_multipart(package, span, values, validators)
                        return
                    span = span[0]
        if span == UNSATISFIABLE:
            self.entry["size"] = total
            self.reply(416, b"range not satisfiable\n", headers={"Content-Range": f"bytes */{total}", **validators})
            return
        first, last = span or (0, total - 1)
        shift = self.server.config.take_shift() if span else None
        if shift is not None:
            # Other bytes than asked, and a Content-Range that tells so.
            first = min(first + shift, last)
        body = package.data[first:last + 1]
        status = 206 if span else 200
        self.entry.update(status=status, size=total, complete=False)
        self.send_response(status)
        self.send_header("Content-Type", "application/zip")
        self.send_header("Content-Length", str(len(body)))
        if span:
            self.send_header("Content-Range", f"bytes {first}-{last}/{total}")
        if not values["ignore-range"]:
            self.send_header("Accept-Ranges", "bytes")
        for name, value in validators.items():
            self.send_header(name, value)
        self.end_headers()
        if self.command != "HEAD":
            self.send_package_body(body, values)

    def send_multipart(self, package, spans, values, validators):
        body = multipart_body(package.data, spans, "application/zip")
        self.entry.update(status=206, size=len(package.data), complete=False)
        self.send_response(206)
        self.send_header("Content-Type", f"multipart/byteranges; boundary={MULTIPART_BOUNDARY}")
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Accept-Ranges", "bytes")
        for name, value in validators.items():
            self.send_header(name, value)
        self.end_headers()
        if self.command != "HEAD":
            self.send_package_body(body, values)

    def send_package_body(self, body, values):
        stall = values["stall-package"]
        cut = self.server.config.take_cut()
        part = body[:len(body) // 2] if stall else body
        if cut is not None:
            part = part[:cut]
        try:
            self.write_paced(part, values["slow-package"])
            if stall:
                # Nothing more for a long but bounded time, then the connection ends.
                self.server.stopping.wait(values["stall-seconds"])
            if len(part) < len(body):
                self.close_connection = True
                return
            self.entry["complete"] = True
        except ConnectionError:
            self.close_connection = True

    def write_paced(self, data, bytes_per_second):
        if not bytes_per_second:
            self.entry["sent"] = len(data)
            self.wfile.write(data)
            return
        chunk = max(1, bytes_per_second // 20)
        start = time.monotonic()
        for offset in range(0, len(data), chunk):
            delay = start + offset / bytes_per_second - time.monotonic()
            if delay > 0 and self.server.stopping.wait(delay):
                raise BrokenPipeError("server stopping")
            piece = data[offset:offset + chunk]
            self.wfile.write(piece)
            self.entry["sent"] += len(piece)

    # --- control API for tests

    def control(self, path, query, body):
        params = dict(parse_qsl(query, keep_blank_values=True))
        if body:
            params.update(parse_qsl(body.decode("utf-8"), keep_blank_values=True))
        log = self.server.log
        if path == "/_log":
            prefix = params.get("prefix", "")
            self.reply_json(log.entries(lambda e: e["path"].startswith(prefix)))
        elif path == "/_reports":
            self.reply_json(log.entries(lambda e: e["path"] == "/report"))
        elif path == "/_config":
            try:
                self.server.config.update(params)
            except ValueError as error:
                self.reply_json({"error": str(error)}, 400)
                return
            values = self.server.config.snapshot()
            values["port"] = self.server.server_address[1]
            values["packageFileName"] = self.server.config.package_file_name()
            package = self.server.config.package()
            values["packageSize"] = len(package.data)
            values["packageSha256"] = package.sha256
            values["packageEtag"] = package_etag(package, values["etag-salt"])
            self.reply_json(values)
        elif path == "/_clear":
            log.clear()
            self.reply_json({"cleared": True})
        elif path == "/_shutdown":
            self.reply_json({"stopping": True})
            self.close_connection = True
            self.server.stop_soon()
        else:
            self.reply(404, b"no such control\n")


# --- command line --------------------------------------------------------------------

def parse_arguments(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--port", type=int, default=0, help="port to listen on; 0 picks a free one")
    parser.add_argument("--port-file", help="also write the chosen port into this file")
    parser.add_argument("--lifetime", type=float, default=600.0, help="seconds until the server exits by itself")
    parser.add_argument("--verbose", action="store_true", help="log every request to stderr")
    for name, (parse, default) in SETTINGS.items():
        if parse is _flag:
            parser.add_argument(f"--{name}", action="store_const", const=True, default=default)
        elif name == "package-damaged":
            parser.add_argument(f"--{name}", nargs="?", const="crc", default=default, choices=DAMAGE_KINDS)
        else:
            parser.add_argument(f"--{name}", type=parse, default=default)
    args = parser.parse_args(argv)
    if args.lifetime <= 0:
        parser.error("--lifetime must be positive")
    settings = {name: getattr(args, name.replace("-", "_")) for name in SETTINGS}
    return args, settings


def write_port_file(path, port):
    temporary = f"{path}.tmp{os.getpid()}"
    with open(temporary, "w") as out:
        out.write(f"{port}\n")
    os.replace(temporary, path)


def main(argv=None):
    args, settings = parse_arguments(sys.argv[1:] if argv is None else argv)
    try:
        config = Config(settings)
        config.package()
    except (ValueError, OSError) as error:
        print(f"devserver: {error}", file=sys.stderr)
        return 2
    server = DevServer(args.port, config, args.verbose)
    port = server.server_address[1]
    print(f"PORT {port}", flush=True)
    if args.port_file:
        write_port_file(args.port_file, port)
    if args.verbose:
        print(f"devserver: {server.base}/login, lifetime {args.lifetime:g} s", file=sys.stderr)

    lifetime = threading.Timer(args.lifetime, server.stop_soon)
    lifetime.daemon = True
    lifetime.start()
    signal.signal(signal.SIGTERM, lambda *_: server.stop_soon())
    try:
        server.serve_forever(poll_interval=0.05)
    except KeyboardInterrupt:
        pass
    server.stopping.set()
    lifetime.cancel()
    server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
