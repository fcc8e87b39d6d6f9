#!/usr/bin/env python3
"""Publishes a release of the game client for any static HTTP server or CDN.

  publish.py --client DIR --version V --base-url URL [--report-url URL] --out DIR
             [--package-file NAME] [--sign KEY] [--serial N] [--expires TIME] [--allow-older]
  publish.py keygen DIR

The release folder gets the package (a deflated zip of the client folder, entries in
byte order of their names, times and Unix permission bits from the files, names
UTF-8) and the version answer `version.json`, written last so that a folder being
served never announces a package that is not there yet. The same folder gives the
same package byte for byte. A folder holding a name the launcher's extractor would
refuse, or would place differently on Windows, is refused with nothing written.

Every file of BLOCK_THRESHOLD bytes or more is deflated in blocks of BLOCK_SIZE input
bytes, each ending in a full flush (a block that does not shrink is stored), so each
block's compressed bytes can be inflated on their own while the entry stays one
ordinary deflate stream. `.release/blocks` then describes those blocks (see
BlockMap), so a launcher holding an older copy of such a file fetches only the blocks
it lacks.

The package ends with `.release/files.sha256`, every file entry's SHA-256 and name,
and the answer carries its hash as `FileListSha256` and the release's `Serial` (--serial,
or one more than the answer already in the folder). A version older than that answer's
is refused unless --allow-older. With --sign KEY (a private key from `keygen`) the
answer carries a `Signature` too. Signing needs python3-cryptography; everything else
is the standard library.
"""

import argparse
import base64
import datetime
import hashlib
import json
import os
import re
import stat
import struct
import sys
import time
import zlib
from dataclasses import dataclass
from urllib.parse import quote, urlsplit, urlunsplit

ANSWER_FILE = "version.json"
FILE_LIST = ".release/files.sha256"
BLOCK_MAP = ".release/blocks"
# Files this large are deflated in independent blocks of BLOCK_SIZE input bytes.
BLOCK_THRESHOLD = 4 << 20
BLOCK_SIZE = 512 << 10
# How much of a block's start tells whether deflating it is worth the time.
BLOCK_PROBE = 4096
PRIVATE_KEY_FILE = "release-key.pem"
PUBLIC_KEY_FILE = "release-key.pub"
# The extractor reads a name into a buffer of this many bytes, terminator included.
NAME_BYTES_LIMIT = 260
# Entry sizes are signed 32-bit in the launcher's zip reader, and it takes no zip64.
ENTRY_SIZE_LIMIT = 2**31 - 1
ENTRY_COUNT_LIMIT = 0xFFFF
OFFSET_LIMIT = 2**32 - 1
VERSION_PATTERN = re.compile(r"[0-9A-Za-z][0-9A-Za-z._+-]*")
DEVICE_NAMES = {"con", "prn", "aux", "nul", "conin$", "conout$"}
DEVICE_DIGITS = set("0123456789\u00b9\u00b2\u00b3")
# Characters no Windows file name may hold.
WINDOWS_FORBIDDEN = set('<>:"|?*\\') | {chr(c) for c in range(32)}
CHUNK = 1 << 20


class PublishError(Exception):
    pass


# --- what goes into the package --------------------------------------------------------

@dataclass(frozen=True)
class Entry:
    name: str          # archive name: "/"-separated, a folder's ends with "/"
    path: str          # on disk; None for content made here
    is_dir: bool
    mode: int          # Unix permission bits
    mtime: int         # Unix seconds
    size: int


def name_problem(name):
    """Why the launcher's extractor would refuse a "/"-separated name, or place it
    differently on Windows than on Linux; None when the name is fine."""
    if len(name.encode("utf-8", "surrogateescape")) >= NAME_BYTES_LIMIT:
        return f"longer than {NAME_BYTES_LIMIT - 1} bytes"
    for part in name.rstrip("/").split("/"):
        if any("\udc80" <= c <= "\udcff" for c in part):
            return "not valid UTF-8"
        if part.count(".") >= 2 and part.strip(". ") == "":
            return f"{part!r} is a parent step"
        bad = sorted(set(part) & WINDOWS_FORBIDDEN)
        if bad:
            return f"{part!r} holds {', '.join(repr(c) for c in bad)}"
        if part.endswith((".", " ")):
            return f"{part!r} ends in a dot or space, which Windows drops"
        if is_device_name(part):
            return f"{part!r} is a device on Windows"
    return None


