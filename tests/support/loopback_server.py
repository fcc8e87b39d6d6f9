#!/usr/bin/env python3
"""Scripted HTTP and HTTPS server on 127.0.0.1 for the downloader and reporter tests.

It runs natively, also for the Windows build whose tests run under Wine, and is shared
by all tests of a CTest run; each test keeps to its own key in the paths.

  loopback_server.py start DIR   start a server in the background; returns once it listens
  loopback_server.py stop DIR    ask that server to quit
  loopback_server.py serve DIR   run a server in the foreground

When it listens, the server writes DIR/ports with the lines "http=P", "https=P" (a
self-signed certificate for another host name, DIR/cert.pem), "https-named=P" (a
self-signed certificate for 127.0.0.1, DIR/named-cert.pem), "blackhole=P" (a port
whose accept queue is full, so a connection attempt hangs) and "closed=P" (nothing
listens). Where nginx is installed, it also starts one as its child, "nginx=P": HTTPS
with HTTP/2 and the certificate for 127.0.0.1, serving the stored bytes as
/KEY/NAME (strong ETags, several ranges a request as multipart/byteranges). It quits by
itself after --lifetime seconds, its nginx with it.

Requests to /s/KEY/ACTION[/ARGS]?PARAMS are logged under KEY, then answered by ACTION:
  status    codes=C1,C2,... answers the n-th request with Cn, the last code repeating;
            body=TEXT (default "<code> #<n>"); delay=MS before answering;
            location=PATH adds a Location header (a redirect); status/C1,C2,...
            takes the codes from the path, for callers that write the query themselves
  slow/MS   answers 200 after MS milliseconds (the query is free for the caller)
  chain/N   redirects (302) to chain/N-1 while N > 0, then answers 200 "end of chain"
  pattern   size=N pattern bytes (byte i is 'a' + i % 26); chunked=1 hides the length;
            chunk=BYTES and pause=MS between chunks
  ranged    pattern bytes that answer range requests ("Range: bytes=N-", "bytes=N-M" or
            "bytes=-N": 206 with Content-Range, or 416 when N is past the end) and
            honour If-Range (with Accept-Ranges: bytes). Values
            given as V1,V2,... apply to the n-th request, the last repeating:
            size=N; etag=TAG sends ETag "TAG" (W/TAG a weak one; "-" none);
            cut=BYTES closes the connection after that many body bytes ("-" never).
            modified=1 sends a Last-Modified date; ranges=0 ignores Range (200);
            shift=K answers a range K bytes before where it was asked to start;
            content_range=TEXT sends that Content-Range instead ("none": none) with
            the asked bytes; extra=K sends K bytes more (fewer when negative) than the
            range, Content-Length alike; ifrange=0 answers ranges whatever If-Range says;
            stall=MS waits after the header before the body (at most 30 s);
            chunk=BYTES and pause=MS as for pattern; file=NAME sends the bytes stored
            under NAME (/_store) instead of pattern bytes, and their size. Several
            ranges in one request ("bytes=A-B,C-D") are answered whole (200) unless
            multi=1 (206 multipart/byteranges, cut counting all of its body) or
            multi=501 (501 Not Implemented)
  hold      stall=head: nothing is sent until /_release/KEY; stall=body: the header and
            10 of 1000 body bytes are sent, the rest after the release. Holds end by
            themselves after 30 s.
Control: a POST to /_store/KEY/NAME keeps its body for ranged?file=NAME;
/_nginx_log/KEY lists what nginx answered under /KEY/, one line each:
"PROTOCOL STATUS RANGE" (RANGE "-" when none);
/_log/KEY lists KEY's requests, one line each:
"MS METHOD TARGET BODY USER_AGENT RANGE IF_RANGE SENT PORT" (MS since the server
started; BODY, USER_AGENT and the Range and If-Range headers in hex, "-" when empty;
SENT the body bytes sent; PORT the client's port, which tells its connections apart);
/_release/KEY; /_quit.
"""
import argparse
import http.client
import http.server
import os
import re
import shutil
import socket
import socketserver
import ssl
import subprocess
import sys
import threading
import time
import urllib.parse

HOLD_LIMIT = 30.0
PERIOD = 26
BLOCK = bytes(ord('a') + i % PERIOD for i in range(PERIOD * 40960))
MODIFIED = 'Wed, 21 Oct 2015 07:28:00 GMT'

