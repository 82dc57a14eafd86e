"""Runs dualcap against a private PulseAudio server and reads its stream as it arrives.

The server is started by us, in a folder of our own (runtime directory, socket, home), so
no sound server of the machine is touched. Its speakers are a null sink; its microphone is
the monitor of a second null sink. A tone plays into each, at frequencies of the caller's
choice, so each source can be told apart by what it carries.

The program runs natively, or as the Windows build under Wine 8 (the host's, which has no
loopback capture) or Wine 10 (in a Debian 13 root, which has): see Runner.
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
F_SETPIPE_SZ, F_GETPIPE_SZ = 1031, 1032
RUNNERS = ("native", "wine8", "wine10")
CLONE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
WINE_RUN = os.path.join(CLONE, "scripts", "lib", "wine-run")
failures = []


def arguments(parser=None):
    """The command line that every end-to-end script takes, besides what `parser` already
    has. Each runner and server works in a folder of its own under --work, so the runs of
    one build under both Wines, or against both servers, keep their logs."""
    if parser is None:
        parser = argparse.ArgumentParser()
        parser.add_argument("--exe", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--runner", choices=RUNNERS,
                        default=os.environ.get("DUALCAP_RUNNER", "native"),
                        help="how the program runs (default: $DUALCAP_RUNNER, else native)")
    parser.add_argument("--server", choices=SERVERS,
                        default=os.environ.get("DUALCAP_SERVER", "pulse"),
                        help="the sound server (default: $DUALCAP_SERVER, else pulse)")
    args = parser.parse_args()
    args.work = os.path.join(os.path.abspath(args.work), args.runner)
    if args.server != "pulse":
        args.work += "-" + args.server
    os.makedirs(args.work, exist_ok=True)
    return args


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


class SoundServer:
    """A private server of PulseAudio's protocol, with its two devices and their tones.
    Subclasses start the server itself: PulseAudio, or PipeWire with its PulseAudio server."""

    name = None

    def __init__(self, folder, mic_tone=440, speaker_tone=1000):
        self.folder = os.path.abspath(folder)
        self.mic_tone = mic_tone
        self.speaker_tone = speaker_tone
        self.processes = []
        self.process = None  # the one that serves PulseAudio's protocol
        self.own_playbacks = set()  # the server's own tones, not a client's streams

    @property
    def runtime(self):
        return os.path.join(self.folder, "runtime")

    @property
    def env(self):
        env = dict(os.environ)
        for name in ("PULSE_RUNTIME_PATH", "PULSE_STATE_PATH", "PIPEWIRE_REMOTE"):
            env.pop(name, None)
        env.update({"XDG_RUNTIME_DIR": self.runtime, "HOME": self.folder,
                    "PULSE_SERVER": "unix:" + self.socket})
        return env

    def pactl(self, *args):
        return subprocess.run(["pactl", *args], env=self.env, check=True,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True).stdout

    def spawn(self, name, command, env=None, stdout=None):
        """One of the server's processes, logged to a file of its name; it dies with us."""
        with open(os.path.join(self.folder, name + ".log"), "wb") as log:
            return subprocess.Popen(command, env=env or self.env, stdout=stdout or log,
                                    stderr=log, stdin=subprocess.DEVNULL,
                                    preexec_fn=die_with_parent)

    def __enter__(self):
        shutil.rmtree(self.folder, ignore_errors=True)
        os.makedirs(self.runtime, mode=0o700)
        self.start()
        self.wait_until(lambda: self.pactl("info"), "did not start")
        for sink in ("speakers", "microphone"):
            self.pactl("load-module", "module-null-sink", "sink_name=" + sink)
        for sink, tone in (("microphone", self.mic_tone), ("speakers", self.speaker_tone)):
            if tone:
                self.play_tone(sink, tone)
        self.pactl("set-default-sink", "speakers")
        self.pactl("set-default-source", "microphone.monitor")
        # PipeWire's session manager applies them once it has seen the devices.
        self.wait_until(lambda: (self.pactl("get-default-sink").strip(),
                                 self.pactl("get-default-source").strip())
                        == ("speakers", "microphone.monitor"), "chose no defaults")
        self.own_playbacks = set(self.playbacks())
        return self

    def wait_until(self, ready, failure, timeout=15):
        deadline = time.monotonic() + timeout
        while True:
            try:
                if ready():
                    return
            except subprocess.CalledProcessError:
                pass
            if self.process.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError(f"the private {self.name} server {failure}; see the logs "
                                   f"in {self.folder}")
            time.sleep(0.1)

    def playbacks(self):
        return [line.split()[0] for line in
                self.pactl("list", "short", "sink-inputs").splitlines()]

    def client_playbacks(self):
        """How many playback streams clients hold, besides the server's own tones."""
        return len(set(self.playbacks()) - self.own_playbacks)

    def unplug(self, sink):
        """Removes a device, as a user who pulls out its plug."""
        modules = self.pactl("list", "short", "modules").splitlines()
        [module] = [line.split()[0] for line in modules if f"sink_name={sink}" in line]
        self.pactl("unload-module", module)

    def lose(self):
        """The server that clients talk to goes away at once, as in a crash."""
        self.process.kill()

    def __exit__(self, *exc):
        self.stop(self.processes)

    def stop(self, processes):
        for process in reversed(processes):
            if process and process.poll() is None:
                process.terminate()
                try:
                    process.wait(5)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()


