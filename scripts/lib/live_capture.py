"""A running dualcap whose stream is read as it arrives, chunk by chunk, with each chunk's
arrival time: for the tests, the benchmarks and the demo."""

import array
import fcntl
import math
import os
import signal
import subprocess
import sys
import termios
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "readers", "python"))
import dualcap  # noqa: E402

RATE = dualcap.RATE
TAGS = dict(enumerate(dualcap.SOURCES))
F_SETPIPE_SZ, F_GETPIPE_SZ = 1031, 1032


def descendants(pid):
    """pid and every process below it."""
    children = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as stat:
                    parent = int(stat.read().rsplit(")", 1)[1].split()[1])
            except (OSError, IndexError, ValueError):
                continue
            children.setdefault(parent, []).append(int(entry))
    found, pending = [], [pid]
    while pending:
        found.append(pending.pop())
        pending.extend(children.get(found[-1], []))
    return found


def find_process(under, unique, timeout=20):
    """The process below `under` that runs the program file named `unique`, or None. Wine
    gives a Windows program's process the program's path as its whole command line; the
    wrappers that start it name it only further on in theirs."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        for pid in descendants(under):
            try:
                with open(f"/proc/{pid}/cmdline", "rb") as cmdline:
                    program = cmdline.read().split(b"\0")[0].strip()
            except OSError:
                continue
            if os.path.basename(program) == unique.encode():
                return pid
        time.sleep(0.05)
    return None


class Capture:
    """A running dualcap whose chunks are collected, with their arrival times, as they come."""

    def __init__(self, command, env, stderr_path, stdout=subprocess.PIPE, unique=None,
                 pipe_size=None):
        """stdout: anything Popen takes; only a pipe is read, other outputs are left alone.
        unique: the name the program's process is found by, if it is not the one started.
        pipe_size: the pipe's capacity in bytes, if not the system's 64 KiB (a Python
        parent's pipe on Windows holds 4 KiB)."""
        self.stderr_path = stderr_path
        self.unique = unique
        self._pid = None
        self.chunks = []  # (arrival time, tag, samples)
        self.raw = bytearray()  # the stream as it came
        self.trailing_bytes = 0
        self.malformed = False
        self.lock = threading.Lock()
        # Cleared, the reader holds off between chunks and leaves the pipe to fill.
        self.reading = threading.Event()
        self.reading.set()
        self.parked = threading.Event()
        self.stdout_closed = False
        with open(stderr_path, "wb") as stderr:
            self.process = subprocess.Popen(command, env=env, stdout=stdout,
                                            stderr=stderr, stdin=subprocess.DEVNULL)
        self.started = time.monotonic()
        self.reader = None
        if stdout == subprocess.PIPE and pipe_size:
            fcntl.fcntl(self.process.stdout.fileno(), F_SETPIPE_SZ, pipe_size)
        if stdout == subprocess.PIPE:
            self.reader = threading.Thread(target=self._read, daemon=True)
            self.reader.start()

    def _read(self):
        reader = dualcap.ChunkReader(_Recorded(self.process.stdout, self.raw))
        while True:
            if not self.reading.is_set():
                self.parked.set()
                self.reading.wait()
            if self.stdout_closed:
                return
            try:
                chunk = next(reader, None)
            except dualcap.StreamError:
                self.malformed = True
                return
            if chunk is None:
                self.trailing_bytes = reader.truncated_bytes
                return
            with self.lock:
                self.chunks.append((time.monotonic(), chunk.tag, chunk.samples))

    def pause(self, timeout=5):
        """Stops reading after the chunk in hand; False if the reader did not get that far."""
        self.parked.clear()
        self.reading.clear()
        return self.parked.wait(timeout)

    def resume(self):
        self.reading.set()

    def close_stdout(self):
        """Closes our end of the pipe, as a reader that goes away does."""
        if not self.pause():
            return False  # closing under a read in progress would leave the reader stuck
        self.stdout_closed = True
        self.process.stdout.close()
        self.resume()
        return True

    def queued_bytes(self):
        """What the program has written that the pipe holds unread."""
        count = array.array("i", [0])
        fcntl.ioctl(self.process.stdout.fileno(), termios.FIONREAD, count)
        return count[0]

    def pipe_capacity(self):
        return fcntl.fcntl(self.process.stdout.fileno(), F_GETPIPE_SZ)

    def snapshot(self):
        with self.lock:
            return list(self.chunks)

    def wait_for(self, tag, timeout):
        """Whether a chunk of `tag` comes within `timeout`."""
        return self.wait_for_more(0, tag, timeout)

    @property
    def pid(self):
        """The program's own process: where signals go and whose CPU time counts."""
        if self._pid is None:
            self._pid = (find_process(self.process.pid, self.unique) if self.unique
                         else self.process.pid)
            if self._pid is None:
                raise RuntimeError(f"no process named {self.unique} below {self.process.pid}")
        return self._pid

    def wait_for_more(self, count, tag, timeout):
        """Whether a chunk of `tag` comes after the first `count` chunks, within `timeout`."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if any(t == tag for _, t, _ in self.snapshot()[count:]):
                return True
            time.sleep(0.05)
        return False

    def signal(self, number):
        os.kill(self.pid, number)

    def wait_for_exit(self, timeout):
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            return None

    def alive(self):
        return self.process.poll() is None

    def end(self):
        if self.alive():
            if self._pid is not None and self._pid != self.process.pid:
                try:
                    os.kill(self._pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
            self.process.kill()
        self.process.wait()
        if self.reader:
            self.resume()
            self.reader.join(5)

    def stderr_lines(self):
        with open(self.stderr_path, "rb") as f:
            return f.read().decode(errors="replace").replace("\r\n", "\n").splitlines()


class _Recorded:
    """A stream that keeps a copy of what is read from it."""

    def __init__(self, stream, copy):
        self.stream = stream
        self.copy = copy

    def read(self, size):
        data = self.stream.read(size)
        self.copy += data
        return data


def per_source(chunks):
    """Samples, chunk count, and first and last arrival time of each tag."""
    sources = {}
    for arrived, tag, samples in chunks:
        s = sources.setdefault(tag, {"chunks": 0, "samples": [], "first": arrived,
                                     "first_size": len(samples), "last": arrived})
        s["chunks"] += 1
        s["samples"].extend(samples)
        s["last"] = arrived
    return sources


def cpu_seconds(pid):
    """User and system time of a running process, from /proc."""
    with open(f"/proc/{pid}/stat") as stat:
        # The fields after the command name, which may itself hold spaces and parentheses.
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def tone_power(samples, frequency):
    """Goertzel: the power of one frequency in the samples, per sample."""
    coefficient = 2 * math.cos(2 * math.pi * frequency / RATE)
    previous = before = 0.0
    for sample in samples:
        previous, before = sample + coefficient * previous - before, previous
    return (previous * previous + before * before - coefficient * previous * before) / max(
        len(samples), 1)
