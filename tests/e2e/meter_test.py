#!/usr/bin/env python3
"""End to end: dualcap-split's meter.

- Natively, in a real terminal (tmux): `dualcap | dualcap-split --meter -o DIR -` against a
  private sound server with a tone in each device, as a person checking a setup runs
  it. Both sources' lines are redrawn in place, their bars show the tones and their seconds
  grow; Ctrl+C in the terminal stops the capture, and dualcap-split writes its files out
  whole and says what each source carried.
- Natively or under Wine, with standard error a file: dualcap-split on a pipe that we
  write to and keep open writes one summary line a second, and Ctrl+C (a console control
  event under Wine) ends its input, leaving whole files; natively, so does a closed terminal
  (SIGHUP).
"""

import argparse
import os
import re
import shlex
import signal
import struct
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

LINE = re.compile(r"^(mic|system) +\[([#|-]{30})\] +(-?[\d.]+) dBFS +([\d.]+) s +(\d+) chunks/s")


def wav_is_whole(path):
    """Whether the header counts every byte of the file's data."""
    with open(path, "rb") as wav:
        header = wav.read(44)
    return len(header) == 44 and struct.unpack("<I", header[40:44])[0] == os.path.getsize(
        path) - 44 > 0


def end_dualcap(pid_file):
    """dualcap outlives Ctrl+C by design; it is ours, found by the pid it wrote. It may have
    ended by itself: a chunk still in hand when the Ctrl+C came finds its reader gone."""
    with open(pid_file) as f:
        try:
            os.kill(int(f.read()), signal.SIGTERM)
        except ProcessLookupError:
            pass


def in_terminal(args, server):
    folder = os.path.join(args.work, "terminal")
    os.makedirs(folder, exist_ok=True)
    pid_file = os.path.join(folder, "dualcap.pid")
    script = os.path.join(folder, "run.sh")
    with open(script, "w") as f:
        # Like an interactive shell, the pane's outlives the Ctrl+C that goes to its job.
        f.write(f"trap : INT\nsh -c 'echo $$ > {pid_file}; exec {shlex.quote(args.exe)}' "
                f"2>/dev/null | {shlex.quote(args.split)} --meter -o {shlex.quote(folder)} -\n"
                f"echo split exited $?\n")
    tmux = ["tmux", "-S", os.path.join(folder, "tmux.sock")]
    # The tmux server starts here, and its panes get the environment it starts with: the
    # private sound server's.
    subprocess.run([*tmux, "-f", "/dev/null", "new-session", "-d", "-x", "100", "-y", "12",
                    "sh " + script], env=server.env, check=True)
    try:
        subprocess.run([*tmux, "set-option", "-g", "remain-on-exit", "on"], check=True)

        def screen():
            return subprocess.run([*tmux, "capture-pane", "-p"], check=True, text=True,
                                  stdout=subprocess.PIPE).stdout

        shots = []
        for _ in range(2):
            time.sleep(2.5)
            shots.append(screen())
            print(shots[-1].rstrip())
        readings = [{m.group(1): m for m in map(LINE.match, shot.splitlines()) if m}
                    for shot in shots]
        for name in ("mic", "system"):
            harness.check(all(name in r for r in readings), f"{name}: one line on each screen")
            if not all(name in r for r in readings):
                continue
            first, second = readings[0][name], readings[1][name]
            harness.check(first.group(2).startswith("#####") and float(second.group(3)) > -30,
                          f"{name}: its bar shows the tone ({second.group(3)} dBFS)")
            harness.check(float(second.group(4)) > float(first.group(4)) + 1,
                          f"{name}: its seconds grow ({first.group(4)} s, {second.group(4)} s)")
            harness.check(int(second.group(5)) > 0, f"{name}: {second.group(5)} chunks/s")
        harness.check(all(len(shot.strip().splitlines()) == 2 for shot in shots),
                      "the lines are redrawn in place")
        subprocess.run([*tmux, "send-keys", "C-c"], check=True)
        time.sleep(1.5)
        end_dualcap(pid_file)
        time.sleep(0.5)
        final = screen()
        print(final.rstrip())
        harness.check("split exited 0" in final, "Ctrl+C ends dualcap-split's input: it exits 0")
        harness.check(all(wav_is_whole(os.path.join(folder, n + ".wav")) for n in
                          ("mic", "system")), "and writes both files out whole")
    finally:
        subprocess.run([*tmux, "kill-server"], stderr=subprocess.DEVNULL)