started = time.monotonic()
lock = threading.Lock()
logs = {}
stored = {}
counters = {}
releases = {}
quit_event = threading.Event()
nginx_root = None
nginx_access_log = None


def hex_field(data):
    return data.hex() or '-'


def release_event(key):
    with lock:
        return releases.setdefault(key, threading.Event())


def next_index(key):
    """How many requests of `key`'s scripted actions came before this one."""
    with lock:
        n = counters.get(key, 0)
        counters[key] = n + 1
    return n


def pick(values, n):
    """The n-th of comma-separated values, the last one repeating."""
    values = values.split(',')
    return values[min(n, len(values) - 1)]


def log_line(entry):
    return '%.1f %s %s %s %s %s %s %d %d' % tuple(entry)


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = 'HTTP/1.1'

    def log_message(self, *args):
        pass

    def do_GET(self):
        self.handle_request(b'')

    def do_POST(self):
        length = int(self.headers.get('Content-Length', '0'))
        self.handle_request(self.rfile.read(length))

    def handle_request(self, body):
        url = urllib.parse.urlsplit(self.path)
        parts = url.path.split('/')
        params = dict(urllib.parse.parse_qsl(url.query, keep_blank_values=True))
        self.entry = None
        try:
            if len(parts) >= 4 and parts[1] == 's':
                key = parts[2]
                self.entry = [(time.monotonic() - started) * 1000, self.command, self.path, hex_field(body),
                              hex_field(self.headers.get('User-Agent', '').encode()),
                              hex_field(self.headers.get('Range', '').encode()),
                              hex_field(self.headers.get('If-Range', '').encode()), 0, self.client_address[1]]
                with lock:
                    logs.setdefault(key, []).append(self.entry)
                action = getattr(self, 'action_' + parts[3], None)
                if action:
                    action(key, params, parts[4:])
                else:
                    self.reply(404, b'no such action')
            elif len(parts) == 3 and parts[1] == '_log':
                with lock:
                    text = ''.join(log_line(entry) + '\n' for entry in logs.get(parts[2], []))
                self.reply(200, text.encode())
            elif len(parts) == 4 and parts[1] == '_store' and self.command == 'POST':
                with lock:
                    stored[(parts[2], parts[3])] = body
                if nginx_root:
                    os.makedirs(os.path.join(nginx_root, parts[2]), exist_ok=True)
                    with open(os.path.join(nginx_root, parts[2], parts[3]), 'wb') as f:
                        f.write(body)
                self.reply(200, b'stored')
            elif len(parts) == 3 and parts[1] == '_nginx_log':
                self.reply(200, nginx_log(parts[2]).encode())
            elif len(parts) == 3 and parts[1] == '_release':
                release_event(parts[2]).set()
                self.reply(200, b'released')
            elif url.path == '/_quit':
                self.reply(200, b'bye')
                quit_event.set()
            else:
                self.reply(404, b'no such path')
        except (ConnectionError, ssl.SSLError, socket.timeout):
            self.close_connection = True

    def send_body(self, data):
        """Writes body bytes, counted for the log before they go (so that a client that
        has them all never reads a smaller count)."""
        if self.entry:
            with lock:
                self.entry[7] += len(data)
        self.wfile.write(data)

    def reply(self, code, body, headers=()):
        self.send_response(code)
        for name, value in headers:
            self.send_header(name, value)
        if code in (204, 304):
            self.end_headers()
            return
        self.send_header('Content-Length', str(len(body)))
        self.end_headers()
        self.send_body(body)

    def send_pattern(self, start, end, chunk, pause, chunked=False, content=None):
        """Pattern bytes [start, end) in pieces of `chunk`, `pause` seconds apart; the
        bytes of `content` instead when it is given."""
        view = memoryview(BLOCK if content is None else content)
        offset = start
        while offset < end:
            n = min(chunk, end - offset)
            if content is None:
                data = view[offset % PERIOD:offset % PERIOD + n]
            else:
                data = view[offset:offset + n]
            if chunked:
                self.wfile.write(b'%x\r\n' % n + data + b'\r\n')
            else:
                self.send_body(data)
            offset += n
            if pause:
                self.wfile.flush()
                time.sleep(pause)

    def action_status(self, key, params, args):
        n = next_index(key)
        codes = [int(c) for c in (args[0] if args else params.get('codes', '200')).split(',')]
        code = codes[min(n, len(codes) - 1)]
        body = params.get('body', '%d #%d' % (code, n)).encode()
        time.sleep(int(params.get('delay', '0')) / 1000)
        headers = [('Location', params['location'])] if 'location' in params else []
        self.reply(code, body, headers)

    def action_pattern(self, key, params, args):
        size = int(params.get('size', '0'))
        chunk = int(params.get('chunk', str(len(BLOCK) - PERIOD)))
        pause = int(params.get('pause', '0')) / 1000
        chunked = params.get('chunked') == '1'
        self.send_response(200)
        if chunked:
            self.send_header('Transfer-Encoding', 'chunked')
        else:
            self.send_header('Content-Length', str(size))
        self.end_headers()
        self.send_pattern(0, size, chunk, pause, chunked)
        if chunked:
            self.wfile.write(b'0\r\n\r\n')

    def action_ranged(self, key, params, args):
        n = next_index(key)
        with lock:
            content = stored.get((key, params['file'])) if 'file' in params else None
        size = len(content) if content is not None else int(pick(params.get('size', '0'), n))
        etag = pick(params.get('etag', '-'), n)
        cut = pick(params.get('cut', '-'), n)
        headers = []
        strong = None
        if etag != '-':
            headers.append(('ETag', etag if etag.startswith('W/') else '"%s"' % etag))
            strong = None if etag.startswith('W/') else headers[-1][1]
        if params.get('modified') == '1':
            headers.append(('Last-Modified', MODIFIED))
        serves_ranges = pick(params.get('ranges', '1'), n) != '0'
        if serves_ranges:
            headers.append(('Accept-Ranges', 'bytes'))
        status, start = 200, 0
        asked = self.headers.get('Range', '')
        if_range = self.headers.get('If-Range')
        # If-Range compares strongly: a weak tag never matches.
        current = (if_range is None or params.get('ifrange') == '0' or
                   if_range in (strong, MODIFIED if params.get('modified') == '1' else None))
        last = size - 1
        several = re.fullmatch(r'bytes=\d+-\d+(,\d+-\d+)+', asked)
        if several and serves_ranges and current and params.get('multi') == '501':
            self.reply(501, b'several ranges are not served')
            return
        if several and serves_ranges and current and params.get('multi') == '1':
            self.send_byteranges(asked[len('bytes='):], size, headers, content, cut)
            return
        one_range = re.fullmatch(r'bytes=(\d*)-(\d*)', asked)
        if one_range and one_range.group(0) != 'bytes=-' and serves_ranges and current:
            first_text, last_text = one_range.groups()
            first = int(first_text) if first_text else max(0, size - int(last_text))
            if first_text and last_text:
                last = min(last, int(last_text))
            if first >= size:
                self.reply(416, b'', headers + [('Content-Range', 'bytes */%d' % size)])
                return
            status, start = 206, max(0, first - int(params.get('shift', '0')))
            content_range = pick(params.get('content_range', 'bytes %d-%d/%d' % (start, last, size)), n)
            if content_range != 'none':
                headers.append(('Content-Range', content_range))
        last += int(pick(params.get('extra', '0'), n))
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header('Content-Length', str(last + 1 - start))
        self.end_headers()
        stall = int(pick(params.get('stall', '0'), n)) / 1000
        if stall:
            self.wfile.flush()
            time.sleep(min(stall, HOLD_LIMIT))
        end = last + 1 if cut == '-' else min(last + 1, start + int(cut))
        self.send_pattern(start, end, int(pick(params.get('chunk', str(len(BLOCK) - PERIOD)), n)),
                          int(pick(params.get('pause', '0'), n)) / 1000, content=content)
        if end < last + 1:
            self.wfile.flush()
            self.close_connection = True

    def send_byteranges(self, ranges, size, headers, content, cut):
        """A 206 multipart/byteranges answer with a part for each of `ranges`."""
        boundary = b'LOOPBACK-BOUNDARY'
        source = content if content is not None else bytes(ord('a') + i % PERIOD for i in range(size))
        body = b''
        for text in ranges.split(','):
            first, last = (int(v) for v in text.split('-'))
            last = min(last, size - 1)
            body += (b'\r\n--' + boundary + b'\r\nContent-Type: application/octet-stream\r\n' +
                     b'Content-Range: bytes %d-%d/%d\r\n\r\n' % (first, last, size) + source[first:last + 1])
        body += b'\r\n--' + boundary + b'--\r\n'
        self.send_response(206)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header('Content-Type', 'multipart/byteranges; boundary=' + boundary.decode())
        self.send_header('Content-Length', str(len(body)))
        self.end_headers()
        end = len(body) if cut == '-' else min(len(body), int(cut))
        self.send_body(body[:end])
        if end < len(body):
            self.wfile.flush()
            self.close_connection = True

    def action_chain(self, key, params, args):
        hops = int(args[0])
        if hops > 0:
            self.reply(302, b'', [('Location', '/s/%s/chain/%d' % (key, hops - 1))])
        else:
            self.reply(200, b'end of chain')

    def action_slow(self, key, params, args):
        time.sleep(int(args[0]) / 1000)
        self.reply(200, b'slow')

    def action_hold(self, key, params, args):
        released = release_event(key)
        if params.get('stall') == 'body':
            self.send_response(200)
            self.send_header('Content-Length', '1000')
            self.end_headers()
            self.send_body(b'x' * 10)
            self.wfile.flush()
            released.wait(HOLD_LIMIT)
            self.send_body(b'x' * 990)
        else:
            released.wait(HOLD_LIMIT)
            self.reply(200, b'released')


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    request_queue_size = 64


