#!/usr/bin/env python3
"""What GetBuffer reports around an overrun, for capture and for loopback, under Wine 10.

overrun_probe.exe opens each default endpoint as the program does (shared mode, 100 ms
buffer), reads in time for a second, stalls for a second, then reads on. Seen under Wine
10.0 against a private PulseAudio server (44.1 kHz, 4,410-frame buffer, 441-frame packets),
alike on both endpoints:
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
jitter. The checks below hold these facts, so that a change of Wine that
breaks what the program relies on shows up here.
"""

import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

DISCONTINUITY = 0x1
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


def examine(name, endpoint):
    before, after = endpoint.get("before"), endpoint["after"]
    if not harness.check(before is not None and len(after) > 12 and "rate" in endpoint,
                         f"{name}: packets before and after the stall"):
        return
    rate, stall = endpoint["rate"], endpoint["stall"] / 1e7
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
    steps = [(b["qpc"] - a["qpc"]) / 1e7 for a, b in zip([before, *after], after)]
    jump = max(range(len(steps)), key=steps.__getitem__)
    harness.check(steps[0] < 0.2 and jump > 0,
                  f"{name}: the flagged packet's own counter position shows no loss "
                  f"({steps[0] * 1000:.0f} ms after the last before); it shows at packet "
                  f"{jump} after the stall ({steps[jump]:.3f} s)")


def main():
    args = harness.arguments()
    with harness.PulseServer(os.path.join(args.work, "pulse")) as server, \
            harness.Runner(args, server.env) as runner:
        command, _ = runner.command()
        probe = subprocess.run(command, env=runner.env, stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL, text=True,
                               timeout=90)
    print(probe.stdout, end="")
    harness.check(probe.returncode == 0, f"the probe opened both endpoints (exit {probe.returncode})")
    endpoints = parse(probe.stdout)
    for name in ("capture", "loopback"):
        examine(name, endpoints.get(name, {"after": []}))
    return harness.verdict(f"({args.runner})")


if __name__ == "__main__":
    sys.exit(main())