class PulseServer(SoundServer):
    name = "PulseAudio"

    @property
    def socket(self):
        return os.path.join(self.runtime, "native")

    @property
    def env(self):
        env = super().env
        env.update({"PULSE_RUNTIME_PATH": os.path.join(self.runtime, "pulse"),
                    "PULSE_STATE_PATH": os.path.join(self.folder, "state")})
        return env

    def start(self):
        self.process = self.spawn("server", [
            "pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--system=false",
            "-F", "/dev/null", "--log-target=stderr",
            "--load=module-native-protocol-unix auth-anonymous=1 socket=" + self.socket])
        self.processes.append(self.process)

    def play_tone(self, sink, frequency):
        self.pactl("load-module", "module-sine", f"sink={sink}", f"frequency={frequency}")

    def stop_tones(self):
        self.pactl("unload-module", "module-sine")

# What a player of ours keeps queued in the server: as a desktop's media player does, enough
# that a busy machine never runs it dry. PipeWire gives a player no more than about 170 ms
# unless asked, and a tone or beep that runs dry puts silence, or a delay, into what dualcap
# captures that is not dualcap's.
PLAYER_LATENCY_MS = 1000


class PipeWireServer(SoundServer):
    """PipeWire as most Linux desktops run it: the server, its session manager WirePlumber
    and its PulseAudio server, on a private D-Bus session bus, without which WirePlumber
    leaves at once and no stream is ever linked. It has no module-sine: each tone is a
    player that writes a sine wave for ever."""

    name = "PipeWire"

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.players = []
        self.bus = None

    @property
    def socket(self):
        return os.path.join(self.runtime, "pulse", "native")

    @property
    def env(self):
        env = super().env
        env.update({"XDG_CONFIG_HOME": os.path.join(self.folder, "config"),
                    "XDG_STATE_HOME": os.path.join(self.folder, "state")})
        if self.bus:
            env["DBUS_SESSION_BUS_ADDRESS"] = self.bus
        return env

    def start(self):
        bus = self.spawn("dbus", ["dbus-daemon", "--session", "--nofork", "--nopidfile",
                                  "--print-address=1"], stdout=subprocess.PIPE)
        self.processes.append(bus)
        self.bus = bus.stdout.readline().decode().strip()
        self.process = self.spawn("pipewire", ["pipewire"])
        self.processes.append(self.process)
        # The session manager and the PulseAudio server leave if PipeWire is not up yet.
        self.wait_until(lambda: os.path.exists(os.path.join(self.runtime, "pipewire-0")),
                        "did not start")
        for name in ("wireplumber", "pipewire-pulse"):
            self.processes.append(self.spawn(name, [name]))
        self.process = self.processes[-1]

    def play_tone(self, sink, frequency):
        player = subprocess.Popen(
            ["pacat", "--playback", "--raw", "--format=s16le", "--rate=48000",
             "--channels=1", "--latency-msec=" + str(PLAYER_LATENCY_MS), "--device=" + sink],
            env=self.env, stdin=subprocess.PIPE,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, preexec_fn=die_with_parent)
        # A second of a whole number of periods repeats without a seam; half scale, as
        # PulseAudio's module-sine plays.
        second = b"".join(struct.pack("<h", int(16384 * math.sin(2 * math.pi * frequency * i
                                                                 / 48000)))
                          for i in range(48000))

        def feed():
            try:
                while True:
                    player.stdin.write(second)
            except (BrokenPipeError, ValueError, OSError):
                pass

        threading.Thread(target=feed, daemon=True).start()
        self.players.append(player)

    def stop_tones(self):
        self.stop(self.players)
        self.players = []

    def __exit__(self, *exc):
        self.stop_tones()
        super().__exit__(*exc)


