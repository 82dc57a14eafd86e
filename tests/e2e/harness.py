"""Runs dualcap against a private sound server and reads its stream as it arrives; what every
end-to-end test shares.

The server (scripts/lib/sound_server.py) plays a tone into each of its two devices, at
frequencies of the caller's choice, so each source can be told apart by what it carries;
the stream is read by live_capture.Capture (scripts/lib/live_capture.py). Both are
re-exported here.

The program runs natively, or as the Windows build under Wine 8 (the host's, which has no
loopback capture) or Wine 10 (in a Debian 13 root, which has): see Runner.
"""

import argparse
import os
import shutil
import subprocess
import sys

CLONE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(CLONE, "scripts", "lib"))
from live_capture import (RATE, TAGS, Capture, cpu_seconds,  # noqa: E402,F401
                          find_process, per_source, tone_power)
from sound_server import (MIC_TONE, PLAYER_LATENCY_MS, SERVERS,  # noqa: E402,F401
                          SPEAKER_TONE, PipeWireServer, PulseServer, SoundServer,
                          sound_server)

RUNNERS = ("native", "wine8", "wine10")
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


def arrival_rate(source):
    """Samples per second, counted from the first chunk on."""
    span = source["last"] - source["first"]
    return (len(source["samples"]) - source["first_size"]) / span if span > 0 else 0.0


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
