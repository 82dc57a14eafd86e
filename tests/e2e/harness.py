"""Runs dualcap against a private PulseAudio server and reads its stream as it arrives.

The server is started by us, in a folder of our own (runtime directory, socket, home), so
no sound server of the machine is touched. Its speakers are a null sink; its microphone is
the monitor of a second null sink. A tone plays into each, at frequencies of the caller's
choice, so each source can be told apart by what it carries.
"""

import array
import argparse
import ctypes
import fcntl
import math
import os
import shutil
import signal
import struct
import subprocess
import termios
import threading
import time

RATE = 16000
TAGS = {0: "mic", 1: "system"}
failures = []


def arguments():
    """The command line that every end-to-end script takes."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--wine", action="store_true", help="run the Windows program under Wine")
    return parser.parse_args()


def check(condition, message):
    print(("ok   " if condition else "FAIL ") + message)
    if not condition:
        failures.append(message)
    return condition


def verdict(*extra):
    """Says how the checks went; the script's exit status."""
    print(f"{len(failures)} failed" if failures else "all checks passed", *extra)
    return 1 if failures else 0


def die_with_parent():
    """In a child before exec: end with us, even if we are killed, leaving no server behind."""
    PR_SET_PDEATHSIG = 1
    ctypes.CDLL(None).prctl(PR_SET_PDEATHSIG, signal.SIGKILL)


class PulseServer:
    def __init__(self, folder, mic_tone=440, speaker_tone=1000):
        self.folder = os.path.abspath(folder)
        self.mic_tone = mic_tone
        self.speaker_tone = speaker_tone
        self.process = None

    @property
    def env(self):
        runtime = os.path.join(self.folder, "runtime")
        env = dict(os.environ)
        env.update({
            "XDG_RUNTIME_DIR": runtime,
            "PULSE_RUNTIME_PATH": os.path.join(runtime, "pulse"),
            "PULSE_STATE_PATH": os.path.join(self.folder, "state"),
            "PULSE_SERVER": "unix:" + os.path.join(runtime, "native"),
            "HOME": self.folder,
        })
        return env

    def pactl(self, *args):
        return subprocess.run(["pactl", *args], env=self.env, check=True,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True).stdout

    def __enter__(self):
        shutil.rmtree(self.folder, ignore_errors=True)
        for sub in ("runtime", "state"):
            os.makedirs(os.path.join(self.folder, sub), mode=0o700)
        socket = self.env["PULSE_SERVER"][len("unix:"):]
        self.process = subprocess.Popen(
            ["pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--system=false",
             "-F", "/dev/null", "--log-target=file:" + os.path.join(self.folder, "server.log"),
             "--load=module-native-protocol-unix auth-anonymous=1 socket=" + socket,
             "--load=module-null-sink sink_name=speakers",
             "--load=module-null-sink sink_name=microphone"],
            env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            preexec_fn=die_with_parent)
        deadline = time.monotonic() + 15
        while True:
            try:
                self.pactl("info")
                break
            except subprocess.CalledProcessError:
                if self.process.poll() is not None or time.monotonic() > deadline:
                    raise RuntimeError("the private PulseAudio server did not start; see "
                                       + os.path.join(self.folder, "server.log"))
                time.sleep(0.1)
        if self.mic_tone:
            self.pactl("load-module", "module-sine", "sink=microphone",
                       f"frequency={self.mic_tone}")
        if self.speaker_tone:
            self.pactl("load-module", "module-sine", "sink=speakers",
                       f"frequency={self.speaker_tone}")
        self.pactl("set-default-sink", "speakers")
        self.pactl("set-default-source", "microphone.monitor")
        return self

    def __exit__(self, *exc):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


def fresh_wine_prefix(path, env):
    """A Wine prefix of its own: a prefix remembers the devices of the servers it has seen."""
    shutil.rmtree(path, ignore_errors=True)
    env.update({"WINEPREFIX": os.path.abspath(path), "WINEDEBUG": "-all"})
    subprocess.run(["wine", "wineboot", "-i"], env=env, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
    subprocess.run(["wineserver", "-w"], env=env)
    return env


class Capture:
    """A running dualcap whose chunks are collected, with their arrival times, as they come."""

    def __init__(self, command, env, stderr_path, stdout=subprocess.PIPE):
        """stdout: anything Popen takes; only a pipe is read, other outputs are left alone."""
        self.stderr_path = stderr_path
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
        if stdout == subprocess.PIPE:
            self.reader = threading.Thread(target=self._read, daemon=True)
            self.reader.start()

    def _read(self):
        stream = self.process.stdout
        while True:
            if not self.reading.is_set():
                self.parked.set()
                self.reading.wait()
            if self.stdout_closed:
                return
            header = stream.read(5)
            if len(header) < 5:
                self.trailing_bytes = len(header)
                return
            self.raw += header
            tag, length = struct.unpack("<BI", header)
            if length == 0 or length % 2:
                self.malformed = True
                return
            payload = stream.read(length)
            self.raw += payload
            if len(payload) < length:
                self.trailing_bytes = 5 + len(payload)
                return
            samples = struct.unpack(f"<{length // 2}h", payload)
            with self.lock:
                self.chunks.append((time.monotonic(), tag, samples))

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

    def snapshot(self):
        with self.lock:
            return list(self.chunks)

    def wait_for(self, tag, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if any(t == tag for _, t, _ in self.snapshot()):
                return True
            time.sleep(0.05)
        return False

    def signal(self, number):
        self.process.send_signal(number)

    def wait_for_exit(self, timeout):
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            return None

    def alive(self):
        return self.process.poll() is None

    def end(self):
        if self.alive():
            self.process.kill()
        self.process.wait()
        if self.reader:
            self.resume()
            self.reader.join(5)

    def stderr_lines(self):
        with open(self.stderr_path, "rb") as f:
            return f.read().decode(errors="replace").replace("\r\n", "\n").splitlines()


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


def arrival_rate(source):
    """Samples per second, counted from the first chunk on."""
    span = source["last"] - source["first"]
    return (len(source["samples"]) - source["first_size"]) / span if span > 0 else 0.0


def tone_power(samples, frequency):
    """Goertzel: the power of one frequency in the samples, per sample."""
    coefficient = 2 * math.cos(2 * math.pi * frequency / RATE)
    previous = before = 0.0
    for sample in samples:
        previous, before = sample + coefficient * previous - before, previous
    return (previous * previous + before * before - coefficient * previous * before) / max(
        len(samples), 1)


def cpu_seconds(pid):
    """User and system time of a running process, from /proc."""
    with open(f"/proc/{pid}/stat") as stat:
        # The fields after the command name, which may itself hold spaces and parentheses.
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def level(samples):
    if not samples:
        return 0, 0.0
    peak = max(abs(s) for s in samples)
    rms = math.sqrt(sum(s * s for s in samples) / len(samples))
    return peak, rms


def db(value):
    return 20 * math.log10(value / 32767) if value > 0 else float("-inf")
