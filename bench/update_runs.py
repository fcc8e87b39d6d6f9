"""What the update benchmarks share: a client and its next version written from a seeded
generator and published with tools/publish, the development server, an Xvfb display,
and the real launcher run to its end with its memory sampled from /proc."""

import json
import os
import random
import shutil
import statistics
import subprocess
import sys
import threading
import time
import urllib.parse
import urllib.request

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DEVSERVER = os.path.join(ROOT, "tools", "devserver", "devserver")
PUBLISH = os.path.join(ROOT, "tools", "publish", "publish")
sys.path.insert(0, os.path.join(ROOT, "tools", "devserver"))

HTTP = urllib.request.build_opener(urllib.request.ProxyHandler({}))
MIB = 1024 * 1024
SAMPLE_SECONDS = 0.01


def wait_until(predicate, timeout, step=0.05):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(step)
    return predicate()


class Processes:
    """Every process this script starts, ended by PID on the way out."""

    def __init__(self):
        self.started = []

    def start(self, arguments, **options):
        process = subprocess.Popen(arguments, **options)
        self.started.append(process)
        return process

    def end_all(self):
        for process in reversed(self.started):
            if process.poll() is None:
                process.terminate()
                try:
                    process.wait(10)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()


# --- the client and its releases -------------------------------------------------------

