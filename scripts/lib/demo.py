#!/usr/bin/env python3
"""Runs dualcap for a few seconds against a private PulseAudio server with a tone on the
microphone and another playing into the speakers, then says what it captured per source."""

import argparse
import os
import signal
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "tests", "e2e"))
import harness  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--wine", metavar="EXE", help="the Windows program, run under Wine")
    parser.add_argument("--work", default="build/demo")
    parser.add_argument("--seconds", type=float, default=5)
    args = parser.parse_args()

    with harness.PulseServer(os.path.join(args.work, "pulse"), 440, 1000) as server:
        env = harness.fresh_wine_prefix(os.path.join(args.work, "wineprefix"), server.env)
        print(f"capturing for {args.seconds:g} s: a 440 Hz tone on the microphone, "
              "1000 Hz playing into the speakers")
        capture = harness.Capture(["wine", args.wine], env, os.path.join(args.work, "stderr.txt"))
        capture.wait_for(0, 20)
        time.sleep(args.seconds)
        capture.signal(signal.SIGINT)
        time.sleep(1)
        capture.end()
        os.system("WINEPREFIX='%s' wineserver -k 2>/dev/null" % env["WINEPREFIX"])

    print("dualcap said: " + " | ".join(capture.stderr_lines()))
    sources = harness.per_source(capture.snapshot())
    for tag, name in harness.TAGS.items():
        source = sources.get(tag)
        if not source:
            print(f"{name:>6}: no chunks")
            continue
        peak, rms = harness.level(source["samples"])
        print(f"{name:>6}: {source['chunks']} chunks, {len(source['samples']) / 16000:.2f} s "
              f"of audio, peak {harness.db(peak):.1f} dBFS, RMS {harness.db(rms):.1f} dBFS")


if __name__ == "__main__":
    main()