def interrupted(args, sig, what):
    """dualcap-split (native or under Wine) on a pipe we write to and keep open, with standard
    error a file, then `sig`: SIGINT is Ctrl+C (which Wine delivers as a console control event),
    SIGHUP a closed terminal (which Wine does not)."""
    folder = os.path.join(args.work, f"log-{signal.Signals(sig).name}")
    os.makedirs(folder, exist_ok=True)
    log = os.path.join(folder, "meter.txt")
    with harness.Runner(argparse.Namespace(runner=args.runner, exe=args.split, work=folder),
                        os.environ) as runner, open(log, "w") as stderr:
        command, unique = runner.command()
        split = subprocess.Popen([*command, "--meter", "-o", folder, "-"], env=runner.env,
                                 stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=stderr)
        # 10 ms a source, about 100 times a second for 3.5 s: a 1,000-count square wave
        # (-30.3 dBFS) for the microphone, silence for the system.
        chunks = (struct.pack("<BI160h", 0, 320, *([1000, -1000] * 80)) +
                  struct.pack("<BI160h", 1, 320, *([0] * 160)))
        for _ in range(350):
            split.stdin.write(chunks)
            split.stdin.flush()
            time.sleep(0.01)
        time.sleep(1)  # for all of it to be read
        os.kill(harness.find_process(split.pid, unique) if unique else split.pid,
                sig)
        try:
            status = split.wait(10)
        except subprocess.TimeoutExpired:
            status = None
            split.kill()
        split.stdin.close()
    with open(log) as f:
        lines = f.read().splitlines()
    print("\n".join(lines))
    # Wine in the Debian 13 root has its say on standard error too.
    lines = [line for line in lines if line.startswith("meter:")]
    level = r"peak (-inf|-?[\d.]+) dBFS, [\d.]+ s, \d+ chunks/s"
    summary = re.compile(rf"^meter: mic {level} \| system {level}$")
    harness.check(len(lines) >= 2 and all(map(summary.match, lines)),
                  f"standard error a file: {len(lines)} summary lines in 3.5 s, of both sources")
    # A line's rate is of the second before it: about 100 while chunks were sent, more where a
    # backlog came in at once (Wine is slow to start), less at the end, after the sending.
    rates = [re.findall(r"(\d+) chunks/s", line) for line in lines[:-1]]
    harness.check(bool(lines) and lines[-1].startswith("meter: mic peak -30.3 dBFS, 3.5 s, ") and
                  "system peak -inf dBFS, 3.5 s" in lines[-1] and
                  any(all(40 < int(rate) <= 200 for rate in both) for both in rates),
                  "they say the level, seconds and chunks a second of what was sent")
    harness.check(status == 0, f"{what} ends the input: dualcap-split exits 0 ({status})")
    harness.check(all(wav_is_whole(os.path.join(folder, n + ".wav")) for n in ("mic", "system")),
                  "and writes its files out whole")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--split", required=True)
    parser.add_argument("--exe", help="dualcap, for the terminal case (native only)")
    args = harness.arguments(parser)
    if args.runner == "native":
        with harness.sound_server(args) as server:
            in_terminal(args, server)
    interrupted(args, signal.SIGINT, "Ctrl+C")
    if args.runner == "native":
        interrupted(args, signal.SIGHUP, "A closed terminal")
    return harness.verdict(f"({args.runner})")


if __name__ == "__main__":
    sys.exit(main())