def text_bytes(rng, size):
    words = [bytes(rng.choice(b"abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(2, 9))) for _ in range(500)]
    out = bytearray()
    while len(out) < size:
        out += rng.choice(words) + (b"\n" if rng.random() < 0.1 else b" ")
    return bytes(out[:size])


def file_body(rng, size, text):
    # Sizes and choices come from the seeded generator; the noise itself need not.
    return text_bytes(rng, size) if text else os.urandom(size)


def write_file(path, body):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(body)


def make_client(folder, rng, game, size_classes, folders):
    """Version 1.0.0: the sample game and data files in `folders` folders, by size class
    (count, smallest and largest size in bytes); returns name -> size."""
    os.makedirs(folder)
    shutil.copy2(game, folder)
    sizes = {}
    index = 0
    for count, smallest, largest in size_classes:
        for _ in range(count):
            name = f"data/g{index % folders:02d}/f{index:05d}.bin"
            size = rng.randint(smallest, largest)
            text = largest <= 16 * 1024 and index % 5 == 0
            write_file(os.path.join(folder, name), file_body(rng, size, text))
            sizes[name] = size
            index += 1
    return sizes


def make_next_version(old, new, sizes, rng, counts, folders):
    """1.1.0: unchanged files linked from 1.0.0, counts = (changed, added, removed)
    entries, picked at random so they spread through the package; returns the names."""
    changed_count, added_count, removed_count = counts
    names = sorted(sizes)
    picked = rng.sample(names, changed_count + removed_count)
    changed, removed = picked[:changed_count], picked[changed_count:]
    added = [f"data/g{rng.randrange(folders):02d}/new{i:03d}.bin" for i in range(added_count)]
    for top, _, files in os.walk(old):
        for name in files:
            path = os.path.join(top, name)
            target = os.path.join(new, os.path.relpath(path, old))
            os.makedirs(os.path.dirname(target), exist_ok=True)
            os.link(path, target)
    for name in removed:
        os.remove(os.path.join(new, name))
    for name in changed + added:
        target = os.path.join(new, name)
        if os.path.exists(target):
            os.remove(target)  # a link: 1.0.0's file must stay as it is
        write_file(target, file_body(rng, rng.randint(1024, 2 * sizes.get(name, 64 * 1024)), False))
    return changed, added, removed


def publish(client, version, base, out):
    subprocess.run([PUBLISH, "--client", client, "--version", version, "--base-url", f"{base}/release",
                    "--report-url", f"{base}/report", "--out", out], check=True, stdout=subprocess.DEVNULL)


def tree_sizes(folder):
    """Relative path -> size of every file below the folder, but the release's own file
    list (`.release/`), which the package adds to the client."""
    found = {}
    for top, _, files in os.walk(folder):
        for name in files:
            path = os.path.join(top, name)
            relative = os.path.relpath(path, folder)
            if not relative.startswith(".release" + os.sep):
                found[relative] = os.path.getsize(path)
    return found


# --- the development server and the launcher -------------------------------------------

class Server:
    """The development server, for as long as the bench runs (an hour at most)."""

    def __init__(self, processes, work, *options):
        port_file = os.path.join(work, "port")
        self.log = open(os.path.join(work, "devserver.log"), "w")
        processes.start([DEVSERVER, "--port", "0", "--port-file", port_file, "--lifetime", "3600", *options],
                        stdout=self.log, stderr=subprocess.STDOUT)
        if not wait_until(lambda: os.path.exists(port_file), 10):
            raise RuntimeError("the development server did not start")
        with open(port_file) as f:
            self.port = int(f.read())
        self.base = f"http://127.0.0.1:{self.port}"

    def get(self, path, **query):
        url = self.base + path + ("?" + urllib.parse.urlencode(query) if query else "")
        with HTTP.open(url, timeout=120) as response:
            return json.load(response)


def start_xvfb(processes):
    for _ in range(20):
        display = f":{random.randint(300, 899)}"
        if os.path.exists(f"/tmp/.X11-unix/X{display[1:]}"):
            continue
        xvfb = processes.start(["Xvfb", display, "-screen", "0", "1920x1080x24", "-nolisten", "tcp"],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        environment = dict(os.environ, DISPLAY=display)
        ready = wait_until(lambda: xvfb.poll() is not None or subprocess.run(
            ["xdpyinfo"], env=environment, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0, 10)
        if ready and xvfb.poll() is None:
            return display
    raise RuntimeError("no Xvfb display could be started")


def proc_status_kib(pid):
    """(VmRSS, VmHWM) in KiB, or None once the process is gone."""
    try:
        with open(f"/proc/{pid}/status") as f:
            fields = dict(line.split(":", 1) for line in f if ":" in line)
        return int(fields["VmRSS"].split()[0]), int(fields["VmHWM"].split()[0])
    except (OSError, KeyError, ValueError):
        return None


def sample_memory(pid, samples, stop):
    """(wall time, VmRSS, VmHWM) every 10 ms while the process lives."""
    while not stop.is_set():
        status = proc_status_kib(pid)
        if status is None:
            return
        samples.append((time.time(), *status))
        time.sleep(SAMPLE_SECONDS)


def run_launcher(processes, folder, environment):
    """Runs the launcher to its end; returns the memory samples."""
    game_record = os.path.join(folder, "game-args.json")
    if os.path.exists(game_record):
        os.remove(game_record)
    with open(os.path.join(folder, "launcher.log"), "wb") as log:
        launcher = processes.start(["./launcher"], cwd=folder, env=environment, stdout=log, stderr=subprocess.STDOUT)
        samples, stop = [], threading.Event()
        sampler = threading.Thread(target=sample_memory, args=(launcher.pid, samples, stop))
        sampler.start()
        try:
            code = launcher.wait(600)
        finally:
            stop.set()
            sampler.join()
    if code != 0 or not wait_until(lambda: os.path.exists(game_record), 10):
        raise RuntimeError(f"the launcher in {folder} did not start the game (exit code {code})")
    return samples


def game_started(folder):
    with open(os.path.join(folder, "game-args.json")) as f:
        return json.load(f)["startedMs"] / 1000.0


def set_settings(folder, **values):
    path = os.path.join(folder, "Setting.json")
    with open(path, encoding="utf-8") as f:
        settings = json.load(f)
    settings.update(values)
    with open(path, "w", encoding="utf-8") as f:
        f.write(json.dumps(settings, indent=2, ensure_ascii=False) + "\n")


def mib(value):
    return "-" if value is None else f"{value / MIB:.1f} MiB"


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def check_binaries(bin_dir, name, more=()):
    for program in ("launcher", "sample_game") + tuple(more):
        if not os.access(os.path.join(bin_dir, program), os.X_OK):
            sys.exit(f"{name}: no {program} in {bin_dir}; build the release preset first")
