#!/usr/bin/env python3
"""What GetBuffer reports around lost audio, for capture and for loopback, under Wine 10.

overrun_probe.exe opens each default endpoint as the program does (shared mode), reads in
time for a second, stalls, then reads on. Seen under Wine 10.0 against a private PulseAudio
server (44.1 kHz, 441-frame packets), alike on both endpoints.

When the reader stalls for a second while the process runs on (the probe asks for a 100 ms,
4,410-frame buffer here, not the program's 2 s, so that the second overruns it):
- the first packet after Start has no flag; the first after the stall, and only it, has
  AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY;
- the device position does not count the lost time: it goes on one packet (441 frames)
  beyond where the last packet before the stall ended, then by each packet's frames;
- the performance-counter position does: the first nine packets after the stall are old
  (stamped 20 to 100 ms after the last one before it), and the tenth, where the buffer's
  backlog ends, jumps by the rest of the stall (about 0.9 s);
- the counter positions also jitter, by up to about 25 ms between two packets, with
  packets stamped microseconds apart after such a delay.
So under Wine 10 the flag says that time was lost but not how much, the device position
never says it, and the counter says it only at the end of the backlog, well above its
jitter.

When the whole process is stopped for 5 s (SIGSTOP, then SIGCONT; the program's 2 s,
88,200-frame buffer), Wine's own thread that reads from the server stops with it, and the
server keeps what the stream's buffer holds:
- the device position runs on without a skip, except that at most one packet may be
  flagged, a packet ahead (when what the server kept overran Wine's buffer by a packet):
  nothing but the counter says how much was lost;
- a packet or so from before the stop comes first, stamped in time; then the first packet
  that the server kept, stamped the whole stop after the one before;
- then the rest of the backlog, each packet stamped when Wine read it, in one go or a few,
  so that the stamps stand nearly still while the frames run on (on a loaded machine they
  move, more slowly than the frames): 2.0 to 3.3 s of it seen, up to more than the buffer,
  as Wine reads on while the reader frees its buffer;
- after it the stream runs live, and its stamps lie behind its frames by the stop less the
  backlog: the time really lost.
So the counter's jump at the first packet counts the kept backlog as lost too; the lag of
the stamps behind the frames, at its lowest once the backlog is read, is the loss.

The checks below hold these facts, so that a change of Wine that breaks what the program
relies on shows up here.
"""
import os
import re
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

DISCONTINUITY = 0x1
PROCESS_STOP = 5  # seconds

LINE = re.compile(r"(\w+) (first|before|after) flags=0x(\w+) frames=(\d+) devpos=(\d+) "
                  r"qpc=(\d+) read=(\d+)")
FORMAT = re.compile(r"(\w+) format rate=(\d+) buffer=(\d+) stall=(\d+)")


def parse(output):
    endpoints = {}
    for line in output.splitlines():
        if match := LINE.fullmatch(line):
            source, when, flags, *numbers = match.groups()
            packet = dict(zip(("frames", "devpos", "qpc", "read"), map(int, numbers)),
                          flags=int(flags, 16))
            endpoint = endpoints.setdefault(source, {"after": []})
            if when == "after":
                endpoint["after"].append(packet)
            else:
                endpoint[when] = packet
        elif match := FORMAT.fullmatch(line):
            source, *numbers = match.groups()
            endpoints.setdefault(source, {"after": []}).update(
                zip(("rate", "buffer", "stall"), map(int, numbers)))
    return endpoints


def around_stall(name, endpoint, least):
    """The last packet before the stall, those after it, the rate, and the stall in seconds;
    None if the probe did not get that far."""
    before, after = endpoint.get("before"), endpoint["after"]
    if not harness.check(before is not None and len(after) > least and "rate" in endpoint,
                         f"{name}: packets before and after the stall"):
        return None
    return before, after, endpoint["rate"], endpoint["stall"] / 1e7


def stamp_steps(before, after):
    """Seconds from each packet's counter position to the next one's, from the last before."""
    return [(b["qpc"] - a["qpc"]) / 1e7 for a, b in zip([before, *after], after)]


