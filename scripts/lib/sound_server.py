#!/usr/bin/env python3
"""A private sound server of our own, for the tests, the benchmarks and the demo.

The server is started by us, in a folder of our own (runtime directory, socket, home), so
no sound server of the machine is touched. Its speakers are a null sink; its microphone is
the monitor of a second null sink. A tone plays into each, at frequencies of the caller's
choice, so each source can be told apart by what it carries (tone_power). It is PulseAudio,
or PipeWire with WirePlumber and its PulseAudio server, as most Linux desktops run.

Run as a script, it runs a command beside such a server:

    sound_server.py --work DIR -- COMMAND...

with a 440 Hz tone in its microphone and a 1 kHz tone in its speakers; the server is
PulseAudio, or PipeWire if DUALCAP_SERVER=pipewire. The command gets the server's
environment (PULSE_SERVER and the rest) and DUALCAP_TEST_WORK=DIR, a folder for what it
writes; its exit status is ours.
"""

import ctypes
import math
import os
import shutil
import signal
import struct
import subprocess
import sys
import threading
import time

# The tones each device plays unless the caller chooses others (0: none), in Hz.
MIC_TONE, SPEAKER_TONE = 440, 1000


def die_with_parent():
    """In a child before exec: end with us, even if we are killed, leaving no server behind."""
    PR_SET_PDEATHSIG = 1
    ctypes.CDLL(None).prctl(PR_SET_PDEATHSIG, signal.SIGKILL)


class SoundServer:
    """A private server of PulseAudio's protocol, with its two devices and their tones.
    Subclasses start the server itself: PulseAudio, or PipeWire with its PulseAudio server."""

    name = None

    def __init__(self, folder, mic_tone=MIC_TONE, speaker_tone=SPEAKER_TONE):
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


def sound_server(args, mic_tone=MIC_TONE, speaker_tone=SPEAKER_TONE):
    """The server that args name (--server), in a folder of its own under args.work."""
    return SERVERS[args.server](os.path.join(args.work, args.server), mic_tone, speaker_tone)


def main():
    if len(sys.argv) < 5 or sys.argv[1] != "--work" or sys.argv[3] != "--":
        sys.exit(__doc__)
    work, command = os.path.abspath(sys.argv[2]), sys.argv[4:]
    os.makedirs(work, exist_ok=True)
    kind = SERVERS[os.environ.get("DUALCAP_SERVER", "pulse")]
    with kind(os.path.join(work, "server")) as server:
        env = dict(server.env, DUALCAP_TEST_WORK=work)
        sys.exit(subprocess.run(command, env=env).returncode)


if __name__ == "__main__":
    main()
