#!/usr/bin/env python3
"""End to end: dualcap against a private PulseAudio server, natively or under Wine 8 or 10.

A 440 Hz tone is the microphone and a 1000 Hz tone plays into the speakers. dualcap runs for
about five seconds; its stream is read as it arrives and checked chunk by chunk. Then
SIGINT (which Wine delivers as Ctrl+C): capture must stop while the process lives on.
Natively, SIGTERM (a shutdown) then ends it. Under Wine 8, which has no loopback capture,
the system source must fail with its line while the microphone goes on alone.
"""

import os
import signal
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

MIC_TONE, SPEAKER_TONE = harness.MIC_TONE, harness.SPEAKER_TONE


def main():
    args = harness.arguments()

    with harness.sound_server(args, MIC_TONE, SPEAKER_TONE) as server, \
            harness.Runner(args, server.env) as runner:
        capture = runner.start(os.path.join(args.work, "stderr.txt"))
        try:
            run(capture, runner, server)
        finally:
            capture.end()
    return harness.verdict(f"({args.runner})")


def run(capture, runner, server):
    native = not runner.wine
    # A monitor may take a second or two to deliver its first data.
    harness.check(capture.wait_for(0, 20), "the microphone delivers chunks")
    cpu_before, began = harness.cpu_seconds(capture.pid), time.monotonic()
    time.sleep(5)
    cpu = (harness.cpu_seconds(capture.pid) - cpu_before) / (time.monotonic() - began)
    # The Windows build's system source keeps a silent stream playing, so that loopback
    # never idles; natively a monitor delivers anyway, and there is none.
    keep_alive = 1 if runner.loopback and not native else 0
    harness.check(server.client_playbacks() == keep_alive,
                  f"the server holds {keep_alive} playback stream of dualcap's while it captures")
    capture.signal(signal.SIGINT)
    time.sleep(1.5)
    harness.check(server.client_playbacks() == 0, "and none after Ctrl+C")
    after_stop = len(capture.snapshot())
    time.sleep(1.5)
    chunks = capture.snapshot()
    harness.check(len(chunks) == after_stop, "no chunk is written once Ctrl+C has been handled")
    harness.check(capture.alive(), "the process is still alive after Ctrl+C")
    if native:
        capture.signal(signal.SIGTERM)
        harness.check(capture.wait_for_exit(5) == -signal.SIGTERM, "SIGTERM then ends it")
    capture.end()

    harness.check(not capture.malformed and capture.trailing_bytes == 0,
          "the stream is whole chunks only")
    sources = harness.per_source(chunks)
    lines = capture.stderr_lines()

    for tag, tone, other_tone in ((0, MIC_TONE, SPEAKER_TONE), (1, SPEAKER_TONE, MIC_TONE)):
        name = harness.TAGS[tag]
        if tag == 1 and not runner.loopback:
            # Wine 8 has no loopback capture: the system source ends, the microphone goes on.
            harness.check("error: get capture service failed" in lines,
                          'the system source says "error: get capture service failed"')
            harness.check(1 not in sources, "a failed system source writes nothing")
            harness.check("system capture started" not in lines, "the failed system source never started")
            continue
        harness.check(f"{name} capture started" in lines, f'standard error says "{name} capture started"')
        source = sources.get(tag)
        harness.check(source is not None, f"{name} chunks are present")
        if source is None:
            continue
        rate = harness.arrival_rate(source)
        harness.check(abs(rate - 16000) < 16000 * 0.05, f"{name} samples arrive at {rate:.0f}/s")
        wanted = harness.tone_power(source["samples"], tone)
        other = harness.tone_power(source["samples"], other_tone)
        harness.check(wanted > 100 * other, f"{name} carries its {tone} Hz tone and not {other_tone} Hz "
                      f"(power ratio {wanted / max(other, 1e-9):.3g})")
        print(f"     {name}: {source['chunks']} chunks, {len(source['samples']) / 16000:.2f} s")
    print(f"     CPU while capturing: {cpu:.1%} of a core")
    print("     standard error: " + " | ".join(lines))


if __name__ == "__main__":
    sys.exit(main())