def is_device_name(part):
    """Windows ignores everything from the first dot and trailing spaces, in any case."""
    stem = part.split(".", 1)[0].rstrip(" ").lower()
    return stem in DEVICE_NAMES or (len(stem) == 4 and stem[:3] in ("com", "lpt") and stem[3] in DEVICE_DIGITS)


def collect(client, reserved):
    """Everything below the folder as entries in package order (byte order of the UTF-8
    names, so a folder comes right before its content). Raises PublishError naming
    every problem found."""
    entries, problems = [], []
    for root, dirs, files in os.walk(client, onerror=_raise):
        for name in dirs + files:
            path = os.path.join(root, name)
            archive_name = os.path.relpath(path, client).replace(os.sep, "/")
            entry, problem = _entry(path, archive_name, reserved)
            if problem:
                problems.append(f"{archive_name}: {problem}")
            elif entry:
                entries.append(entry)
    problems += _case_collisions(entries)
    if problems:
        raise PublishError("the client folder cannot be published:\n  " + "\n  ".join(sorted(problems)))
    if not any(not e.is_dir for e in entries):
        raise PublishError(f"{client} holds no files")
    if len(entries) + 1 > ENTRY_COUNT_LIMIT:
        raise PublishError(f"more than {ENTRY_COUNT_LIMIT - 1} entries (the launcher reads no zip64)")
    return sorted(entries, key=lambda e: e.name.encode("utf-8"))


def _raise(error):
    raise PublishError(f"cannot read {error.filename}: {error.strerror}")


def _entry(path, archive_name, reserved):
    """(entry, None) or (None, why it cannot be published)."""
    info = os.lstat(path)
    if stat.S_ISLNK(info.st_mode):
        return None, "a symbolic link (the Windows launcher cannot make links)"
    if not (stat.S_ISDIR(info.st_mode) or stat.S_ISREG(info.st_mode)):
        return None, "neither a file nor a folder"
    is_dir = stat.S_ISDIR(info.st_mode)
    name = archive_name + "/" if is_dir else archive_name
    problem = name_problem(name)
    if problem:
        return None, problem
    if archive_name.split("/")[0] == reserved:
        return None, f"{reserved!r} is where the package keeps its file list"
    if not is_dir and info.st_size > ENTRY_SIZE_LIMIT:
        return None, f"bigger than {ENTRY_SIZE_LIMIT} bytes"
    if not os.access(path, os.R_OK | (os.X_OK if is_dir else 0)):
        return None, "not readable"
    return Entry(name, path, is_dir, stat.S_IMODE(info.st_mode) & 0o777, int(info.st_mtime),
                 0 if is_dir else info.st_size), None


def _case_collisions(entries):
    """Names that differ in letter case only land on one file on Windows."""
    seen, problems = {}, []
    for entry in entries:
        key = entry.name.rstrip("/").casefold()
        if key in seen:
            problems.append(f"{entry.name}: the same name as {seen[key]} on Windows (letter case)")
        seen.setdefault(key, entry.name)
    return problems


# --- the zip writer ------------------------------------------------------------------

def dos_date_time(mtime):
    """DOS date and time fields, in UTC so the package does not depend on the machine's
    time zone (the extended timestamp carries the exact time anyway)."""
    t = time.gmtime(min(max(mtime, 315532800), 4354819198))  # 1980-01-01 .. 2107-12-31
    return (t.tm_year - 1980) << 9 | t.tm_mon << 5 | t.tm_mday, t.tm_hour << 11 | t.tm_min << 5 | t.tm_sec // 2


def extended_timestamp(mtime):
    """The "UT" extra block with the modification time; the same block serves the local
    and the central header."""
    return struct.pack("<HHBi", 0x5455, 5, 1, min(max(mtime, -2**31), 2**31 - 1))