class SecureServer(Server):
    """Performs the TLS handshake on the request's own thread, so that a stalled client
    cannot block the others."""

    def __init__(self, address, context):
        super().__init__(address, Handler)
        self.context = context

    def finish_request(self, request, client_address):
        request.settimeout(HOLD_LIMIT)
        try:
            request = self.context.wrap_socket(request, server_side=True)
        except (OSError, ssl.SSLError):
            return
        super().finish_request(request, client_address)


def make_certificate(folder, prefix='', names=()):
    """A self-signed certificate for the subject alternative names `names`, or for a
    host name that is not 127.0.0.1 when there are none."""
    key = os.path.join(folder, prefix + 'key.pem')
    cert = os.path.join(folder, prefix + 'cert.pem')
    subject = ['-subj', '/CN=not-this-host.invalid']
    if names:
        subject = ['-subj', '/CN=' + names[0].split(':', 1)[1], '-addext', 'subjectAltName=' + ','.join(names)]
    subprocess.run(['openssl', 'req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-keyout', key, '-out', cert,
                    '-days', '2', *subject],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    return context


def black_hole():
    """A listener with an accept queue of one, filled at once: the kernel then drops
    further connection requests, so a client's connect hangs until its own timeout."""
    listener = socket.socket()
    listener.bind(('127.0.0.1', 0))
    listener.listen(0)
    fillers = []
    for _ in range(4):
        filler = socket.socket()
        filler.setblocking(False)
        filler.connect_ex(listener.getsockname())
        fillers.append(filler)
    return listener, fillers


def closed_port():
    probe = socket.socket()
    probe.bind(('127.0.0.1', 0))
    port = probe.getsockname()[1]
    probe.close()
    return port


NGINX_CONFIG = '''
daemon off;
master_process off;
worker_processes 1;
pid %(dir)s/nginx.pid;
error_log %(dir)s/error.log;
events { worker_connections 256; }
http {
    log_format lines '$uri $server_protocol $status "$http_range"';
    access_log %(dir)s/access.log lines;
    client_body_temp_path %(dir)s/body;
    proxy_temp_path %(dir)s/proxy;
    fastcgi_temp_path %(dir)s/fastcgi;
    uwsgi_temp_path %(dir)s/uwsgi;
    scgi_temp_path %(dir)s/scgi;
    server {
        listen 127.0.0.1:%(port)d ssl http2;
        ssl_certificate %(folder)s/named-cert.pem;
        ssl_certificate_key %(folder)s/named-key.pem;
        root %(dir)s/static;
    }
}
'''


def start_nginx(folder):
    """An nginx child serving stored bytes over HTTPS with HTTP/2; (process, port), or
    (None, None) where there is no nginx or it does not come up."""
    global nginx_root, nginx_access_log
    program = shutil.which('nginx') or ('/usr/sbin/nginx' if os.path.exists('/usr/sbin/nginx') else None)
    if not program:
        return None, None
    folder_nginx = os.path.join(folder, 'nginx')
    os.makedirs(os.path.join(folder_nginx, 'static'), exist_ok=True)
    port = closed_port()
    config = os.path.join(folder_nginx, 'nginx.conf')
    with open(config, 'w') as f:
        f.write(NGINX_CONFIG % {'dir': folder_nginx, 'folder': folder, 'port': port})
    with open(os.path.join(folder_nginx, 'stderr.log'), 'w') as log:
        process = subprocess.Popen([program, '-p', folder_nginx, '-c', config], stdin=subprocess.DEVNULL,
                                   stdout=log, stderr=log)
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline and process.poll() is None:
        try:
            socket.create_connection(('127.0.0.1', port), timeout=1).close()
            nginx_root = os.path.join(folder_nginx, 'static')
            nginx_access_log = os.path.join(folder_nginx, 'access.log')
            return process, port
        except OSError:
            time.sleep(0.05)
    if process.poll() is None:
        process.terminate()
    return None, None


def nginx_log(key):
    """nginx's answers under /KEY/: "PROTOCOL STATUS RANGE" lines."""
    if not nginx_access_log or not os.path.exists(nginx_access_log):
        return ''
    lines = []
    with open(nginx_access_log) as f:
        for line in f:
            fields = line.rstrip('\n').split(' ', 3)
            if len(fields) == 4 and fields[0].startswith('/%s/' % key):
                lines.append('%s %s %s' % (fields[1], fields[2], fields[3].strip('"') or '-'))
    return ''.join(line + '\n' for line in lines)


def serve(folder, lifetime):
    os.makedirs(folder, exist_ok=True)
    plain = Server(('127.0.0.1', 0), Handler)
    secure = SecureServer(('127.0.0.1', 0), make_certificate(folder))
    # OpenSSL matches an address against IP names only; libcurl's Schannel code compares
    # DNS names only, so the address is named both ways.
    named = SecureServer(('127.0.0.1', 0), make_certificate(folder, 'named-', ('IP:127.0.0.1', 'DNS:127.0.0.1')))
    hole, fillers = black_hole()
    nginx, nginx_port = start_nginx(folder)
    for server in (plain, secure, named):
        threading.Thread(target=server.serve_forever, daemon=True).start()
    ports = 'http=%d\nhttps=%d\nhttps-named=%d\nblackhole=%d\nclosed=%d\n' % (
        plain.server_address[1], secure.server_address[1], named.server_address[1], hole.getsockname()[1],
        closed_port())
    if nginx:
        ports += 'nginx=%d\n' % nginx_port
    with open(os.path.join(folder, 'ports.tmp'), 'w') as f:
        f.write(ports)
    os.replace(os.path.join(folder, 'ports.tmp'), os.path.join(folder, 'ports'))
    quit_event.wait(lifetime)
    if nginx:
        nginx.terminate()
        try:
            nginx.wait(5)
        except subprocess.TimeoutExpired:
            nginx.kill()
    # Held requests and slow bodies run on daemon threads; they end with the process.
    os._exit(0)


def read_ports(folder):
    with open(os.path.join(folder, 'ports')) as f:
        return dict(line.strip().split('=') for line in f if '=' in line)


def start(folder, lifetime):
    os.makedirs(folder, exist_ok=True)
    ports_file = os.path.join(folder, 'ports')
    if os.path.exists(ports_file):
        stop(folder)
    with open(os.path.join(folder, 'server.log'), 'w') as log:
        subprocess.Popen([sys.executable, os.path.abspath(__file__), 'serve', folder, '--lifetime', str(lifetime)],
                         stdin=subprocess.DEVNULL, stdout=log, stderr=log, start_new_session=True)
    deadline = time.monotonic() + 30
    while not os.path.exists(ports_file):
        if time.monotonic() > deadline:
            sys.exit('loopback server did not start; see ' + os.path.join(folder, 'server.log'))
        time.sleep(0.05)
    print(open(ports_file).read(), end='')


def stop(folder):
    try:
        connection = http.client.HTTPConnection('127.0.0.1', int(read_ports(folder)['http']), timeout=5)
        connection.request('GET', '/_quit')
        connection.getresponse().read()
    except (OSError, KeyError, http.client.HTTPException):
        pass
    try:
        os.remove(os.path.join(folder, 'ports'))
    except OSError:
        pass


def main():
    parser = argparse.ArgumentParser(description='Scripted loopback HTTP(S) server for tests.')
    parser.add_argument('command', choices=['start', 'stop', 'serve'])
    parser.add_argument('folder')
    parser.add_argument('--lifetime', type=float, default=1800)
    args = parser.parse_args()
    folder = os.path.abspath(args.folder)
    if args.command == 'start':
        start(folder, args.lifetime)
    elif args.command == 'stop':
        stop(folder)
    else:
        serve(folder, args.lifetime)


if __name__ == '__main__':
    main()