def examine(name, endpoint):
    if not (packets := around_stall(name, endpoint, 12)):
        return
    before, after, rate, stall = packets
    harness.check(endpoint["first"]["flags"] & DISCONTINUITY == 0,
                  f"{name}: the first packet after Start is not flagged "
                  f"(flags 0x{endpoint['first']['flags']:x})")
    flagged = [i for i, p in enumerate(after) if p["flags"] & DISCONTINUITY]
    harness.check(flagged == [0], f"{name}: the first packet after the stall, and only it, "
                  f"is flagged as a discontinuity (flagged: {flagged})")

    skipped = after[0]["devpos"] - (before["devpos"] + before["frames"])
    steady = all(b["devpos"] == a["devpos"] + a["frames"] for a, b in zip(after, after[1:]))
    harness.check(skipped == before["frames"] and steady,
                  f"{name}: the device position skips one packet ({skipped} frames), "
                  f"not the {stall:.2f} s stall")

    # The time the counter says passed, less the time the delivered frames cover.
    last = after[-1]
    lost = (last["qpc"] - before["qpc"]) / 1e7 - (last["devpos"] - before["devpos"]) / rate
    expected = stall - endpoint["buffer"] / rate
    harness.check(abs(lost - expected) < 0.15,
                  f"{name}: the counter positions show {lost:.3f} s lost "
                  f"(stall less buffer: {expected:.3f} s)")
    steps = stamp_steps(before, after)
    jump = max(range(len(steps)), key=steps.__getitem__)
    harness.check(steps[0] < 0.2 and jump > 0,
                  f"{name}: the flagged packet's own counter position shows no loss "
                  f"({steps[0] * 1000:.0f} ms after the last before); it shows at packet "
                  f"{jump} after the stall ({steps[jump]:.3f} s)")


def examine_stop(name, endpoint):
    if not (packets := around_stall(name + " stopped", endpoint, 450)):
        return
    before, after, rate, stall = packets
    flagged = [i for i, p in enumerate(after) if p["flags"] & DISCONTINUITY]
    skips = [b["devpos"] - a["devpos"] - a["frames"] for a, b in zip([before, *after], after)]
    harness.check(len(flagged) <= 1 and all(skips[i] == 0 for i in range(len(after))
                                            if i not in flagged) and
                  all(skips[i] == after[i]["frames"] for i in flagged),
                  f"{name} stopped: at most one packet is flagged, its device position a packet "
                  f"ahead, and no other skips (flagged: {flagged}): nothing but the counter "
                  f"says how much was lost")
    steps = stamp_steps(before, after)
    jump = max(range(len(steps)), key=steps.__getitem__)
    lags = [(p["qpc"] - before["qpc"]) / 1e7 - (p["devpos"] - before["devpos"]) / rate
            for p in after]
    lowest = min(range(jump, len(after)), key=lags.__getitem__)
    kept = lags[jump] - lags[lowest]
    # Where the backlog ends: the lag comes within the stamps' jitter of its lowest.
    live = next(i for i in range(jump, len(after)) if lags[i] - lags[lowest] < 0.05)
    harness.check(jump <= 3 and abs(steps[jump] - stall) < 0.1,
                  f"{name} stopped: packet {jump} after the stop is stamped {steps[jump]:.3f} s "
                  f"after the one before: the whole stop ({stall:.3f} s)")
    harness.check(kept > 0.9 * endpoint["buffer"] / rate and live < len(after) - 50,
                  f"{name} stopped: from there the stamps fall behind the frames while the "
                  f"{kept:.2f} s backlog the server kept is read ({live - jump} packets), "
                  f"then run live")
    harness.check(abs(lags[-1] - lags[lowest]) < 0.05 and abs(lags[-1] - (stall - kept)) < 0.1,
                  f"{name} stopped: live again, the stamps lie {lags[-1]:.3f} s behind the "
                  f"frames: the stop less the backlog ({stall - kept:.3f} s), the time lost")


def run_probe(runner, mode):
    """The probe's output; for a stop, its process is stopped for 5 s when it says so."""
    command, unique = runner.command()
    probe = subprocess.Popen(command + ([mode] if mode else []), env=runner.env,
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                             stdin=subprocess.PIPE, text=True)
    lines = []
    for line in probe.stdout:
        lines.append(line)
        if line.endswith(" stalling\n"):
            pid = harness.find_process(probe.pid, unique)
            os.kill(pid, signal.SIGSTOP)
            time.sleep(PROCESS_STOP)
            os.kill(pid, signal.SIGCONT)
            probe.stdin.write("continued\n")
            probe.stdin.flush()
    code = probe.wait(90)
    harness.check(code == 0,
                  f"the probe opened both endpoints ({mode or 'reader stall'}, exit {code})")
    return "".join(lines)


def main():
    args = harness.arguments()
    with harness.sound_server(args) as server, \
            harness.Runner(args, server.env) as runner:
        stalled = run_probe(runner, None)
        stopped = run_probe(runner, "stop")
    for output, judge in ((stalled, examine), (stopped, examine_stop)):
        print(output, end="")
        endpoints = parse(output)
        for name in ("capture", "loopback"):
            judge(name, endpoints.get(name, {"after": []}))
    return harness.verdict(f"({args.runner})")


if __name__ == "__main__":
    sys.exit(main())