class ZipWriter:
    """Writes entries one by one into a seekable file: deflated data streamed from the
    source, the local header's CRC and sizes filled in afterwards (no data descriptor),
    then the central directory."""

    MADE_BY = 3 << 8 | 30  # Unix, format 3.0
    UTF8_NAMES = 0x0800

    def __init__(self, out):
        self.out = out
        self.central = []

    def add(self, entry, chunks, blocks=None):
        """chunks: the entry's content as an iterable of bytes (nothing for a folder).
        With `blocks` (a BlockMap), the content is deflated in independent blocks, each
        recorded there. Returns the SHA-256 of the content."""
        name = entry.name.encode("utf-8")
        extra = extended_timestamp(entry.mtime)
        date, clock = dos_date_time(entry.mtime)
        method = 8 if entry.size else 0
        offset = self.out.tell()
        header = struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, self.UTF8_NAMES, method, clock, date, 0, 0, 0,
                             len(name), len(extra))
        self.out.write(header + name + extra)
        if blocks is not None and method:
            crc, compressed, size, digest = self._write_blocks(chunks, blocks.begin(entry.name))
        else:
            crc, compressed, size, digest = self._write_data(chunks, method)
        if size != entry.size:
            raise PublishError(f"{entry.name} changed while it was packed")
        end = self.out.tell()
        self.out.seek(offset + 14)
        self.out.write(struct.pack("<III", crc, compressed, size))
        self.out.seek(end)
        kind = stat.S_IFDIR if entry.is_dir else stat.S_IFREG
        external = (kind | entry.mode) << 16 | (0x10 if entry.is_dir else 0)
        self._check_offset(offset, entry.name)
        self.central.append(struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, self.MADE_BY, 20, self.UTF8_NAMES,
                                        method, clock, date, crc, compressed, size, len(name), len(extra), 0, 0,
                                        0, external, offset) + name + extra)
        return digest

    def _write_data(self, chunks, method):
        crc, compressed, size = 0, 0, 0
        digest = hashlib.sha256()
        deflate = zlib.compressobj(zlib.Z_DEFAULT_COMPRESSION, zlib.DEFLATED, -15)
        for chunk in chunks:
            crc = zlib.crc32(chunk, crc)
            size += len(chunk)
            digest.update(chunk)
            data = deflate.compress(chunk) if method else chunk
            compressed += len(data)
            self.out.write(data)
        if method:
            data = deflate.flush()
            compressed += len(data)
            self.out.write(data)
        if compressed > ENTRY_SIZE_LIMIT:
            raise PublishError(f"an entry compresses to more than {ENTRY_SIZE_LIMIT} bytes")
        return crc, compressed, size, digest.hexdigest()

    def _write_blocks(self, chunks, record):
        crc, compressed, size = 0, 0, 0
        digest = hashlib.sha256()
        deflate = zlib.compressobj(zlib.Z_DEFAULT_COMPRESSION, zlib.DEFLATED, -15)
        for block in reblock(chunks, BLOCK_SIZE):
            crc = zlib.crc32(block, crc)
            size += len(block)
            digest.update(block)
            data = deflated_block(deflate, block)
            record.append((zlib.adler32(block), hashlib.sha256(block).digest()[:BlockMap.STRONG], len(data)))
            compressed += len(data)
            self.out.write(data)
        data = deflate.flush()
        compressed += len(data)
        self.out.write(data)
        if compressed > ENTRY_SIZE_LIMIT:
            raise PublishError(f"an entry compresses to more than {ENTRY_SIZE_LIMIT} bytes")
        return crc, compressed, size, digest.hexdigest()

    def finish(self):
        start = self.out.tell()
        for record in self.central:
            self.out.write(record)
        size = self.out.tell() - start
        self._check_offset(start + size, "the central directory")
        count = len(self.central)
        self.out.write(struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, count, count, size, start, 0))

    @staticmethod
    def _check_offset(offset, what):
        if offset > OFFSET_LIMIT:
            raise PublishError(f"the package grows past 4 GiB at {what} (the launcher reads no zip64)")


