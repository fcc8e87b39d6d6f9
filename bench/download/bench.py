#!/usr/bin/env python3
"""Downloads one body from the loopback server in file mode with CDownloader
(download_bench), once as the launcher does without knowing the body and once checking
its size and SHA-256 as it arrives ("checked"), and with the curl command-line tool,
taking turns, and prints the median throughput of each, the ratios, CPU time and the
peak memory of each process.

CDownloader's worker runs at the lowest scheduling priority (SCHED_IDLE), so on a busy
machine it yields to everything else; curl is therefore also measured under
`chrt --idle 0`, which shows what is the downloader's own cost and what is the
scheduler's."""
import argparse
import hashlib
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

here = os.path.dirname(os.path.abspath(__file__))
server_script = os.path.join(here, '..', '..', 'tests', 'support', 'loopback_server.py')
TIME = '/usr/bin/time'  # GNU time (Debian package "time")
MiB = 2**20


def pattern_sha256(size):
    """SHA-256 of what the loopback server's "pattern" action sends: byte i is 'a' + i % 26."""
    block = bytes(ord('a') + i % 26 for i in range(26 * 40960))
    digest = hashlib.sha256()
    for offset in range(0, size, len(block)):
        digest.update(block[:min(len(block), size - offset)])
    return digest.hexdigest()


def timed_run(command, out_file, size, folder):
    """Runs `command`; returns (seconds, peak resident set in KiB, CPU seconds).

    The peak comes from GNU time: a child's own rusage would still count the memory of
    this Python process, which Linux carries over into the figure across fork and exec."""
    if os.path.exists(out_file):
        os.remove(out_file)
    os.sync()
    usage_file = os.path.join(folder, 'usage')
    start = time.perf_counter()
    result = subprocess.run([TIME, '-f', '%M %U %S', '-o', usage_file] + command)
    seconds = time.perf_counter() - start
    if result.returncode != 0 or os.path.getsize(out_file) != size:
        sys.exit('%s failed (status %d)' % (' '.join(command), result.returncode))
    os.remove(out_file)
    with open(usage_file) as f:
        peak, user, system = f.read().split()[-3:]
    return seconds, int(peak), float(user) + float(system)


def measure(label, runs, size, url, tools, folder):
    """{tool: [(seconds, peak KiB, cpu seconds)]}, the tools taking turns in both orders."""
    results = {tool: [] for tool in tools}
    for run in range(runs):
        order = list(tools) if run % 2 == 0 else list(reversed(tools))
        for tool in order:
            out_file = os.path.join(folder, 'body.bin')
            command = tools[tool](url, out_file, size)
            seconds, peak, cpu = timed_run(command, out_file, size, folder)
            results[tool].append((seconds, peak, cpu))
            print('  %-9s %s run %d: %6.3f s %8.1f MiB/s  cpu %5.2f s  peak %5.1f MiB' % (
                tool, label, run + 1, seconds, size / seconds / MiB, cpu, peak / 1024), flush=True)
    return results


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('program', help='the download_bench executable')
    parser.add_argument('--size', type=int, default=2**30, help='body size in bytes (default 1 GiB)')
    parser.add_argument('--runs', type=int, default=5, help='runs of each tool (default 5)')
    args = parser.parse_args()
    if not os.access(TIME, os.X_OK):
        sys.exit('needs GNU time: apt-get install time')

    program = os.path.abspath(args.program)
    curl = ['curl', '-s', '--fail', '--noproxy', '127.0.0.1']
    small = 16 * MiB
    checks = {size: pattern_sha256(size) for size in (small, args.size)}
    tools = {
        'ours': lambda url, out, size: [program, url, out],
        'checked': lambda url, out, size: [program, url, out, str(size), checks[size]],
        'curl': lambda url, out, size: curl + ['-o', out, url],
        'curl-idle': lambda url, out, size: ['chrt', '--idle', '0'] + curl + ['-o', out, url],
    }
    folder = tempfile.mkdtemp(prefix='download-bench-')
    try:
        subprocess.run([sys.executable, server_script, 'start', folder, '--lifetime', '3600'],
                       check=True, stdout=subprocess.DEVNULL)
        with open(os.path.join(folder, 'ports')) as f:
            port = dict(line.strip().split('=') for line in f if '=' in line)['http']
        base = 'http://127.0.0.1:%s/s/bench/pattern?size=' % port

        print('Body of %d MiB, once each (memory must not grow with the body):' % (small // MiB))
        small_results = measure('small', 1, small, base + str(small), tools, folder)
        print('Body of %d MiB, %d runs each, alternating:' % (args.size // MiB, args.runs))
        results = measure('large', args.runs, args.size, base + str(args.size), tools, folder)

        def median_throughput(tool):
            return statistics.median(args.size / seconds for seconds, _, _ in results[tool]) / MiB

        def median_cpu(tool):
            return statistics.median(cpu for _, _, cpu in results[tool])

        ours = median_throughput('ours')
        checked = median_throughput('checked')
        print()
        print('load average at the end: %.2f %.2f %.2f' % os.getloadavg())
        for tool in tools:
            print('%-9s median %8.1f MiB/s, median cpu %5.2f s, peak memory %5.1f MiB (%5.1f MiB with %d MiB)' % (
                tool, median_throughput(tool), median_cpu(tool), max(peak for _, peak, _ in results[tool]) / 1024,
                small_results[tool][0][1] / 1024, small // MiB))
        print('throughput ratio ours/curl:         %.3f (goal >= 0.95)' % (ours / median_throughput('curl')))
        print('throughput ratio ours/curl-idle:    %.3f' % (ours / median_throughput('curl-idle')))
        print('throughput ratio checked/ours:      %.3f (goal >= 0.9)' % (checked / ours))
        print('throughput ratio checked/curl:      %.3f (goal >= 1.2)' % (checked / median_throughput('curl')))
        print('throughput ratio checked/curl-idle: %.3f' % (checked / median_throughput('curl-idle')))
        for tool in ('ours', 'checked'):
            print('peak memory of %s: %.1f MiB (goal < 32 MiB)' % (
                tool, max(peak for _, peak, _ in results[tool]) / 1024))
    finally:
        subprocess.run([sys.executable, server_script, 'stop', folder])
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == '__main__':
    main()
