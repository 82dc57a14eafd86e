#!/usr/bin/env python3
"""Whole-program cost: dualcap capturing both sources against two parec processes recording
the same two sources at 16 kHz mono s16 (the server converting), one after the other in the
same private server: PulseAudio, then PipeWire (its server, session manager and PulseAudio
server all charged as the server). Each side is charged its own CPU time, the server's CPU
time while it ran, its peak resident memory, and the wake-ups a second of each of its
processes and of the server's (context switches of all their threads, voluntary or not);
the medians of a few rounds are printed."""

import argparse
import os
import signal
import statistics
import subprocess
import threading
import time

from live_capture import cpu_seconds
from sound_server import SERVERS


class Drained:
    """A process whose standard output is read and counted, and nothing more."""

    def __init__(self, command, env):
        self.bytes = 0
        self.process = subprocess.Popen(command, env=env, stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        while chunk := self.process.stdout.read1(65536):
            self.bytes += len(chunk)

    def end(self):
        """Stops the process; returns its CPU seconds, peak resident KiB and wake-ups."""
        wakes = wake_ups(self.process.pid)
        peak = peak_resident_kib(self.process.pid)
        self.process.send_signal(signal.SIGTERM)
        _, _, usage = os.wait4(self.process.pid, 0)
        self.process.returncode = 0
        self.reader.join(5)
        return usage.ru_utime + usage.ru_stime, peak, wakes


def peak_resident_kib(pid):
    """The most memory the running program has held since it started. Not the rusage
    figure, which also counts what the forking Python held before the program replaced it."""
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


def wake_ups(pid):
    """How often the threads of a running process have been switched in, so far."""
    count = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/status") as status:
                count += sum(int(line.split()[1]) for line in status
                             if line.startswith(("voluntary_ctxt", "nonvoluntary_ctxt")))
        except OSError:
            pass  # a thread that has just ended
    return count


def server_processes(server):
    """The processes that serve: all the server's own but its message bus."""
    return [p for p in server.processes if os.path.basename(p.args[0]) != "dbus-daemon"]


def measure(server, commands, seconds):
    served = server_processes(server)
    before = [(cpu_seconds(p.pid), wake_ups(p.pid)) for p in served]
    began = time.monotonic()
    processes = [Drained(command, server.env) for command in commands]
    time.sleep(seconds)
    ended = [p.end() for p in processes]
    elapsed = time.monotonic() - began
    after = [(cpu_seconds(p.pid), wake_ups(p.pid)) for p in served]
    return {
        "cpu": sum(cpu for cpu, _, _ in ended),
        "server": sum(a[0] - b[0] for a, b in zip(after, before)),
        "peak_kib": sum(peak for _, peak, _ in ended),
        "audio_s": sum(p.bytes for p in processes) / 2 / 16000,
        "wakes": [wakes / elapsed for _, _, wakes in ended],
        "server_wakes": [(a[1] - b[1]) / elapsed for a, b in zip(after, before)],
        "server_names": [os.path.basename(p.args[0]) for p in served],
    }


def report(server_name, results, seconds, rounds):
    print(f"{server_name}: whole program, {seconds:.0f} s of both sources, medians of {rounds} "
          f"rounds on {os.cpu_count()} cores")
    print(f"{'':<16}{'own cpu s':>10}{'server s':>10}{'total s':>9}{'cpu %':>7}"
          f"{'peak MiB':>10}{'audio s':>9}  wake-ups/s: own; server")
    medians = {}
    for name, rounds_of in results.items():
        keys = ("cpu", "server", "peak_kib", "audio_s")
        m = {key: statistics.median(r[key] for r in rounds_of) for key in keys}
        m["total"] = statistics.median(r["cpu"] + r["server"] for r in rounds_of)
        wakes = [statistics.median(r["wakes"][i] for r in rounds_of)
                 for i in range(len(rounds_of[0]["wakes"]))]
        served = [statistics.median(r["server_wakes"][i] for r in rounds_of)
                  for i in range(len(rounds_of[0]["server_wakes"]))]
        medians[name] = m
        own = " + ".join(f"{w:.0f}" for w in wakes)
        server = ", ".join(f"{n} {w:.0f}"
                           for n, w in zip(rounds_of[0]["server_names"], served))
        print(f"{name:<16}{m['cpu']:>10.2f}{m['server']:>10.2f}{m['total']:>9.2f}"
              f"{100 * m['total'] / seconds:>7.1f}{m['peak_kib'] / 1024:>10.1f}"
              f"{m['audio_s']:>9.1f}  {own}; {server}")
    ours = medians["dualcap"]
    for name in ("2 x parec", "2 x parec 10 ms"):
        theirs = medians[name]
        print(f"{server_name}: dualcap / {name}: cpu with server "
              f"{ours['total'] / theirs['total']:.2f}, own cpu {ours['cpu'] / theirs['cpu']:.2f}, "
              f"peak memory {ours['peak_kib'] / theirs['peak_kib']:.2f}")
    # Each round measures the sides one after the other, so a round's pair saw the same
    # machine: the spread of the pairs tells a real difference from a run's luck.
    paired = list(zip(results["dualcap"], results["2 x parec 10 ms"]))
    own = sorted(mine["cpu"] / parecs["cpu"] for mine, parecs in paired)
    total = sorted((mine["cpu"] + mine["server"]) / (parecs["cpu"] + parecs["server"])
                   for mine, parecs in paired)
    print(f"{server_name}: dualcap / 2 x parec 10 ms, round by round: cpu with server "
          f"{total[0]:.2f} to {total[-1]:.2f}, own cpu {own[0]:.2f} to {own[-1]:.2f}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--seconds", type=float, default=20)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--servers", default="pulse,pipewire",
                        help="which private servers, in order (default: pulse,pipewire)")
    args = parser.parse_args()

    parec = ["parec", "--raw", "--format=s16le", "--rate=16000", "--channels=1", "-d"]
    # parec's own default delivers in 2 s fragments; dualcap delivers every 10 ms, so the
    # fair match is parec asked for the same latency. Both are shown.
    low = [parec[0], "--latency-msec=10", *parec[1:]]
    sides = {
        "dualcap": [[os.path.abspath(args.exe)]],
        "2 x parec": [parec + ["microphone.monitor"], parec + ["speakers.monitor"]],
        "2 x parec 10 ms": [low + ["microphone.monitor"], low + ["speakers.monitor"]],
    }
    for index, kind in enumerate(args.servers.split(",")):
        if index:
            print()
        results = {name: [] for name in sides}
        server_class = SERVERS[kind]
        with server_class(os.path.join(args.work, kind)) as server:
            for _ in range(args.rounds):
                for name, commands in sides.items():
                    results[name].append(measure(server, commands, args.seconds))
        report(server_class.name, results, args.seconds, args.rounds)


if __name__ == "__main__":
    main()
