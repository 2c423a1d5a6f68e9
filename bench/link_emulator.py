#!/usr/bin/python3
"""A slow uplink for benchmarks: a TCP relay that plays a cellular link between the daemon
and a TLS front end. Every accepted connection is forwarded to the target through two
one-way links (up: client to target, down: target to client) with:

  delay     each byte arrives this much later than it was sent (one-way, per direction)
  rate      bytes leave at most at this bit rate, one link per direction shared by all
            connections in the order their bytes came, with a queue of --queue-s seconds'
            worth; past it the relay stops reading and TCP flow control pushes back
  hold      the link vanishes: nothing is forwarded either way, nothing is closed; on
            release what was queued goes on
  drop      the link is gone: bytes are discarded silently until undrop (a FIN or RST
            waits for undrop, as a close that the sender retransmits would)
  NAT       a connection idle (no byte over the link either way) longer than --nat-idle-s
            is forgotten: its bytes are discarded both ways, no RST, no FIN; the client
            learns only by its own time-out (the target side is reset once the client
            gives the connection up)
  reset     on command every open connection gets an RST on both sides

A new connection costs one round trip before its first byte goes on (the handshake with the
far side); a refused connect reaches the client as an RST. FIN and RST follow the bytes
queued before them. Byte counts (delivered and discarded, per connection and in total) are
printed as one JSON line on the control command `stats`, on SIGUSR1 (standard error) and at
exit (standard output). SIGINT and SIGTERM end it, resetting what is still open.

    bench/link_emulator.py --listen 127.0.0.1:8443 --target 127.0.0.1:443 --rtt-ms 600
        --up-kbps 256 --down-kbps 1000 [--nat-idle-s 60] [--control /tmp/link.sock]
    bench/link_emulator.py --control /tmp/link.sock --send hold     # prints the answer

Control commands, one per line on the Unix socket, each answered with one line ("ok", the
stats JSON or "error: ..."): hold, release, drop, undrop, reset (answers "ok N", N the
connections reset), rate UP_KBPS DOWN_KBPS (0: unpaced), delay UP_MS DOWN_MS, stats, quit.

In process (the relay runs its own event loop in one thread until stop()):

    from link_emulator import LinkEmulator
    with LinkEmulator("127.0.0.1:443", "127.0.0.1:4443", rtt_ms=600, up_kbps=256) as link:
        link.hold(); ...; link.release(); print(link.stats())
"""

import argparse
import asyncio
import collections
import concurrent.futures
import json
import os
import signal
import socket
import stat
import struct
import sys
import threading
import traceback

UP, DOWN = 0, 1  # direction d carries bytes from side d to side 1 - d
CLIENT, SERVER = 0, 1
FIN, RST = "fin", "rst"  # markers that follow a direction's bytes through its link
READ_CHUNK = 16 * 1024
SOCKET_BUFFER = 16 * 1024  # small kernel buffers, so that the link queue is the buffer
SEGMENT = 1460
SLICE_S = 0.01  # a paced link sends at most this much time's worth at once
MIN_QUEUE = 16 * 1024
UNPACED_QUEUE = 4 * 1024 * 1024
KEEP_CLOSED = 1000  # closed connections listed in the stats


def parse_address(text):
    if isinstance(text, tuple):
        return text
    host, _, port = text.rpartition(":")
    if not host or not port.isdigit():
        raise ValueError("expected HOST:PORT, got %r" % text)
    return host.strip("[]"), int(port)


def resolve(address):
    """Resolved once at start: asyncio would resolve names in a thread pool."""
    host, port = parse_address(address)
    family, _, _, _, sockaddr = socket.getaddrinfo(host, port, type=socket.SOCK_STREAM)[0]
    return family, sockaddr


def tune(sock):
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)


async def sleep_until(when):
    delay = when - asyncio.get_running_loop().time()
    if delay > 0:
        await asyncio.sleep(delay)


class _Signal:
    """Wakes every waiter at once; each checks its own condition again."""

    def __init__(self):
        self._event = asyncio.Event()

    def fire(self):
        self._event.set()
        self._event = asyncio.Event()

    async def until(self, ready):
        while not ready():
            await self._event.wait()