def reblock(chunks, size):
    """The bytes of `chunks` in pieces of `size` bytes, the last one shorter."""
    pending = bytearray()
    for chunk in chunks:
        pending += chunk
        while len(pending) >= size:
            yield bytes(pending[:size])
            del pending[:size]
    if pending:
        yield bytes(pending)


def stored_blocks(block):
    """`block` as non-final stored deflate blocks (at most 65,535 bytes each)."""
    parts = []
    for start in range(0, len(block), 0xFFFF):
        part = block[start:start + 0xFFFF]
        parts.append(struct.pack("<BHH", 0, len(part), len(part) ^ 0xFFFF) + part)
    return b"".join(parts)


def deflated_block(deflate, block):
    """`block` deflated after a full flush (byte-aligned, no reference to earlier bytes),
    or stored when that is not larger. The compressor starts every block afresh, so
    dropping its output for a stored block leaves the stream sound. A block whose start
    does not shrink at the fastest level is stored without trying: deflating data that
    is already compressed costs most of the time and gains nothing."""
    stored = stored_blocks(block)
    probe = block[:BLOCK_PROBE]
    if len(zlib.compress(probe, 1)) >= len(probe):
        return stored
    data = deflate.compress(block) + deflate.flush(zlib.Z_FULL_FLUSH)
    return data if len(data) < len(stored) else stored


class BlockMap:
    """`.release/blocks`, little-endian: the magic, the number of files, then per file its
    name (u16 length, UTF-8), block size (u32), size (u64), number of blocks (u32) and
    per block the Adler-32 of its bytes (u32), the first STRONG bytes of their SHA-256 and
    the length of its compressed bytes (u32). A block's compressed bytes follow the
    previous block's, from the first byte of the entry's data."""

    MAGIC = b"LBM1"
    STRONG = 16

    def __init__(self):
        self.files = []

    def begin(self, name):
        blocks = []
        self.files.append((name, blocks))
        return blocks

    def encode(self, sizes):
        out = [self.MAGIC, struct.pack("<I", len(self.files))]
        for name, blocks in self.files:
            encoded = name.encode("utf-8")
            out.append(struct.pack("<H", len(encoded)) + encoded)
            out.append(struct.pack("<IQI", BLOCK_SIZE, sizes[name], len(blocks)))
            out.extend(struct.pack("<I", weak) + strong + struct.pack("<I", length) for weak, strong, length in blocks)
        return b"".join(out)


def file_chunks(path):
    with open(path, "rb") as source:
        while chunk := source.read(CHUNK):
            yield chunk


def write_package(out, entries, progress=None):
    """Writes the package, its block map (when a file is large enough to have one) and its
    file list last; returns the file list text. `progress` is called with the files and
    bytes written so far after each file."""
    writer = ZipWriter(out)
    block_map = BlockMap()
    lines = []
    files = written = 0
    for entry in entries:
        blocks = block_map if not entry.is_dir and entry.size >= BLOCK_THRESHOLD else None
        digest = writer.add(entry, () if entry.is_dir else file_chunks(entry.path), blocks)
        if not entry.is_dir:
            lines.append(f"{digest}  {entry.name}\n")
            files += 1
            written += entry.size
            if progress:
                progress(files, written)
    newest = max(e.mtime for e in entries if not e.is_dir)
    if block_map.files:
        encoded = block_map.encode({e.name: e.size for e in entries})
        digest = writer.add(Entry(BLOCK_MAP, None, False, 0o644, newest, len(encoded)), [encoded])
        lines.append(f"{digest}  {BLOCK_MAP}\n")
    file_list = "".join(lines).encode("utf-8")
    writer.add(Entry(FILE_LIST, None, False, 0o644, newest, len(file_list)), [file_list])
    writer.finish()
    return file_list


