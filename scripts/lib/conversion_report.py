#!/usr/bin/env python3
"""Prints the conversion benchmark's medians as time per second of audio, as a multiple of
real time, and as the ratio of each alternative's time to ours (above 1: ours is faster)."""

import json
import sys

OURS = "ours"
ALTERNATIVES = ("libsamplerate_linear", "speexdsp_q0")


def medians(path):
    with open(path) as f:
        report = json.load(f)
    times = {}
    for bench in report["benchmarks"]:
        if bench.get("aggregate_name") != "median":
            continue
        name, case = bench["run_name"].split("/", 1)
        # One iteration converts one second of audio.
        times[(name, case)] = bench["real_time"] * {"ns": 1e-9, "us": 1e-6, "ms": 1e-3}[
            bench["time_unit"]]
    return report["context"], times


def main():
    context, times = medians(sys.argv[1])
    cases = sorted({case for _, case in times}, key=lambda c: list(times).index((OURS, c)))
    print(f"conversion of 10 ms packets to 16 kHz mono s16; medians of "
          f"{context.get('num_cpus', '?')} cores at {context.get('mhz_per_cpu', '?')} MHz")
    header = f"{'case':<22}{'path':<22}{'us per s':>10}{'x realtime':>12}{'vs ours':>9}"
    print(header)
    shortfall = False
    for case in cases:
        ours = times[(OURS, case)]
        for name in (OURS, *ALTERNATIVES):
            seconds = times.get((name, case))
            if seconds is None:
                continue
            ratio = seconds / ours
            print(f"{case:<22}{name:<22}{seconds * 1e6:>10.1f}{1 / seconds:>12.0f}"
                  f"{ratio:>8.2f}x")
            if name == "libsamplerate_linear" and ratio < 2:
                shortfall = True
    if shortfall:
        print("note: ours is less than twice as fast as libsamplerate's linear converter")


if __name__ == "__main__":
    main()