class _Link:
    """One direction: a FIFO shared by all connections, drained at the rate, then delayed."""

    def __init__(self, emu, d, kbps, delay_s):
        self.emu, self.d = emu, d
        self.kbps, self.delay = kbps, delay_s
        self.fifo = collections.deque()  # (connection, memoryview or marker)
        self.queued = 0
        self.changed = _Signal()
        self.next_free = 0.0

    def bytes_per_s(self):
        return self.kbps * 125

    def limit(self):
        if not self.kbps:
            return UNPACED_QUEUE
        return max(MIN_QUEUE, int(self.bytes_per_s() * self.emu.queue_s))

    def has_room(self, conn):
        # A connection may also have up to one delay's worth in flight.
        limit = self.limit()
        return (self.queued < limit
                and conn.backlog[self.d] < limit + self.bytes_per_s() * self.delay)

    def put(self, conn, item):
        self.fifo.append((conn, item))
        if not isinstance(item, str):
            self.queued += len(item)
        self.changed.fire()

    def purge(self, conn):
        kept = collections.deque()
        for entry in self.fifo:
            if entry[0] is not conn:
                kept.append(entry)
            elif not isinstance(entry[1], str):
                self.queued -= len(entry[1])
                conn.settle(self.d, len(entry[1]), lost=True)
        self.fifo = kept
        self.changed.fire()

    async def run(self):
        emu, loop = self.emu, asyncio.get_running_loop()
        while True:
            if not self.fifo or emu.held:
                await self.changed.until(lambda: self.fifo and not emu.held)
                self.next_free = max(self.next_free, loop.time())
            conn, item = self.fifo[0]
            if isinstance(item, str):
                self.fifo.popleft()
                conn.arrive(self.d, loop.time() + self.delay, item)
                continue
            size = max(SEGMENT, int(self.bytes_per_s() * SLICE_S)) if self.kbps else len(item)
            piece = bytes(item[:size])
            if size < len(item):
                self.fifo[0] = (conn, item[size:])
            else:
                self.fifo.popleft()
            self.queued -= len(piece)
            self.changed.fire()
            if emu.dropped:
                conn.settle(self.d, len(piece), lost=True)
                self.next_free = max(self.next_free, loop.time())
                continue
            if self.kbps:
                # While busy, each piece starts when the last one ended, not when the loop
                # woke up late for it: late wake-ups must not add up to a lower rate.
                self.next_free += len(piece) * 8 / (self.kbps * 1000)
                await sleep_until(self.next_free)
                sent = self.next_free
            else:
                sent = self.next_free = loop.time()
            conn.active = loop.time()
            conn.arrive(self.d, sent + self.delay, piece)