class Progress:
    """A progress line on a terminal, once writing has taken more than a few seconds."""

    DELAY = 3.0
    INTERVAL = 0.5

    def __init__(self, stream, total_files, total_bytes):
        self.stream = stream
        self.total_files = total_files
        self.total_bytes = total_bytes
        self.start = time.monotonic()
        self.last = None
        self.enabled = stream.isatty()

    def __call__(self, files, written):
        if not self.enabled:
            return
        now = time.monotonic()
        if now - self.start < self.DELAY or (self.last is not None and now - self.last < self.INTERVAL):
            return
        self.last = now
        self.stream.write(f"\rpublish: {files}/{self.total_files} files, {written}/{self.total_bytes} bytes")
        self.stream.flush()

    def end(self):
        if self.enabled and self.last is not None:
            self.stream.write("\n")
            self.stream.flush()


# --- signing -------------------------------------------------------------------------

def _crypto():
    try:
        from cryptography.hazmat.primitives import hashes, serialization
        from cryptography.hazmat.primitives.asymmetric import ec, utils
    except ImportError:
        raise PublishError("signing needs python3-cryptography (scripts/setup installs it)") from None
    return hashes, serialization, ec, utils


def public_key_text(private_key):
    """The `ReleasePublicKey` value: base64 of the SubjectPublicKeyInfo DER."""
    _, serialization, _, _ = _crypto()
    der = private_key.public_key().public_bytes(serialization.Encoding.DER,
                                                serialization.PublicFormat.SubjectPublicKeyInfo)
    return base64.b64encode(der).decode("ascii")


def load_private_key(path):
    _, serialization, ec, _ = _crypto()
    try:
        with open(path, "rb") as source:
            data = source.read()
    except OSError as error:
        raise PublishError(f"cannot read the private key {path}: {error.strerror}") from None
    try:
        key = serialization.load_pem_private_key(data, password=None)
    except Exception:
        # The library's own messages name parser internals; the studio needs to know
        # which file is wrong and what it should be.
        raise PublishError(f"{path} is not a private key from 'publish keygen' "
                           "(an unencrypted PEM ECDSA P-256 key)") from None
    if not isinstance(key, ec.EllipticCurvePrivateKey) or key.curve.name != "secp256r1":
        raise PublishError(f"{path} is not an ECDSA P-256 private key")
    return key


def signed_message(answer):
    """What the signature covers: each value as text (empty when absent), each followed by
    a line feed."""
    fields = ("Version", "PackageUrl", "PackageSize", "PackageSha256", "FileListSha256", "ReportOperationUrl",
              "Serial", "Expires")
    return "".join(f"{answer.get(field, '')}\n" for field in fields).encode("utf-8")


def sign(private_key, message):
    """Base64 of the raw signature: r then s, 32 bytes each, big-endian."""
    hashes, _, ec, utils = _crypto()
    r, s = utils.decode_dss_signature(private_key.sign(message, ec.ECDSA(hashes.SHA256())))
    return base64.b64encode(r.to_bytes(32, "big") + s.to_bytes(32, "big")).decode("ascii")


