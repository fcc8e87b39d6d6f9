"""Self-test of the development server and the launcher-folder helpers: real server
processes on loopback, real HTTP, real zip and PNG files."""

import email.utils
import hashlib
import http.client
import io
import json
import os
import re
import socket
import stat
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile
import zlib
from pathlib import Path
from urllib.parse import quote

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import delay_proxy  # noqa: E402
import make_launcher_folder  # noqa: E402

DEVSERVER = HERE / "devserver.py"


class Server:
    """One devserver process; the first stdout line names its port."""

    def __init__(self, *args, lifetime=20):
        self.process = subprocess.Popen(
            [sys.executable, str(DEVSERVER), "--port", "0", "--lifetime", str(lifetime), *args],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        line = self.process.stdout.readline()
        match = re.fullmatch(r"PORT (\d+)\n", line)
        if not match:
            self.process.kill()
            raise AssertionError(f"no port line: {line!r} {self.process.stderr.read()}")
        self.port = int(match.group(1))

    def request(self, path, method="GET", body=None, timeout=5, headers=None):
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)
        try:
            connection.request(method, path, body=body, headers=headers or {})
            response = connection.getresponse()
            return response.status, dict(response.getheaders()), response.read()
        finally:
            connection.close()

    def json(self, path):
        status, _, body = self.request(path)
        return status, json.loads(body)

    def raw_request(self, target):
        """Sends the request line byte for byte, as a client that does not encode would."""
        with socket.create_connection(("127.0.0.1", self.port), timeout=5) as sock:
            sock.sendall(b"GET " + target + b" HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
            answer = b""
            while chunk := sock.recv(4096):
                answer += chunk
        return int(answer.split(b" ", 2)[1])

    def close(self):
        if self.process.poll() is None:
            self.process.terminate()
        self.process.wait(timeout=5)
        self.process.stdout.close()
        self.process.stderr.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def make_client(folder):
    client = Path(folder)
    (client / "data" / "empty").mkdir(parents=True)
    (client / "data" / "notes.txt").write_text("hello\n" * 200)
    game = client / "game"
    game.write_bytes(os.urandom(3000))
    game.chmod(0o755)
    return client


def read_png(path):
    """(width, height, channels, pixel bytes) after checking every chunk's CRC."""
    data = Path(path).read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    position, idat, header = 8, b"", None
    while position < len(data):
        length, kind = struct.unpack(">I4s", data[position:position + 8])
        body = data[position + 8:position + 8 + length]
        crc, = struct.unpack(">I", data[position + 8 + length:position + 12 + length])
        assert crc == zlib.crc32(kind + body), kind
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        position += 12 + length
    width, height, depth, color_type = header[:4]
    assert depth == 8
    channels = {2: 3, 6: 4}[color_type]
    raw = zlib.decompress(idat)
    assert len(raw) == height * (1 + width * channels)
    stride = 1 + width * channels
    assert all(raw[y * stride] == 0 for y in range(height))
    pixels = b"".join(raw[y * stride + 1:(y + 1) * stride] for y in range(height))
    return width, height, channels, pixels


def mean_brightness(width, channels, pixels, box):
    x0, y0, x1, y1 = box
    total = count = 0
    for y in range(y0, y1):
        for x in range(x0, x1):
            offset = (y * width + x) * channels
            total += sum(pixels[offset:offset + 3])
            count += 3
    return total / count


class NormalRun(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.temp = tempfile.TemporaryDirectory()
        cls.client = make_client(Path(cls.temp.name) / "client")
        cls.port_file = Path(cls.temp.name) / "port"
        cls.server = Server("--client", str(cls.client), "--version", "1.2.0", "--token", "t0k",
                            "--port-file", str(cls.port_file))

    @classmethod
    def tearDownClass(cls):
        cls.server.close()
        cls.temp.cleanup()

    def test_port_file_names_the_printed_port(self):
        self.assertEqual(self.port_file.read_text(), f"{self.server.port}\n")

    def test_version_answer_points_at_this_server(self):
        status, answer = self.server.json("/version")
        base = f"http://127.0.0.1:{self.server.port}"
        self.assertEqual(status, 200)
        self.assertEqual(answer, {"Version": "1.2.0", "PackageUrl": f"{base}/package/client_1.2.0.zip",
                                  "ReportOperationUrl": f"{base}/report"})

    def test_package_is_the_client_folder_deflated(self):
        status, headers, body = self.server.request("/package/client_1.2.0.zip")
        self.assertEqual(status, 200)
        self.assertEqual(int(headers["Content-Length"]), len(body))
        with zipfile.ZipFile(io.BytesIO(body)) as archive:
            self.assertIsNone(archive.testzip())
            infos = {info.filename: info for info in archive.infolist()}
            self.assertEqual(sorted(infos), ["data/", "data/empty/", "data/notes.txt", "game"])
            self.assertEqual(archive.read("game"), (self.client / "game").read_bytes())
            self.assertEqual(infos["data/notes.txt"].compress_type, zipfile.ZIP_DEFLATED)
            self.assertTrue(stat.S_IMODE(infos["game"].external_attr >> 16) & 0o100)

    def test_other_package_names_are_not_found(self):
        self.assertEqual(self.server.request("/package/client_1.1.0.zip")[0], 404)

    def test_reports_keep_the_query_exactly(self):
        self.server.request("/_clear")
        queries = [
            b"platformId=3&os=Linux&device=alice&version=1.2.0&reason=2&remark1=&remark2=&remark3=&remark4=",
            b"device=al ice&reason=-1",
            "device=\u00e4&x=%2F".encode("utf-8"),
            b"device=\xe4",
        ]
        for query in queries:
            self.assertEqual(self.server.raw_request(b"/report?" + query), 200)
        self.server.request("/version")
        status, reports = self.server.json("/_reports")
        self.assertEqual(status, 200)
        self.assertEqual([(r["method"], r["path"]) for r in reports], [("GET", "/report")] * 4)
        self.assertEqual([r["query"] for r in reports[:3]], [q.decode("utf-8") for q in queries[:3]])
        self.assertEqual((reports[3]["query"], reports[3]["queryEncoding"]), ("device=\u00e4", "latin-1"))

    def test_log_lists_requests_in_order_without_control_calls(self):
        self.server.request("/_clear")
        self.server.request("/version")
        self.server.request("/_config")
        self.server.request("/package/client_1.2.0.zip", method="HEAD")
        self.server.request("/report?a=1")
        self.server.request("/nothing")
        status, log = self.server.json("/_log")
        self.assertEqual(status, 200)
        self.assertEqual([(e["method"], e["path"], e["query"], e["status"]) for e in log], [
            ("GET", "/version", "", 200),
            ("HEAD", "/package/client_1.2.0.zip", "", 200),
            ("GET", "/report", "a=1", 200),
            ("GET", "/nothing", "", 404),
        ])
        self.assertEqual([e["seq"] for e in log], [0, 1, 2, 3])
        self.assertTrue(all(e["time"] <= f["time"] for e, f in zip(log, log[1:])))
        self.assertEqual(self.server.json("/_log?prefix=/rep")[1], [log[2]])

    def test_login_page_enters_with_name_and_token(self):
        status, headers, body = self.server.request("/login?auto=bob")
        page = body.decode("utf-8")
        self.assertEqual(status, 200)
        self.assertTrue(headers["Content-Type"].startswith("text/html"))
        self.assertIn('"auto": "bob"', page)
        self.assertIn('"token": "t0k"', page)
        self.assertIn('"username=" + name + "&token=" + PAGE.token', page)
        self.assertIn('content="IE=edge"', page)

    def test_login_page_script_is_es5(self):
        page = self.server.request("/login")[2].decode("utf-8")
        scripts = re.findall(r"<script>(.*?)</script>", page, re.S)
        self.assertEqual(len(scripts), 1)
        for pattern in (r"\blet\b", r"\bconst\b", "=>", "`", r"\bfetch\b", r"\bPromise\b", r"\bclass\b", r"\.apply\("):
            self.assertIsNone(re.search(pattern, scripts[0]), pattern)

    def test_login_page_embeds_url_values_safely(self):
        page = self.server.request("/login?arg=%3C/script%3Ex&token=a%22b")[2].decode("utf-8")
        self.assertEqual(page.count("</script>"), 1)
        config = json.loads(re.search(r"var PAGE = (.*);", page).group(1))
        self.assertEqual((config["call"], config["token"]), (["</script>x"], 'a"b'))
        config = json.loads(re.search(r"var PAGE = (.*);", self.server.request(
            "/login?call=%5B%5D&method=FNENTERGAME")[2].decode("utf-8")).group(1))
        self.assertEqual((config["call"], config["method"]), ([], "FNENTERGAME"))

    def test_login_page_refuses_bad_calls(self):
        for query in ("call=%5B1,2,3,4%5D", "call=%7B%7D", "call=nope", "method=a.b", "delay=x"):
            with self.subTest(query=query):
                self.assertEqual(self.server.request("/login?" + query)[0], 400)


class FailureOptions(unittest.TestCase):
    def test_version_answers(self):
        cases = [
            (["--version-status", "404"], 404, None),
            (["--version-status", "500"], 500, None),
            (["--version-body", "invalid"], 200, "invalid"),
            (["--version-body", "notobject"], 200, list),
            (["--version-body", "wrongtypes"], 200, "number"),
            (["--version-body", "empty"], 200, ""),
            (["--version-json", '{"Version": "9", "PackageUrl": "{base}/x"}'], 200, "raw"),
        ]
        for args, expected_status, expected in cases:
            with self.subTest(args=args), Server(*args) as server:
                status, _, body = server.request("/version")
                self.assertEqual(status, expected_status)
                if expected == "invalid":
                    self.assertRaises(ValueError, json.loads, body)
                elif expected is list:
                    self.assertIsInstance(json.loads(body), list)
                elif expected == "number":
                    self.assertIsInstance(json.loads(body)["Version"], (int, float))
                elif expected == "":
                    self.assertEqual(body, b"")
                elif expected == "raw":
                    self.assertEqual(json.loads(body), {"Version": "9", "PackageUrl": f"http://127.0.0.1:{server.port}/x"})

    def test_failure_counts_fail_first_then_answer(self):
        with Server("--version-failures", "2", "--package-status", "404", "--package-failures", "1") as server:
            self.assertEqual([server.request("/version")[0] for _ in range(3)], [500, 500, 200])
            self.assertEqual([server.request("/package/client_1.0.0.zip")[0] for _ in range(2)], [404, 200])

    def test_damaged_packages(self):
        with tempfile.TemporaryDirectory() as temp:
            client = str(make_client(temp))
            for kind in ("crc", "truncated", "notzip"):
                args = ["--package-damaged"] if kind == "crc" else ["--package-damaged", kind]
                with self.subTest(kind=kind), Server("--client", client, *args) as server:
                    status, headers, body = server.request("/package/client_1.0.0.zip")
                    self.assertEqual((status, int(headers["Content-Length"])), (200, len(body)))
                    with self.assertRaises((zipfile.BadZipFile, zlib.error)):
                        with zipfile.ZipFile(io.BytesIO(body)) as archive:
                            for name in archive.namelist():
                                archive.read(name)
                    if kind == "crc":
                        with zipfile.ZipFile(io.BytesIO(body)) as archive:
                            self.assertEqual(len(archive.namelist()), 4)

    def test_slow_package_is_throttled(self):
        with Server("--package-pad", "12000", "--slow-package", "24000") as server:
            started = time.monotonic()
            status, _, body = server.request("/package/client_1.0.0.zip")
            elapsed = time.monotonic() - started
            self.assertEqual(status, 200)
            self.assertGreater(len(body), 12000)
            self.assertGreater(elapsed, 0.4)
            # The server marks the transfer complete just after its last write.
            deadline = time.monotonic() + 2
            while not server.json("/_log")[1][0]["complete"] and time.monotonic() < deadline:
                time.sleep(0.02)
            self.assertTrue(server.json("/_log")[1][0]["complete"])

    def test_stalled_package_sends_part_then_nothing_while_others_are_served(self):
        with Server("--package-pad", "20000", "--stall-package", "--stall-seconds", "1.5") as server:
            connection = http.client.HTTPConnection("127.0.0.1", server.port, timeout=5)
            connection.request("GET", "/package/client_1.0.0.zip")
            response = connection.getresponse()
            length = int(response.getheader("Content-Length"))
            part = response.read1(length)
            while len(part) < length // 2:
                part += response.read1(length)
            started = time.monotonic()
            self.assertEqual(server.request("/version", timeout=1)[0], 200)
            with self.assertRaises(http.client.IncompleteRead):
                response.read()
            self.assertGreater(time.monotonic() - started, 0.8)
            connection.close()
            entry = server.json("/_log?prefix=/package")[1][0]
            self.assertEqual((entry["sent"], entry["complete"]), (length // 2, False))

    def test_lifetime_ends_the_server(self):
        server = Server(lifetime=0.5)
        try:
            self.assertEqual(server.process.wait(timeout=5), 0)
        finally:
            server.close()

    def test_bad_options_are_refused(self):
        for args in (["--version-body", "xml"], ["--package-status", "99"], ["--client", "/nonexistent/folder"],
                     ["--package-size", "-1"], ["--cut-after", "many"]):
            with self.subTest(args=args):
                result = subprocess.run([sys.executable, str(DEVSERVER), "--lifetime", "2", *args],
                                        capture_output=True, text=True, timeout=10)
                self.assertEqual(result.returncode, 2)
                self.assertEqual(result.stdout, "")


class RuntimeControl(unittest.TestCase):
    def test_config_changes_behaviour_while_running(self):
        with Server() as server:
            status, config = server.json("/_config?version=2.0.0&package-status=404&report-status=503")
            self.assertEqual((status, config["version"], config["packageFileName"]), (200, "2.0.0", "client_2.0.0.zip"))
            self.assertTrue(server.json("/version")[1]["PackageUrl"].endswith("/package/client_2.0.0.zip"))
            self.assertEqual(server.request("/package/client_2.0.0.zip")[0], 404)
            self.assertEqual(server.request("/report?x=1")[0], 503)
            status, _, _ = server.request("/_config", method="POST", body=b"package-status=200&package-damaged=notzip")
            self.assertEqual(status, 200)
            self.assertTrue(server.request("/package/client_2.0.0.zip")[2].startswith(b"<html>"))
            self.assertEqual(server.json("/_config?version-body=xml")[0], 400)
            self.assertEqual(server.json("/_config?no-such-thing=1")[0], 400)

    def test_shutdown_stops_the_process(self):
        with Server() as server:
            self.assertEqual(server.json("/_shutdown"), (200, {"stopping": True}))
            self.assertEqual(server.process.wait(timeout=5), 0)


PACKAGE = "/package/client_1.0.0.zip"


def get_cut(server, path, headers=None):
    """(status, headers, the body bytes that arrived) of an answer that may end early."""
    connection = http.client.HTTPConnection("127.0.0.1", server.port, timeout=5)
    try:
        connection.request("GET", path, headers=headers or {})
        response = connection.getresponse()
        try:
            body = response.read()
        except http.client.IncompleteRead as cut:
            body = cut.partial
        return response.status, dict(response.getheaders()), body
    finally:
        connection.close()


class Ranges(unittest.TestCase):
    """The package answers byte ranges as a resuming download needs them."""

    @classmethod
    def setUpClass(cls):
        cls.server = Server("--package-pad", "5000")
        status, cls.headers, cls.data = cls.server.request(PACKAGE)
        assert status == 200
        cls.total = len(cls.data)

    @classmethod
    def tearDownClass(cls):
        cls.server.close()

    def setUp(self):
        self.server.request("/_clear")

    def test_whole_package_carries_validators(self):
        self.assertEqual(self.headers["Accept-Ranges"], "bytes")
        self.assertEqual(self.headers["ETag"], f'"{hashlib.sha256(self.data).hexdigest()}"')
        self.assertTrue(self.headers["Last-Modified"].endswith(" GMT"))
        self.assertEqual(self.server.json("/_config")[1]["packageEtag"], self.headers["ETag"])

    def test_range_requests(self):
        t = self.total
        cases = [
            ("bytes=0-", 206, slice(0, None)),
            ("bytes=100-", 206, slice(100, None)),
            ("bytes=100-199", 206, slice(100, 200)),
            (f"bytes={t - 1}-{t - 1}", 206, slice(t - 1, None)),
            ("bytes=100-99999999", 206, slice(100, None)),
            ("bytes=-50", 206, slice(t - 50, None)),
            (f"bytes={t}-", 416, None),
            (f"bytes={t + 10}-{t + 20}", 416, None),
            ("bytes=0-9,20-29", 200, slice(0, None)),
            ("bytes=50-10", 200, slice(0, None)),
            ("lines=1-2", 200, slice(0, None)),
        ]
        for header, expected_status, part in cases:
            with self.subTest(range=header):
                self.server.request("/_clear")
                status, headers, body = self.server.request(PACKAGE, headers={"Range": header})
                self.assertEqual(status, expected_status)
                self.assertEqual(int(headers["Content-Length"]), len(body))
                if status == 416:
                    self.assertEqual(headers["Content-Range"], f"bytes */{t}")
                else:
                    self.assertEqual(body, self.data[part])
                    first, stop, _ = part.indices(t)
                    self.assertEqual(headers.get("Content-Range"),
                                     f"bytes {first}-{stop - 1}/{t}" if status == 206 else None)
                entry = self.server.json("/_log")[1][0]
                self.assertEqual((entry["range"], entry["ifRange"], entry["status"], entry["sent"]),
                                 (header, None, expected_status, len(body)))

    def test_if_range(self):
        cases = [
            ("the current tag", self.headers["ETag"], 206),
            ("the current date", self.headers["Last-Modified"], 206),
            ("another tag", '"0123"', 200),
            ("the current tag, weak", "W/" + self.headers["ETag"], 200),
            ("another date", "Thu, 01 Jan 1970 00:00:00 GMT", 200),
        ]
        for name, if_range, expected_status in cases:
            with self.subTest(name):
                self.server.request("/_clear")
                status, _, body = self.server.request(PACKAGE, headers={"Range": "bytes=1000-", "If-Range": if_range})
                self.assertEqual((status, body), (expected_status, self.data[1000 if status == 206 else 0:]))
                entry = self.server.json("/_log")[1][0]
                self.assertEqual((entry["range"], entry["ifRange"], entry["sent"]),
                                 ("bytes=1000-", if_range, len(body)))


class RangeSwitches(unittest.TestCase):
    def test_etag_salt_makes_earlier_validators_stale(self):
        with Server() as server:
            _, before, data = server.request(PACKAGE)
            server.request("/_config?etag-salt=second")
            _, after, _ = server.request(PACKAGE)
            self.assertNotEqual(after["ETag"], before["ETag"])
            self.assertGreater(email.utils.parsedate_to_datetime(after["Last-Modified"]),
                               email.utils.parsedate_to_datetime(before["Last-Modified"]))
            for validator in (before["ETag"], before["Last-Modified"]):
                status, _, body = server.request(PACKAGE, headers={"Range": "bytes=10-", "If-Range": validator})
                self.assertEqual((status, body), (200, data))
            status, _, body = server.request(PACKAGE, headers={"Range": "bytes=10-", "If-Range": after["ETag"]})
            self.assertEqual((status, body), (206, data[10:]))

    def test_no_validators_and_ignore_range(self):
        with Server("--no-validators") as server:
            status, headers, data = server.request(PACKAGE)
            self.assertNotIn("ETag", headers)
            self.assertNotIn("Last-Modified", headers)
            self.assertEqual(server.request(PACKAGE, headers={"Range": "bytes=10-"})[0], 206)
            self.assertEqual(server.request(PACKAGE, headers={"Range": "bytes=10-", "If-Range": '"x"'})[0], 200)
            server.request("/_config?no-validators=0&ignore-range=1")
            for header in ("bytes=10-", "bytes=0-5", f"bytes={len(data)}-"):
                with self.subTest(range=header):
                    status, headers, body = server.request(PACKAGE, headers={"Range": header})
                    self.assertEqual((status, body), (200, data))
                    self.assertNotIn("Accept-Ranges", headers)
                    self.assertIn("ETag", headers)

    def test_cut_after_cuts_the_next_answer_once(self):
        with Server("--package-pad", "5000", "--cut-after", "1000") as server:
            status, headers, body = get_cut(server, PACKAGE, {"Range": "bytes=200-"})
            self.assertEqual(status, 206)
            total = int(headers["Content-Range"].rpartition("/")[2])
            self.assertEqual((int(headers["Content-Length"]), len(body)), (total - 200, 1000))
            self.assertIsNone(server.json("/_config")[1]["cut-after"])
            status, _, whole = get_cut(server, PACKAGE)
            self.assertEqual((status, len(whole), whole[200:1200]), (200, total, body))
            server.request("/_config?cut-after=0")
            self.assertEqual(get_cut(server, PACKAGE)[2], b"")
            log = server.json("/_log")[1]
            self.assertEqual([(e["status"], e["sent"], e["complete"]) for e in log],
                             [(206, 1000, False), (200, total, True), (200, 0, False)])

    def test_range_shift_answers_other_bytes_than_asked_and_says_so(self):
        with Server("--package-pad", "5000", "--range-shift", "7", "--range-shift-answers", "2") as server:
            data = server.request(PACKAGE)[2]
            total = len(data)
            # A whole answer does not count; the next two partial ones start 7 bytes late.
            for header, first, last in (("bytes=100-199", 107, 199), ("bytes=-50", total - 43, total - 1)):
                with self.subTest(range=header):
                    status, headers, body = server.request(PACKAGE, headers={"Range": header})
                    self.assertEqual((status, headers["Content-Range"], body),
                                     (206, f"bytes {first}-{last}/{total}", data[first:last + 1]))
            status, headers, body = server.request(PACKAGE, headers={"Range": "bytes=100-199"})
            self.assertEqual((status, headers["Content-Range"], body), (206, f"bytes 100-199/{total}", data[100:200]))
            config = server.json("/_config")[1]
            self.assertEqual((config["range-shift"], config["range-shift-answers"]), (None, None))

            # Without a count every partial answer is shifted while the switch is set; a
            # shift past the range's end leaves its last byte.
            server.request("/_config?range-shift=500")
            for _ in range(2):
                status, headers, body = server.request(PACKAGE, headers={"Range": "bytes=100-199"})
                self.assertEqual((headers["Content-Range"], body), (f"bytes 199-199/{total}", data[199:200]))
            server.request("/_config?range-shift=")
            self.assertEqual(server.request(PACKAGE, headers={"Range": "bytes=100-199"})[2], data[100:200])
            self.assertEqual(server.json("/_config?range-shift=0")[0], 400)

    def test_version_answer_announces_size_and_digest_when_asked(self):
        with Server("--package-size", "auto", "--package-sha256", "auto") as server:
            data = server.request(PACKAGE)[2]
            cases = [
                ({}, {"PackageSize": len(data), "PackageSha256": hashlib.sha256(data).hexdigest()}),
                ({"package-size": "12", "package-sha256": "0" * 64}, {"PackageSize": 12, "PackageSha256": "0" * 64}),
                ({"package-size": "", "package-sha256": ""}, {}),
            ]
            for settings, expected in cases:
                with self.subTest(settings=settings):
                    query = "&".join(f"{name}={value}" for name, value in settings.items())
                    self.assertEqual(server.json(f"/_config?{query}")[0], 200)
                    answer = server.json("/version")[1]
                    self.assertEqual({k: v for k, v in answer.items() if k.startswith("PackageS")}, expected)
                    self.assertEqual(set(answer) - set(expected), {"Version", "PackageUrl", "ReportOperationUrl"})
            self.assertEqual(server.json("/_config?package-size=big")[0], 400)


def multipart_parts(content_type, body):
    """(Content-Range, bytes) of each part of a multipart/byteranges body."""
    kind, _, boundary = content_type.partition("; boundary=")
    assert kind == "multipart/byteranges", content_type
    delimiter = b"\r\n--" + boundary.encode()
    pieces = body.split(delimiter)
    assert pieces[0] == b"" and pieces[-1] == b"--\r\n", (pieces[0][:40], pieces[-1][:40])
    parts = []
    for piece in pieces[1:-1]:
        head, _, data = piece.partition(b"\r\n\r\n")
        fields = dict(line.split(": ", 1) for line in head.decode().split("\r\n")[1:])
        parts.append((fields["Content-Range"], data))
    return parts


class MultiRange(unittest.TestCase):
    """--multi-range: a request for several ranges gets them in one answer."""

    @classmethod
    def setUpClass(cls):
        cls.server = Server("--package-pad", "5000", "--multi-range")
        status, cls.headers, cls.data = cls.server.request(PACKAGE)
        assert status == 200
        cls.total = len(cls.data)

    @classmethod
    def tearDownClass(cls):
        cls.server.close()

    def test_several_ranges_come_as_parts_in_the_order_asked(self):
        t, data = self.total, self.data
        cases = [
            ("bytes=0-9,20-29", [(0, 9), (20, 29)]),
            ("bytes=300-399, 100-199, -50", [(300, 399), (100, 199), (t - 50, t - 1)]),
            (f"bytes=10-19,{t - 5}-{t + 100}", [(10, 19), (t - 5, t - 1)]),
        ]
        for header, spans in cases:
            with self.subTest(range=header):
                self.server.request("/_clear")
                status, headers, body = self.server.request(PACKAGE, headers={"Range": header,
                                                                              "If-Range": self.headers["ETag"]})
                self.assertEqual((status, int(headers["Content-Length"])), (206, len(body)))
                self.assertNotIn("Content-Range", headers)
                self.assertEqual(multipart_parts(headers["Content-Type"], body),
                                 [(f"bytes {a}-{b}/{t}", data[a:b + 1]) for a, b in spans])
                entry = self.server.json("/_log")[1][0]
                self.assertEqual((entry["status"], entry["sent"], entry["complete"]), (206, len(body), True))

    def test_what_is_not_several_satisfiable_ranges(self):
        t = self.total
        cases = [
            ("one range left in the body", f"bytes=100-199,{t}-", None, 206, f"bytes 100-199/{t}", slice(100, 200)),
            ("none in the body", f"bytes={t}-,{t + 5}-", None, 416, f"bytes */{t}", None),
            ("a malformed range", "bytes=0-9,50-10", None, 200, None, slice(0, None)),
            ("another unit", "lines=0-9,20-29", None, 200, None, slice(0, None)),
            ("another validator", "bytes=0-9,20-29", '"0123"', 200, None, slice(0, None)),
        ]
        for name, header, if_range, expected_status, content_range, part in cases:
            with self.subTest(name):
                headers = {"Range": header, **({"If-Range": if_range} if if_range else {})}
                status, answer, body = self.server.request(PACKAGE, headers=headers)
                self.assertEqual((status, answer.get("Content-Range")), (expected_status, content_range))
                if part is not None:
                    self.assertEqual(body, self.data[part])


class DelayingProxy(unittest.TestCase):
    """delay_proxy: the bytes as they are, a round trip per connection and per answer,
    the link rate shared by all connections, the connections counted."""

    @classmethod
    def setUpClass(cls):
        cls.server = Server("--package-pad", "60000")
        cls.data = cls.server.request(PACKAGE)[2]

    @classmethod
    def tearDownClass(cls):
        cls.server.close()

    def through(self, round_trip=0.0, rate=0):
        proxy = delay_proxy.DelayProxy(self.server.port, round_trip, rate).start()
        self.addCleanup(proxy.stop)
        return proxy

    def fetch(self, connection, headers=None):
        connection.request("GET", PACKAGE, headers=headers or {})
        response = connection.getresponse()
        return response.status, response.read()

    def test_answers_pass_unchanged_and_connections_are_counted(self):
        proxy = self.through()
        first = http.client.HTTPConnection("127.0.0.1", proxy.port, timeout=5)
        second = http.client.HTTPConnection("127.0.0.1", proxy.port, timeout=5)
        try:
            self.assertEqual(self.fetch(first), (200, self.data))
            self.assertEqual(self.fetch(first, {"Range": "bytes=10-99"}), (206, self.data[10:100]))
            self.assertEqual(self.fetch(second), (200, self.data))
        finally:
            first.close()
            second.close()
        self.assertEqual(proxy.connections, 2)

    def test_a_new_connection_and_each_answer_cost_a_round_trip(self):
        proxy = self.through(round_trip=0.2)
        connection = http.client.HTTPConnection("127.0.0.1", proxy.port, timeout=5)
        try:
            started = time.monotonic()
            self.assertEqual(self.fetch(connection)[0], 200)
            self.assertGreaterEqual(time.monotonic() - started, 0.4)
            started = time.monotonic()
            self.assertEqual(self.fetch(connection, {"Range": "bytes=0-9"}), (206, self.data[:10]))
            self.assertGreaterEqual(time.monotonic() - started, 0.2)
        finally:
            connection.close()

    def test_the_rate_is_shared_by_all_connections(self):
        proxy = self.through(rate=len(self.data) * 2)
        connections = [http.client.HTTPConnection("127.0.0.1", proxy.port, timeout=5) for _ in range(2)]
        try:
            started = time.monotonic()
            for connection in connections:
                connection.request("GET", PACKAGE)
            bodies = [connection.getresponse().read() for connection in connections]
            # Two packages at twice the package a second: a second at least, together.
            self.assertGreaterEqual(time.monotonic() - started, 0.9)
            self.assertEqual(bodies, [self.data, self.data])
        finally:
            for connection in connections:
                connection.close()


def write_release(folder, version, files):
    """A release folder as tools/publish lays it out: the answer (in a layout of its own,
    which must reach the client unchanged) and the package it names, whose file name
    needs quoting in the URL. Returns (answer bytes, package bytes)."""
    folder.mkdir()
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", compression=zipfile.ZIP_DEFLATED) as archive:
        for name, data in files.items():
            archive.writestr(name, data)
    (folder / f"client {version}.zip").write_bytes(buffer.getvalue())
    answer = (f'{{"Version":"{version}",  "PackageUrl": "http://cdn.invalid/game/client%20{version}.zip",\n'
              f'"Signature": "c2ln"}}\n').encode()
    (folder / "version.json").write_bytes(answer)
    return answer, buffer.getvalue()


class ReleaseFolder(unittest.TestCase):
    def setUp(self):
        self.temp = tempfile.TemporaryDirectory()
        self.addCleanup(self.temp.cleanup)
        root = Path(self.temp.name)
        self.first = root / "first"
        self.answer1, self.package1 = write_release(self.first, "1.0", {"a.txt": "one"})
        self.second = root / "second"
        self.answer2, self.package2 = write_release(self.second, "2.0", {"a.txt": "two", "b/c.txt": "c" * 999})

    def test_answer_and_package_are_served_as_they_are(self):
        with Server("--release", str(self.first)) as server:
            self.assertEqual(server.request("/version")[2], self.answer1)
            status, headers, body = server.request("/release/version.json")
            self.assertEqual((status, headers["Content-Type"], body), (200, "application/json", self.answer1))
            status, headers, body = server.request("/release/client%201.0.zip")
            self.assertEqual((status, body), (200, self.package1))
            self.assertEqual(headers["ETag"], f'"{hashlib.sha256(self.package1).hexdigest()}"')
            status, headers, body = server.request("/release/client%201.0.zip", headers={"Range": "bytes=5-"})
            self.assertEqual((status, body), (206, self.package1[5:]))
            self.assertEqual(headers["Content-Range"], f"bytes 5-{len(self.package1) - 1}/{len(self.package1)}")
            config = server.json("/_config")[1]
            self.assertEqual((config["packageFileName"], config["packageSize"]), ("client 1.0.zip", len(self.package1)))
            for other in ("/release/client%202.0.zip", "/release/", "/release/../first/version.json"):
                with self.subTest(path=other):
                    self.assertEqual(server.request(other)[0], 404)

    def test_config_moves_from_one_release_to_the_next_and_back_to_the_client(self):
        with Server("--version", "0.9") as server:
            self.assertEqual(server.request("/release/version.json")[0], 404)
            _, before, _ = server.request(PACKAGE.replace("1.0.0", "0.9"))
            for folder, answer, package, name in ((self.first, self.answer1, self.package1, "client%201.0.zip"),
                                                  (self.second, self.answer2, self.package2, "client%202.0.zip")):
                with self.subTest(release=folder.name):
                    self.assertEqual(server.json(f"/_config?release={quote(str(folder))}")[0], 200)
                    self.assertEqual(server.request("/release/version.json")[2], answer)
                    status, after, body = server.request(f"/release/{name}")
                    self.assertEqual((status, body), (200, package))
                    self.assertGreater(email.utils.parsedate_to_datetime(after["Last-Modified"]),
                                       email.utils.parsedate_to_datetime(before["Last-Modified"]))
                    before = after
            self.assertEqual(server.request("/release/client%201.0.zip")[0], 404)
            server.request("/_config?release=")
            self.assertEqual(server.json("/version")[1]["Version"], "0.9")
            self.assertEqual(server.request("/release/version.json")[0], 404)

    def test_failure_switches_apply_to_the_release(self):
        with Server("--release", str(self.first), "--version-failures", "1", "--package-damaged", "truncated") as server:
            self.assertEqual(server.request("/release/version.json")[0], 500)
            self.assertEqual(server.request("/release/version.json")[2], self.answer1)
            self.assertEqual(server.request("/release/client%201.0.zip")[2], self.package1[:len(self.package1) // 2])
            server.request("/_config?version-json=%7B%7D&version-status=200")
            self.assertEqual(server.request("/version")[2], b"{}")

    def test_folders_that_are_no_release_are_refused(self):
        root = Path(self.temp.name)
        (root / "empty").mkdir()
        (root / "no-url").mkdir()
        (root / "no-url" / "version.json").write_text('{"Version": "1.0"}')
        (self.second / "client 2.0.zip").unlink()
        with Server("--release", str(self.first)) as server:
            for folder in (root / "empty", root / "no-url", self.second, root / "missing"):
                with self.subTest(folder=folder.name):
                    result = subprocess.run([sys.executable, str(DEVSERVER), "--lifetime", "2", "--release", str(folder)],
                                            capture_output=True, text=True, timeout=10)
                    self.assertEqual((result.returncode, result.stdout), (2, ""))
                    self.assertEqual(server.json(f"/_config?release={quote(str(folder))}")[0], 400)
                    self.assertEqual(server.request("/version")[2], self.answer1)


class LauncherFolder(unittest.TestCase):
    def test_folder_from_the_command_line(self):
        with tempfile.TemporaryDirectory() as temp:
            launcher = Path(temp) / "launcher.exe"
            launcher.write_bytes(b"MZ")
            folder = Path(temp) / "run"
            subprocess.run([sys.executable, str(HERE / "make_launcher_folder.py"), str(folder), "--port", "4321",
                            "--launcher", str(launcher), "--set", "DownloadRetry=0", "--set", "Title=Über",
                            "--set", "ServerUrl={base}/v2", "--set-json", "PlatformId=\"7\"", "--unset", "GameDir",
                            "--login-query", "auto=alice", "--version-file", '{"Version": "0.9", "Channel": "beta"}'],
                           check=True, capture_output=True, timeout=30)
            settings = json.loads((folder / "Setting.json").read_text(encoding="utf-8"))
            expected_keys = set(make_launcher_folder.default_settings(1, "x")) - {"GameDir"}
            self.assertEqual(set(settings), expected_keys)
            self.assertEqual(settings["ExeName"], "sample_game.exe")
            self.assertEqual(settings["DownloadRetry"], 0)
            self.assertEqual(settings["Title"], "Über")
            self.assertEqual(settings["PlatformId"], "7")
            self.assertEqual(settings["ServerUrl"], "http://127.0.0.1:4321/v2")
            self.assertEqual(settings["LoginUrl"], "http://127.0.0.1:4321/login?auto=alice")
            self.assertEqual((folder / "launcher.exe").read_bytes(), b"MZ")
            self.assertEqual(json.loads((folder / "Version.json").read_text()), {"Version": "0.9", "Channel": "beta"})
            self.check_pictures(folder, settings)

    def test_defaults_without_launcher_or_version_file(self):
        with tempfile.TemporaryDirectory() as temp:
            pictures = Path(temp) / "pictures"
            make_launcher_folder.make_pictures.write_pictures(pictures)
            settings = make_launcher_folder.make_launcher_folder(Path(temp) / "run", 80, pictures=pictures)
            self.assertEqual(settings["ExeName"], "sample_game")
            self.assertEqual(settings["BaseDir"], "client")
            self.assertEqual(sorted(p.name for p in (Path(temp) / "run").iterdir()),
                             ["Setting.json", "background.png", "progress_back.png", "progress_front.png"])

    def check_pictures(self, folder, settings):
        width, height, channels, background = read_png(folder / settings["Background"])
        self.assertEqual((width, height, channels), (1100, 660, 3))
        # The status text area at the bottom is darker than the middle, so white text reads well.
        self.assertLess(mean_brightness(width, channels, background, (300, 593, 800, 630)),
                        mean_brightness(width, channels, background, (300, 250, 800, 300)))
        back = read_png(folder / settings["ProgressBack"])
        front = read_png(folder / settings["ProgressFront"])
        self.assertEqual(back[:3], (500, 30, 4))
        self.assertEqual(front[:3], (500, 30, 4))
        inside = (20, 5, 480, 25)
        self.assertGreater(mean_brightness(500, 4, front[3], inside), 2 * mean_brightness(500, 4, back[3], inside))
        # Rounded ends: a transparent corner, an opaque middle.
        self.assertEqual(front[3][3], 0)
        self.assertEqual(front[3][(15 * 500 + 250) * 4 + 3], 255)


if __name__ == "__main__":
    unittest.main()
