#!/usr/bin/env python3
"""End to end: the Windows program under Wine against a private PulseAudio server.

A 440 Hz tone is the microphone and a 1000 Hz tone plays into the speakers. dualcap.exe runs
for about five seconds; its stream is read as it arrives and checked chunk by chunk. Then
SIGINT, which Wine delivers as Ctrl+C: capture must stop while the process lives on.
"""

import argparse
import os
import signal
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

MIC_TONE, SPEAKER_TONE = 440, 1000
failures = []


def check(condition, message):
    print(("ok   " if condition else "FAIL ") + message)
    if not condition:
        failures.append(message)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True)
    parser.add_argument("--work", required=True)
    args = parser.parse_args()

    with harness.PulseServer(os.path.join(args.work, "pulse"), MIC_TONE, SPEAKER_TONE) as server:
        env = harness.fresh_wine_prefix(os.path.join(args.work, "wineprefix"), server.env)
        capture = harness.Capture(["wine", args.exe], env, os.path.join(args.work, "stderr.txt"))
        try:
            run(capture)
        finally:
            capture.end()
            os.system("WINEPREFIX='%s' wineserver -k 2>/dev/null" % env["WINEPREFIX"])
    print(f"{len(failures)} failed" if failures else "all checks passed")
    return 1 if failures else 0


def run(capture):
    # A monitor may take a second or two to deliver its first data.
    check(capture.wait_for(0, 20), "the microphone delivers chunks")
    time.sleep(5)
    capture.signal(signal.SIGINT)
    time.sleep(1.5)
    after_stop = len(capture.snapshot())
    time.sleep(1.5)
    chunks = capture.snapshot()
    check(len(chunks) == after_stop, "no chunk is written once Ctrl+C has been handled")
    check(capture.alive(), "the process is still alive after Ctrl+C")
    capture.end()

    check(not capture.malformed and capture.trailing_bytes == 0,
          "the stream is whole chunks only")
    sources = harness.per_source(chunks)
    lines = capture.stderr_lines()
    check("mic capture started" in lines, "standard error says \"mic capture started\"")

    mic = sources.get(0)
    if mic:
        rate = harness.arrival_rate(mic)
        check(abs(rate - 16000) < 16000 * 0.05, f"microphone samples arrive at {rate:.0f}/s")
        wanted = harness.tone_power(mic["samples"], MIC_TONE)
        other = harness.tone_power(mic["samples"], SPEAKER_TONE)
        check(wanted > 100 * other, f"the microphone carries its {MIC_TONE} Hz tone")
        print(f"     mic: {mic['chunks']} chunks, {len(mic['samples']) / 16000:.2f} s")

    if "error: get capture service failed" in lines:
        # Wine 8 has no loopback capture: the system source ends and the microphone goes on.
        check(1 not in sources, "a failed system source writes nothing")
        check("system capture started" not in lines, "the failed system source never started")
    else:
        check("system capture started" in lines, "the system source starts")
        system = sources.get(1)
        check(system is not None and harness.tone_power(system["samples"], SPEAKER_TONE) >
              100 * harness.tone_power(system["samples"], MIC_TONE),
              f"the system source carries the {SPEAKER_TONE} Hz tone")
    print("     standard error: " + " | ".join(lines))


if __name__ == "__main__":
    sys.exit(main())