def keygen(folder):
    """Writes a new key pair into the folder; returns the public key text."""
    _, serialization, ec, _ = _crypto()
    private_path = os.path.join(folder, PRIVATE_KEY_FILE)
    if os.path.lexists(private_path):
        raise PublishError(f"{private_path} exists already; a new key would orphan every launcher that trusts it")
    key = ec.generate_private_key(ec.SECP256R1())
    pem = key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                            serialization.NoEncryption())
    public = public_key_text(key)
    os.makedirs(folder, mode=0o700, exist_ok=True)
    descriptor = os.open(private_path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    with os.fdopen(descriptor, "wb") as out:
        out.write(pem)
    _write_atomically(os.path.join(folder, PUBLIC_KEY_FILE), f"{public}\n".encode("ascii"))
    return public


# --- publishing ----------------------------------------------------------------------

def check_arguments(args):
    if not os.path.isdir(args.client):
        raise PublishError(f"{args.client} is not a folder")
    if not VERSION_PATTERN.fullmatch(args.version):
        raise PublishError(f"version {args.version!r}: use letters, digits and . _ + - only "
                           "(it becomes part of the package's file name)")
    # A signed CDN address keeps its query; the report address gets the launcher's own.
    for option, url, query_allowed in (("--base-url", args.base_url, True), ("--report-url", args.report_url, False)):
        if url is None:
            continue
        parts = urlsplit(url)
        if parts.scheme not in ("http", "https") or not parts.netloc or parts.fragment or (parts.query and not query_allowed):
            what = "without fragment" if query_allowed else "without query"
            raise PublishError(f"{option} {url!r} is not an http or https address {what}")
    package_file = args.package_file or f"client_{args.version}.zip"
    if "/" in package_file or name_problem(package_file) or package_file == ANSWER_FILE:
        raise PublishError(f"--package-file {package_file!r} is not a plain file name")
    client, out = os.path.realpath(args.client), os.path.realpath(args.out)
    if os.path.commonpath([client, out]) == client:
        raise PublishError("the release folder must not lie inside the client folder")
    return package_file


def previous_answer(out):
    """The answer already in the release folder, or None."""
    path = os.path.join(out, ANSWER_FILE)
    try:
        with open(path, "rb") as source:
            answer = json.loads(source.read().decode("utf-8"))
    except FileNotFoundError:
        return None
    except (OSError, ValueError) as error:
        raise PublishError(f"cannot read the earlier answer {path}: {error}") from None
    if not isinstance(answer, dict):
        raise PublishError(f"the earlier answer {path} is not a JSON object")
    return answer


def release_serial(args, previous):
    """--serial, or one more than the earlier answer's (1 without one)."""
    if args.serial is not None:
        return args.serial
    serial = (previous or {}).get("Serial", 0)
    if not isinstance(serial, int) or isinstance(serial, bool) or serial < 0:
        raise PublishError(f"the earlier answer's Serial {serial!r} is not a whole number; give --serial")
    return serial + 1


def version_key(version):
    """Dotted numbers as a tuple without trailing zeros (1.2 == 1.2.0 < 1.10); None for
    any other form."""
    if not re.fullmatch(r"[0-9]+(\.[0-9]+)*", version):
        return None
    numbers = [int(part) for part in version.split(".")]
    while len(numbers) > 1 and numbers[-1] == 0:
        numbers.pop()
    return tuple(numbers)


def is_older(version, earlier):
    new_key, old_key = version_key(version), version_key(earlier)
    if new_key is not None and old_key is not None:
        return new_key < old_key
    return version < earlier


def check_not_older(args, previous):
    earlier = (previous or {}).get("Version")
    if args.allow_older or not isinstance(earlier, str) or not is_older(args.version, earlier):
        return
    raise PublishError(f"version {args.version} is older than {earlier}, the version {ANSWER_FILE} in {args.out} "
                       "announces; launchers would not move back to it. To roll back, publish with --allow-older "
                       "(it gets a new serial)")


def package_url(base_url, package_file):
    """The package's address below the base address; a query (a signed CDN address) stays
    at the end."""
    parts = urlsplit(base_url)
    path = f"{parts.path.rstrip('/')}/{quote(package_file)}"
    return urlunsplit((parts.scheme, parts.netloc, path, parts.query, ""))


def publish(args, progress_stream=None):
    package_file = check_arguments(args)
    previous = previous_answer(args.out)
    check_not_older(args, previous)
    serial = release_serial(args, previous)
    key = load_private_key(args.sign) if args.sign else None
    entries = collect(args.client, FILE_LIST.split("/")[0])
    os.makedirs(args.out, exist_ok=True)
    package_path = os.path.join(args.out, package_file)
    temporary = _temporary(package_path)
    files = [e for e in entries if not e.is_dir]
    progress = Progress(progress_stream, len(files), sum(e.size for e in files)) if progress_stream else None
    try:
        with open(temporary, "wb") as out:
            file_list = write_package(out, entries, progress)
        if progress:
            progress.end()
        size, digest = _size_and_sha256(temporary)
        answer = {
            "Version": args.version,
            "PackageUrl": package_url(args.base_url, package_file),
        }
        if args.report_url:
            answer["ReportOperationUrl"] = args.report_url
        answer.update(PackageSize=size, PackageSha256=digest, FileListSha256=hashlib.sha256(file_list).hexdigest(),
                      Serial=serial)
        if args.expires:
            answer["Expires"] = args.expires
        if key is not None:
            answer["Signature"] = sign(key, signed_message(answer))
        os.replace(temporary, package_path)
    finally:
        if os.path.exists(temporary):
            os.remove(temporary)
    _write_atomically(os.path.join(args.out, ANSWER_FILE), (json.dumps(answer, indent=2) + "\n").encode("utf-8"))
    return package_path, answer, len(files), sum(e.size for e in files)


def _temporary(path):
    folder, name = os.path.split(path)
    return os.path.join(folder, f".{name}.{os.getpid()}.tmp")


def _write_atomically(path, data):
    temporary = _temporary(path)
    try:
        with open(temporary, "wb") as out:
            out.write(data)
        os.replace(temporary, path)
    finally:
        if os.path.exists(temporary):
            os.remove(temporary)


def _size_and_sha256(path):
    digest = hashlib.sha256()
    for chunk in file_chunks(path):
        digest.update(chunk)
    return os.path.getsize(path), digest.hexdigest()


# --- command line --------------------------------------------------------------------

def _positive(text):
    if not re.fullmatch(r"[1-9][0-9]{0,17}", text):
        raise argparse.ArgumentTypeError(f"{text!r} is not a positive whole number")
    return int(text)


def _utc_time(text):
    try:
        datetime.datetime.strptime(text, "%Y-%m-%dT%H:%M:%SZ")
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a UTC time YYYY-MM-DDTHH:MM:SSZ") from None
    if not re.fullmatch(r"[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z", text):
        raise argparse.ArgumentTypeError(f"{text!r} is not a UTC time YYYY-MM-DDTHH:MM:SSZ")
    return text


def parse_publish(argv):
    parser = argparse.ArgumentParser(prog="publish", description=__doc__.split("\n\n")[0],
                                     epilog="'publish keygen DIR' writes a key pair for --sign.")
    parser.add_argument("--client", required=True, help="the client folder to publish")
    parser.add_argument("--version", required=True, help="the version it is published as")
    parser.add_argument("--base-url", required=True, help="address the release folder is served at")
    parser.add_argument("--report-url", help="the report endpoint (ReportOperationUrl); without it, no reports")
    parser.add_argument("--out", required=True, help="the release folder (created when missing)")
    parser.add_argument("--package-file", help="the package's file name (default client_VERSION.zip)")
    parser.add_argument("--sign", metavar="KEY", help="private key from 'keygen': sign the answer, add the file list")
    parser.add_argument("--allow-older", action="store_true",
                        help="publish a version older than the folder's current one (a roll-back)")
    parser.add_argument("--serial", type=_positive, help="the release's serial (default: the earlier answer's + 1)")
    parser.add_argument("--expires", type=_utc_time, metavar="YYYY-MM-DDTHH:MM:SSZ",
                        help="when launchers stop accepting this answer (UTC)")
    return parser.parse_args(argv)


def parse_keygen(argv):
    parser = argparse.ArgumentParser(prog="publish keygen",
                                     description="Writes a release key pair: keep the private key off every server.")
    parser.add_argument("folder", help=f"where {PRIVATE_KEY_FILE} and {PUBLIC_KEY_FILE} go")
    return parser.parse_args(argv)


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    try:
        if argv[:1] == ["keygen"]:
            folder = parse_keygen(argv[1:]).folder
            public = keygen(folder)
            print(f"ReleasePublicKey: {public}")
            print(f"publish: the private key is {os.path.join(folder, PRIVATE_KEY_FILE)}; it never leaves this "
                  "machine. Paste the ReleasePublicKey value into Setting.json.", file=sys.stderr)
            return 0
        package_path, answer, files, size = publish(parse_publish(argv), sys.stderr)
    except (PublishError, OSError) as error:
        print(f"publish: {error}", file=sys.stderr)
        return 1
    print(f"package {package_path}: {answer['PackageSize']} bytes, SHA-256 {answer['PackageSha256']}")
    print(f"answer {os.path.join(os.path.dirname(package_path), ANSWER_FILE)}: version {answer['Version']}, "
          f"serial {answer['Serial']}" + (", signed" if "Signature" in answer else ""))
    print(f"published {files} files, {size} bytes")
    return 0


if __name__ == "__main__":
    sys.exit(main())