class _Connection:
    def __init__(self, emu, cid, reader, writer):
        self.emu, self.id = emu, cid
        self.streams = [(reader, writer), None]
        self.shut = [False, False]
        peer = writer.get_extra_info("peername")
        self.peer = "%s:%d" % tuple(peer[:2]) if peer else "?"
        self.backlog = [0, 0]  # taken from the sender, not yet written to the receiver
        self.delivered = [0, 0]
        self.discarded = [0, 0]
        self.inbox = [collections.deque(), collections.deque()]  # (arrival, bytes or marker)
        self.incoming = [_Signal(), _Signal()]
        self.last_arrival = [0.0, 0.0]
        self.ended = [None, None]  # FIN or RST once side d has ended its direction
        self.fin_sent = [False, False]
        self.broken = [False, False]  # writing to side 1 - d failed
        self.forgotten = self.closed = False
        self.state = "connecting"
        self.active = asyncio.get_running_loop().time()
        self.tasks = set()

    def info(self):
        return {"id": self.id, "client": self.peer, "state": self.state,
                "bytes_up": self.delivered[UP], "bytes_down": self.delivered[DOWN],
                "discarded_up": self.discarded[UP], "discarded_down": self.discarded[DOWN]}

    def spawn(self, coro):
        task = self.emu.spawn(coro)
        self.tasks.add(task)
        task.add_done_callback(self.tasks.discard)

    async def run(self):
        emu, loop = self.emu, asyncio.get_running_loop()
        # The handshake with the far side: SYN up, SYN-ACK down, waiting for the link.
        await emu.changed.until(lambda: not emu.held and not emu.dropped)
        await asyncio.sleep(emu.links[UP].delay)
        family, sockaddr = emu.target
        sock = socket.socket(family, socket.SOCK_STREAM)
        try:
            sock.setblocking(False)
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, SOCKET_BUFFER)
            tune(sock)
            await loop.sock_connect(sock, sockaddr)
            self.streams[SERVER] = await asyncio.open_connection(sock=sock, limit=READ_CHUNK)
        except BaseException as e:
            sock.close()
            if not isinstance(e, OSError):
                raise
            emu.refused += 1
            await asyncio.sleep(emu.links[DOWN].delay)
            self.close(reset=True)
            return
        await asyncio.sleep(emu.links[DOWN].delay)
        await emu.changed.until(lambda: not emu.held)
        self.state, self.active = "open", loop.time()
        for d in (UP, DOWN):
            self.spawn(self.pump(d))
            self.spawn(self.deliver(d))

    async def pump(self, d):
        emu, link, reader = self.emu, self.emu.links[d], self.streams[d][0]
        while True:
            await link.changed.until(lambda: self.forgotten or emu.dropped or link.has_room(self))
            try:
                data = await reader.read(READ_CHUNK)
            except OSError:
                data = None
            if not data:
                self.source_ended(d, FIN if data == b"" else RST)
                return
            if self.forgotten or emu.dropped:
                self.discarded[d] += len(data)
                emu.discarded[d] += len(data)
                continue
            self.backlog[d] += len(data)
            link.put(self, memoryview(data))

    def source_ended(self, d, kind):
        if self.closed or self.ended[d] == RST or self.ended[d] == kind:
            return
        self.ended[d] = kind
        if self.forgotten:
            self.forgotten_end(d, kind)
        else:
            self.emu.links[d].put(self, kind)

    def arrive(self, d, when, item):
        if self.closed or self.forgotten:
            if not isinstance(item, str):
                self.settle(d, len(item), lost=True)
            return
        when = max(when, self.last_arrival[d])  # a shorter delay must not reorder
        self.last_arrival[d] = when
        self.inbox[d].append((when, item))
        self.incoming[d].fire()

    def settle(self, d, size, lost=False):
        self.backlog[d] -= size
        counts = (self.discarded, self.emu.discarded) if lost else (self.delivered,
                                                                   self.emu.delivered)
        for count in counts:
            count[d] += size
        self.emu.links[d].changed.fire()

    async def deliver(self, d):
        emu, inbox, writer = self.emu, self.inbox[d], self.streams[1 - d][1]
        while True:
            await self.incoming[d].until(lambda: inbox)
            when, item = inbox.popleft()
            await sleep_until(when)
            await emu.changed.until(lambda: not emu.held)
            if isinstance(item, bytes):
                if self.forgotten or emu.dropped or self.broken[d]:
                    self.settle(d, len(item), lost=True)
                    continue
                try:
                    writer.write(item)
                    await writer.drain()
                except OSError:
                    self.broken[d] = True
                    self.settle(d, len(item), lost=True)
                    self.source_ended(1 - d, RST)  # the receiver is gone: tell the sender
                    continue
                self.settle(d, len(item))
                continue
            # A close lost with the link would come again: it waits for the link's return.
            await emu.changed.until(lambda: not emu.held and not emu.dropped)
            if item == RST:
                self.close(reset=True)
                return
            if not self.broken[d]:
                try:
                    writer.write_eof()
                except OSError:
                    pass
            self.fin_sent[d] = True
            if all(self.fin_sent):
                self.close(reset=False)
                return

    def forget(self):
        """The carrier NAT lost the mapping: whatever is queued is lost with it."""
        self.forgotten, self.state = True, "forgotten"
        self.emu.forgotten += 1
        for d in (UP, DOWN):
            self.emu.links[d].purge(self)
            while self.inbox[d]:
                _, item = self.inbox[d].popleft()
                if not isinstance(item, str):
                    self.settle(d, len(item), lost=True)
        for d in (DOWN, UP):
            if self.ended[d]:
                self.forgotten_end(d, self.ended[d])

    def forgotten_end(self, d, kind):
        # The client must not learn of the target's close; once the client gives up, the
        # relay frees the connection (the target would hear from the far side's stack).
        if d == CLIENT:
            self.close(reset=True)
        else:
            self.shut_side(SERVER, reset=kind == RST)

    def shut_side(self, side, reset):
        if self.shut[side] or self.streams[side] is None:
            return
        self.shut[side] = True
        writer = self.streams[side][1]
        if reset:
            try:
                writer.get_extra_info("socket").setsockopt(
                    socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            except OSError:
                pass
            writer.transport.abort()
        else:
            writer.close()

    def close(self, reset):
        if self.closed:
            return
        self.closed = True
        if self.state != "forgotten":
            self.state = "reset" if reset else "closed"
        for side in (CLIENT, SERVER):
            self.shut_side(side, reset)
        for d in (UP, DOWN):
            self.emu.links[d].purge(self)
            for _, item in self.inbox[d]:
                if not isinstance(item, str):
                    self.settle(d, len(item), lost=True)
            self.inbox[d].clear()
        current = asyncio.current_task()
        for task in list(self.tasks):
            if task is not current:
                task.cancel()
        self.emu.retire(self)


class LinkEmulator:
    """The relay. start()/stop() run it in a thread of its own; the control methods may be
    called from any thread. serve() runs it in the caller's event loop until quit."""

    def __init__(self, listen, target, rtt_ms=0.0, up_delay_ms=None, down_delay_ms=None,
                 up_kbps=0.0, down_kbps=0.0, nat_idle_s=0.0, queue_s=4.0, control=None):
        self.listen = resolve(listen)
        self.target = resolve(target)
        up_ms = rtt_ms / 2 if up_delay_ms is None else up_delay_ms
        down_ms = rtt_ms / 2 if down_delay_ms is None else down_delay_ms
        self.links = [_Link(self, UP, up_kbps, up_ms / 1000),
                      _Link(self, DOWN, down_kbps, down_ms / 1000)]
        self.nat_idle_s, self.queue_s, self.control = nat_idle_s, queue_s, control
        self.held = self.dropped = False
        self.changed = _Signal()
        self.conns, self.closed_conns = {}, collections.deque(maxlen=KEEP_CLOSED)
        self.opened = self.resets = self.forgotten = self.refused = 0
        self.delivered, self.discarded = [0, 0], [0, 0]
        self.port = None
        self._loop = self._thread = self._stop = self._final = None
        self._ready = concurrent.futures.Future()
        self._tasks = set()
        self._servers = []

    # Control, from any thread.

    def hold(self):
        self._call(self._set, "held", True)

    def release(self):
        self._call(self._set, "held", False)

    def drop(self):
        self._call(self._set, "dropped", True)

    def undrop(self):
        self._call(self._set, "dropped", False)

    def reset(self):
        return self._call(self._reset_all)

    def set_rate(self, up_kbps, down_kbps):
        self._call(self._set_links, "kbps", up_kbps, down_kbps)

    def set_delay(self, up_ms, down_ms):
        self._call(self._set_links, "delay", up_ms / 1000, down_ms / 1000)

    def stats(self):
        if self._thread is None and self._final is not None:
            return self._final
        return self._call(self._stats)

    def start(self):
        self._thread = threading.Thread(target=self._run_thread, name="link-emulator")
        self._thread.start()
        try:
            self._ready.result()
        except BaseException:
            self._thread.join()
            raise
        return self

    def stop(self):
        if self._thread is not None:
            if self._thread.is_alive():
                self._call(self._stop.set)
            self._thread.join()
            self._thread = None
        return self._final

    def _run_thread(self):
        try:
            asyncio.run(self.serve())
        except Exception:
            if not self._ready.done() or self._ready.exception() is None:
                raise  # a failure to start is raised by start() instead

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def _call(self, fn, *args):
        if self._loop is None:
            raise RuntimeError("the link emulator is not running")
        try:
            if asyncio.get_running_loop() is self._loop:
                return fn(*args)
        except RuntimeError:
            pass
        done = concurrent.futures.Future()

        def run():
            try:
                done.set_result(fn(*args))
            except BaseException as e:  # handed to the caller's thread
                done.set_exception(e)
        self._loop.call_soon_threadsafe(run)
        return done.result()

    # The event loop's side.

    async def serve(self, on_ready=None):
        self._loop, self._stop = asyncio.get_running_loop(), asyncio.Event()
        try:
            await self._open()
        except BaseException as e:
            await self._close()
            self._ready.set_exception(e)
            raise
        self._ready.set_result(None)
        if on_ready:
            on_ready()
        try:
            await self._stop.wait()
        finally:
            self._final = await self._close()
        return self._final

    def quit(self):
        self._call(self._stop.set)

    def spawn(self, coro):
        task = asyncio.get_running_loop().create_task(coro)
        self._tasks.add(task)
        task.add_done_callback(self._task_done)
        return task

    def _task_done(self, task):
        self._tasks.discard(task)
        if not task.cancelled() and task.exception() is not None:
            traceback.print_exception(task.exception(), file=sys.stderr)

    async def _open(self):
        family, sockaddr = self.listen
        sock = socket.socket(family, socket.SOCK_STREAM)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, SOCKET_BUFFER)  # inherited
        try:
            sock.bind(sockaddr)
        except OSError:
            sock.close()
            raise
        self.port = sock.getsockname()[1]
        self._servers.append(await asyncio.start_server(self._accept, sock=sock,
                                                        limit=READ_CHUNK))
        if self.control:
            try:
                if stat.S_ISSOCK(os.stat(self.control).st_mode):
                    os.unlink(self.control)  # left by a relay that did not end cleanly
            except FileNotFoundError:
                pass
            self._servers.append(await asyncio.start_unix_server(self._accept_control,
                                                                 self.control))
        for link in self.links:
            self.spawn(link.run())
        if self.nat_idle_s > 0:
            self.spawn(self._age())

    async def _close(self):
        for server in self._servers:
            server.close()
        if self.control and self._servers[1:]:
            try:
                os.unlink(self.control)
            except FileNotFoundError:
                pass
        for conn in list(self.conns.values()):
            conn.close(reset=True)
        for task in list(self._tasks):
            task.cancel()
        await asyncio.gather(*self._tasks, return_exceptions=True)
        for server in self._servers:
            await server.wait_closed()
        self._servers = []
        await asyncio.sleep(0)  # lets the aborted transports close their sockets
        return self._stats()

    def _accept(self, reader, writer):
        tune(writer.get_extra_info("socket"))
        self.opened += 1
        conn = _Connection(self, self.opened, reader, writer)
        self.conns[conn.id] = conn
        conn.spawn(conn.run())

    def retire(self, conn):
        if self.conns.pop(conn.id, None) is not None:
            self.closed_conns.append(conn.info())

    async def _age(self):
        loop = asyncio.get_running_loop()
        while True:
            await asyncio.sleep(min(1.0, self.nat_idle_s / 4))
            for conn in list(self.conns.values()):
                if conn.state == "open" and loop.time() - conn.active > self.nat_idle_s:
                    conn.forget()

    def _changed(self):
        self.changed.fire()
        for link in self.links:
            link.changed.fire()

    def _set(self, name, value):
        setattr(self, name, value)
        self._changed()

    def _set_links(self, name, up, down):
        if up < 0 or down < 0:
            raise ValueError("negative %s" % name)
        setattr(self.links[UP], name, up)
        setattr(self.links[DOWN], name, down)
        self._changed()

    def _reset_all(self):
        conns = list(self.conns.values())
        for conn in conns:
            conn.close(reset=True)
        self.resets += len(conns)
        return len(conns)

    def _stats(self):
        return {"connections": self.opened, "open": len(self.conns),
                "bytes_up": self.delivered[UP], "bytes_down": self.delivered[DOWN],
                "discarded_up": self.discarded[UP], "discarded_down": self.discarded[DOWN],
                "queued_up": self.links[UP].queued, "queued_down": self.links[DOWN].queued,
                "resets": self.resets, "forgotten": self.forgotten, "refused": self.refused,
                "held": self.held, "dropped": self.dropped,
                "up_kbps": self.links[UP].kbps, "down_kbps": self.links[DOWN].kbps,
                "up_delay_ms": self.links[UP].delay * 1000,
                "down_delay_ms": self.links[DOWN].delay * 1000,
                "per_connection": list(self.closed_conns)
                + [c.info() for c in self.conns.values()]}

    def command(self, line):
        """One control line in, one answer line out."""
        words = line.split()
        simple = {"hold": ("held", True), "release": ("held", False),
                  "drop": ("dropped", True), "undrop": ("dropped", False)}
        try:
            if len(words) == 1 and words[0] in simple:
                self._set(*simple[words[0]])
            elif words == ["reset"]:
                return "ok %d" % self._reset_all()
            elif len(words) == 3 and words[0] == "rate":
                self._set_links("kbps", float(words[1]), float(words[2]))
            elif len(words) == 3 and words[0] == "delay":
                self._set_links("delay", float(words[1]) / 1000, float(words[2]) / 1000)
            elif words == ["stats"]:
                return json.dumps(self._stats())
            elif words == ["quit"]:
                self._stop.set()
            else:
                return "error: unknown command %r" % line.strip()
        except ValueError as e:
            return "error: %s" % e
        return "ok"

    def _accept_control(self, reader, writer):
        self.spawn(self._serve_control(reader, writer))

    async def _serve_control(self, reader, writer):
        try:
            while line := await reader.readline():
                writer.write((self.command(line.decode(errors="replace")) + "\n").encode())
                await writer.drain()
        except OSError:
            pass
        finally:
            writer.close()