SERVERS = {"pulse": PulseServer, "pipewire": PipeWireServer}


def sound_server(args, mic_tone=440, speaker_tone=1000):
    """The server that args name (--server), in a folder of its own under args.work."""
    return SERVERS[args.server](os.path.join(args.work, args.server), mic_tone, speaker_tone)


class Runner:
    """How the program runs: natively, or the Windows build under Wine 8 or Wine 10.

    Under Wine each run gets a copy of the program under a name of its own, by which its
    process is found (the machine may run other Wine programs); under Wine 10 the process we
    start is the root's namespace, not the program. Use as a context manager around the runs:
    the Wine server of its prefix ends with it.
    """

    def __init__(self, args, env):
        self.name = args.runner
        self.exe = args.exe
        self.work = args.work
        self.wine = self.name != "native"
        # Wine 8 has no loopback capture: there the system source ends with its error line.
        self.loopback = self.name != "wine8"
        self.env = dict(env)
        self.runs = 0

    def __enter__(self):
        if self.name == "wine10" and os.path.commonpath([self.work, CLONE]) != CLONE:
            raise RuntimeError(f"under Wine 10 the work folder must lie in {CLONE}, "
                               "the one folder of the host that the root sees")
        if self.wine:
            # A prefix of its own: a prefix remembers the devices of the servers it has seen.
            prefix = os.path.join(self.work, "wineprefix")
            shutil.rmtree(prefix, ignore_errors=True)
            self.env.update({"WINEPREFIX": prefix, "WINEDEBUG": "-all",
                             "DUALCAP_RUNNER": self.name})
            self.wine_tool("wine", "wineboot", "-i")
            self.wine_tool("wineserver", "-w")
        return self

    def __exit__(self, *exc):
        if self.wine:
            self.wine_tool("wineserver", "-k")

    def wine_tool(self, *command):
        subprocess.run([WINE_RUN, *command], env=self.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)

    def command(self):
        """The command line of one run and the name its process is found by (None: the
        process we start is the program itself)."""
        if not self.wine:
            return [self.exe], None
        self.runs += 1
        base, extension = os.path.splitext(os.path.basename(self.exe))
        unique = f"{base}-{os.getpid()}-{self.runs}{extension}"
        shutil.copy(self.exe, os.path.join(self.work, unique))
        return [WINE_RUN, "wine", os.path.join(self.work, unique)], unique

    def start(self, stderr_path, stdout=subprocess.PIPE, wrap=(), pipe_size=None):
        """A Capture of the program; wrap: a command that execs the rest of its line."""
        command, unique = self.command()
        return Capture([*wrap, *command], self.env, stderr_path, stdout, unique, pipe_size)


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


def longest_silence(samples):
    """The longest run of exact zeros after the first sound, in seconds: what a fill of lost
    time leaves in a source that carries a tone. A monitor may begin with a few
    milliseconds of silence before the tone reaches it (PipeWire's does); no fill comes
    before the first packet."""
    longest = run = 0
    heard = False
    for sample in samples:
        heard = heard or sample != 0
        run = run + 1 if sample == 0 and heard else 0
        longest = max(longest, run)
    return longest / RATE


def level(samples):
    if not samples:
        return 0, 0.0
    peak = max(abs(s) for s in samples)
    rms = math.sqrt(sum(s * s for s in samples) / len(samples))
    return peak, rms


def db(value):
    return 20 * math.log10(value / 32767) if value > 0 else float("-inf")
