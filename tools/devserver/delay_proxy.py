#!/usr/bin/env python3
"""A TCP proxy on 127.0.0.1 that stands for a distant link: every chunk is held for half
the round trip in each direction, so a request and its answer cost one round trip, and
optionally the bytes towards the client share one link rate. Opening a connection costs
a round trip too. The delay never slows the flow down by itself: chunks queue while they
wait, as on a long line with a wide window.

It forwards bytes as they are (TLS and HTTP/2 pass through), counts the connections it
accepted, and always stops by itself after --lifetime seconds. Importable: DelayProxy runs
on a thread of its own, its round trip and rate changeable while it runs. Python standard
library only.
"""

import argparse
import asyncio
import os
import signal
import sys
import threading
import time

HOST = "127.0.0.1"
CHUNK = 64 * 1024
# Bytes one direction of a connection may hold in flight before it stops reading: enough
# for 100 MB/s over a 150 ms round trip, bounded so a stalled reader cannot fill memory.
MAX_QUEUED = 16 * 1024 * 1024


class _Link:
    """The shared downstream link: a chunk leaves once the link has sent everything
    queued before it, at `rate` bytes per second (0: no limit)."""

    def __init__(self):
        self.rate = 0
        self._free_at = 0.0

    def sent_at(self, now, size):
        if not self.rate:
            return now
        self._free_at = max(now, self._free_at) + size / self.rate
        return self._free_at


class DelayProxy:
    """Forwards 127.0.0.1:port to target_port; round_trip in seconds."""

    def __init__(self, target_port, round_trip=0.0, rate=0, port=0):
        self.target_port = target_port
        self.round_trip = round_trip
        self.connections = 0
        self._link = _Link()
        self._link.rate = rate
        self._requested_port = port
        self._loop = None
        self._server = None
        self._ready = threading.Event()
        self._thread = None
        self._start_error = None
        self.port = None

    @property
    def rate(self):
        return self._link.rate

    @rate.setter
    def rate(self, value):
        self._link.rate = value

    def start(self):
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()
        self._ready.wait(10)
        if self.port is None:
            raise RuntimeError(f"the delaying proxy did not start: {self._start_error}")
        return self

    def stop(self):
        if self._loop is not None and self._thread.is_alive():
            self._loop.call_soon_threadsafe(self._loop.stop)
            self._thread.join(10)

    def reset_count(self):
        self.connections = 0

    def _run(self):
        self._loop = asyncio.new_event_loop()
        asyncio.set_event_loop(self._loop)
        try:
            self._server = self._loop.run_until_complete(
                asyncio.start_server(self._accept, HOST, self._requested_port))
            self.port = self._server.sockets[0].getsockname()[1]
        except OSError as error:
            self._start_error = error
            self._ready.set()
            return
        self._ready.set()
        try:
            self._loop.run_forever()
        finally:
            self._server.close()
            # Open connections end with the proxy.
            tasks = asyncio.all_tasks(self._loop)
            for task in tasks:
                task.cancel()
            self._loop.run_until_complete(asyncio.gather(*tasks, return_exceptions=True))
            self._loop.close()

    async def _accept(self, client_reader, client_writer):
        # A connection still open when the proxy stops ends with it, quietly: the stream
        # server's own callback would report a cancelled task as an error.
        try:
            await self._connect(client_reader, client_writer)
        except asyncio.CancelledError:
            client_writer.close()

    async def _connect(self, client_reader, client_writer):
        self.connections += 1
        try:
            server_reader, server_writer = await asyncio.open_connection(HOST, self.target_port)
            # Opening a connection costs a round trip before the first byte can go out;
            # what the client sends meanwhile waits in its socket.
            await asyncio.sleep(self.round_trip)
        except OSError:
            client_writer.close()
            return
        await asyncio.gather(self._pipe(client_reader, server_writer, None),
                             self._pipe(server_reader, client_writer, self._link),
                             return_exceptions=True)

    async def _pipe(self, reader, writer, link):
        """Reads from one side and writes to the other, each chunk half a round trip
        after it arrived and after its turn on the link."""
        held = _Held()
        sender = asyncio.ensure_future(self._send(held, writer, link))
        try:
            while True:
                await held.room.wait()
                data = await reader.read(CHUNK)
                now = time.monotonic()
                due = now + self.round_trip / 2
                held.add(len(data))
                await held.chunks.put((due, data))
                if not data:
                    break
        except OSError:
            await held.chunks.put((time.monotonic(), b""))
        except asyncio.CancelledError:
            sender.cancel()
            raise
        await sender

    @staticmethod
    async def _send(held, writer, link):
        # A chunk takes its turn on the link when it is sent, not when it was read: what
        # was read ahead for a connection the client has closed never uses the link.
        try:
            while True:
                due, data = await held.chunks.get()
                if data and writer.is_closing():
                    return
                if link and data:
                    due = max(due, link.sent_at(time.monotonic(), len(data)))
                delay = due - time.monotonic()
                if delay > 0:
                    await asyncio.sleep(delay)
                if not data:
                    if writer.can_write_eof():
                        writer.write_eof()
                    await writer.drain()
                    return
                writer.write(data)
                await writer.drain()
                held.remove(len(data))
        except OSError:
            return
        finally:
            writer.close()


class _Held:
    """The chunks of one direction waiting for their time (an empty one: the end), and
    whether there is room to read more."""

    def __init__(self):
        self.chunks = asyncio.Queue()
        self.room = asyncio.Event()
        self.room.set()
        self._bytes = 0

    def add(self, size):
        self._bytes += size
        if self._bytes >= MAX_QUEUED:
            self.room.clear()

    def remove(self, size):
        self._bytes -= size
        if self._bytes < MAX_QUEUED:
            self.room.set()


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--target-port", type=int, required=True, help="the server's port on 127.0.0.1")
    parser.add_argument("--port", type=int, default=0, help="port to listen on; 0 picks a free one")
    parser.add_argument("--port-file", help="also write the chosen port into this file")
    parser.add_argument("--round-trip-ms", type=float, default=0.0, help="round trip added, milliseconds")
    parser.add_argument("--rate", type=int, default=0,
                        help="bytes per second towards the clients, shared by all connections (0: no limit)")
    parser.add_argument("--lifetime", type=float, default=600.0, help="seconds until the proxy exits by itself")
    args = parser.parse_args(argv)
    if args.lifetime <= 0 or args.round_trip_ms < 0 or args.rate < 0:
        parser.error("--lifetime must be positive, --round-trip-ms and --rate not negative")
    proxy = DelayProxy(args.target_port, args.round_trip_ms / 1000.0, args.rate, args.port).start()
    print(f"PORT {proxy.port}", flush=True)
    if args.port_file:
        temporary = f"{args.port_file}.tmp{os.getpid()}"
        with open(temporary, "w") as out:
            out.write(f"{proxy.port}\n")
        os.replace(temporary, args.port_file)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    try:
        time.sleep(args.lifetime)
    except KeyboardInterrupt:
        pass
    finally:
        proxy.stop()
        print(f"CONNECTIONS {proxy.connections}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
