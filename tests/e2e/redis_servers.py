"""Real Redis servers for the end-to-end tests: redis-server on free loopback
ports without persistence, replicas and sentinels, each stopped by its pid.
Every wait is bounded; nothing here talks to an address off this machine.

A minimal client speaks the protocol over a socket, so the tests need no
client library of their own.
"""
import os
import signal
import socket
import subprocess
import threading
import time

HOST = "127.0.0.1"


def free_port():
    with socket.socket() as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


class ReplyError(Exception):
    pass


def _encode(args):
    out = b"*%d\r\n" % len(args)
    for arg in args:
        data = arg if isinstance(arg, bytes) else str(arg).encode()
        out += b"$%d\r\n%s\r\n" % (len(data), data)
    return out


def _read_reply(stream):
    line = stream.readline()
    if not line:
        raise ConnectionError("the server closed the connection")
    kind, rest = line[:1], line[1:-2]
    if kind == b"+":
        return rest.decode()
    if kind == b"-":
        raise ReplyError(rest.decode())
    if kind == b":":
        return int(rest)
    if kind == b"$":
        if int(rest) < 0:
            return None
        data = stream.read(int(rest) + 2)
        return data[:-2].decode("utf-8", "replace")
    if kind == b"*":
        count = int(rest)
        return None if count < 0 else [_read_reply(stream) for _ in range(count)]
    raise ConnectionError("unreadable reply %r" % line)


def command(port, *args, password=None, timeout=2.0):
    """One command on a connection of its own; ReplyError for an error reply."""
    with socket.create_connection((HOST, port), timeout=timeout) as s:
        stream = s.makefile("rb")
        if password:
            s.sendall(_encode(["AUTH", password]))
            _read_reply(stream)
        s.sendall(_encode(list(args)))
        return _read_reply(stream)


def info(port, section="all", password=None):
    text = command(port, "INFO", section, password=password)
    fields = {}
    for line in text.splitlines():
        if ":" in line and not line.startswith("#"):
            name, value = line.split(":", 1)
            fields[name] = value
    return fields


def command_calls(port, name, password=None):
    """How often clients ran a command (EVALSHA: one per message batch)."""
    stats = info(port, "commandstats", password).get("cmdstat_" + name, "")
    for part in stats.split(","):
        if part.startswith("calls="):
            return int(part[6:])
    return 0


def wait_until(what, condition, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            if condition():
                return
        except (OSError, ReplyError):
            pass
        time.sleep(0.05)
    raise TimeoutError("gave up waiting %s s for %s" % (seconds, what))


class Server:
    """redis-server on a free loopback port (or the given one), no
    persistence; a sentinel when sentinel_of names (master port, name)."""

    def __init__(self, *extra, port=None, workdir="/tmp", password=None, sentinel_of=None):
        self.extra = list(extra)
        self.port = port or free_port()
        self.workdir = workdir
        self.password = password
        self.sentinel_of = sentinel_of
        self.process = None
        self.start()

    @property
    def url(self):
        return "redis://%s:%d" % (HOST, self.port)

    def start(self):
        log = open(os.path.join(self.workdir, "redis-%d.log" % self.port), "ab")
        if self.sentinel_of:
            master_port, name = self.sentinel_of
            config = os.path.join(self.workdir, "sentinel-%d.conf" % self.port)
            with open(config, "w") as f:
                f.write("port %d\nbind %s\ndir %s\n" % (self.port, HOST, self.workdir))
                f.write("sentinel monitor %s %s %d 2\n" % (name, HOST, master_port))
                f.write("sentinel down-after-milliseconds %s 500\n" % name)
                f.write("sentinel failover-timeout %s 2000\n" % name)
                f.write("sentinel parallel-syncs %s 1\n" % name)
            args = ["redis-server", config, "--sentinel"]
        else:
            args = ["redis-server", "--port", str(self.port), "--bind", HOST, "--save", "",
                    "--appendonly", "no", "--dir", self.workdir] + self.extra
        self.process = subprocess.Popen(args, stdout=log, stderr=log, stdin=subprocess.DEVNULL)
        log.close()
        wait_until("redis-server on port %d" % self.port, self.answers, 10)

    def answers(self):
        if self.process.poll() is not None:
            raise RuntimeError("redis-server on port %d ended with %s" %
                               (self.port, self.process.returncode))
        return command(self.port, "PING", password=self.password) == "PONG"

    def command(self, *args):
        return command(self.port, *args, password=self.password)

    def calls(self, name):
        return command_calls(self.port, name, self.password)

    def kill(self):
        if self.process and self.process.poll() is None:
            os.kill(self.process.pid, signal.SIGKILL)
            self.process.wait(timeout=10)

    def restart(self):
        self.kill()
        self.start()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.kill()


class FakeServer:
    """A deliberately broken server on a free loopback port, served by a
    thread of the test's own: each command is answered with the bytes of the
    first entry of `answers` whose words begin the command ("INFO server"),
    else with an error. `held` names a command whose answer waits until
    release() (or ten seconds); `asked` is set when it arrives."""

    def __init__(self, answers, held=None):
        self.answers = sorted(answers.items(), key=lambda item: -len(item[0]))
        self.held = held
        self.asked = threading.Event()
        self.released = threading.Event()
        self.listener = socket.socket()
        self.listener.bind((HOST, 0))
        self.listener.listen(4)
        self.listener.settimeout(0.1)
        self.port = self.listener.getsockname()[1]
        self.stopped = False
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def release(self):
        self.released.set()

    def _serve(self):
        while not self.stopped:
            try:
                connection, _ = self.listener.accept()
            except socket.timeout:
                continue
            with connection:
                connection.settimeout(10)
                try:
                    self._answer(connection.makefile("rb"), connection)
                except (OSError, ValueError):
                    pass

    def _answer(self, stream, connection):
        while not self.stopped:
            header = stream.readline()
            if not header.startswith(b"*"):
                return
            words = []
            for _ in range(int(header[1:])):
                length = int(stream.readline()[1:])
                words.append(stream.read(length + 2)[:-2].decode("latin-1"))
            command = " ".join(words)
            reply = b"-ERR unknown\r\n"
            for start, answer in self.answers:
                if command.upper().startswith(start.upper()):
                    reply = answer
                    if self.held and start == self.held:
                        self.asked.set()
                        self.released.wait(10)
                    break
            connection.sendall(reply)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stopped = True
        self.released.set()
        self.thread.join(timeout=10)
        self.listener.close()