def send_command(path, command):
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as sock:
        sock.connect(path)
        sock.sendall(command.encode() + b"\n")
        answer = b""
        while not answer.endswith(b"\n"):
            more = sock.recv(65536)
            if not more:
                break
            answer += more
    return answer.decode().strip()


def parse_args(argv=None):
    p = argparse.ArgumentParser(description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--listen", metavar="HOST:PORT", help="where the client connects")
    p.add_argument("--target", metavar="HOST:PORT", help="where each connection is forwarded")
    p.add_argument("--rtt-ms", type=float, default=0.0,
                   help="round-trip time; each direction gets half (default 0)")
    p.add_argument("--up-delay-ms", type=float, help="one-way delay client to target (instead of half the RTT)")
    p.add_argument("--down-delay-ms", type=float, help="one-way delay target to client (instead of half the RTT)")
    p.add_argument("--up-kbps", type=float, default=0.0,
                   help="uplink rate in kbit/s, shared by all connections (0: unpaced)")
    p.add_argument("--down-kbps", type=float, default=0.0,
                   help="downlink rate in kbit/s, shared by all connections (0: unpaced)")
    p.add_argument("--queue-s", type=float, default=4.0,
                   help="each paced link queues this many seconds' worth (default 4)")
    p.add_argument("--nat-idle-s", type=float, default=0.0,
                   help="forget a connection idle this long (0: never)")
    p.add_argument("--control", metavar="PATH", help="Unix socket for control commands")
    p.add_argument("--send", metavar="COMMAND",
                   help="send one command to a running relay's --control socket and print "
                        "the answer")
    args = p.parse_args(argv)
    if args.send is not None and not args.control:
        p.error("--send needs --control")
    if args.send is None and not (args.listen and args.target):
        p.error("--listen and --target are required")
    for name in ("rtt_ms", "up_delay_ms", "down_delay_ms", "up_kbps", "down_kbps",
                 "nat_idle_s"):
        if (getattr(args, name) or 0) < 0:
            p.error("--%s must not be negative" % name.replace("_", "-"))
    if args.queue_s <= 0:
        p.error("--queue-s must be positive")
    return args


async def run_cli(emu):
    loop = asyncio.get_running_loop()
    for sig in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(sig, emu.quit)
    loop.add_signal_handler(
        signal.SIGUSR1, lambda: print(json.dumps(emu._stats()), file=sys.stderr, flush=True))
    return await emu.serve(lambda: print("link emulator: %s:%d -> %s:%d" % (
        emu.listen[1][:2] + emu.target[1][:2]), file=sys.stderr, flush=True))


def main():
    args = parse_args()
    if args.send is not None:
        answer = send_command(args.control, args.send)
        print(answer)
        return 1 if answer.startswith("error") else 0
    try:
        emu = LinkEmulator(args.listen, args.target, args.rtt_ms, args.up_delay_ms,
                           args.down_delay_ms, args.up_kbps, args.down_kbps, args.nat_idle_s,
                           args.queue_s, args.control)
        final = asyncio.run(run_cli(emu))
    except (OSError, ValueError) as e:
        print("link emulator: %s" % e, file=sys.stderr)
        return 1
    print(json.dumps(final), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
