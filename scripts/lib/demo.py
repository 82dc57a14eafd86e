#!/usr/bin/env python3
"""The demo: dualcap captures a few seconds, dualcap-split splits the stream, and sox draws
a spectrogram of each source.

With no sound server reachable, it brings its own: a private PulseAudio server whose
speakers and microphone are virtual, with one sentence spoken into each. With a real
server (a desktop), it captures the real microphone and playback instead.
"""

import argparse
import os
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "tests", "e2e"))
import harness  # noqa: E402

SENTENCES = {
    "system": ("en-us", "This sentence is playing through the speakers."),
    "mic": ("en+f3", "And this one is spoken into the microphone."),
}


def speak(folder):
    files = {}
    for name, (voice, text) in SENTENCES.items():
        files[name] = os.path.join(folder, f"{name}-sentence.wav")
        subprocess.run(["espeak-ng", "-v", voice, "-w", files[name], text], check=True)
    return files


def real_server_reachable():
    return subprocess.run(["pactl", "info"], stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL).returncode == 0


def capture_with_own_server(args):
    sentences = speak(args.work)
    with harness.PulseServer(os.path.join(args.work, "pulse"), mic_tone=0,
                             speaker_tone=0) as server:
        capture = harness.Capture([args.dualcap], server.env, args.stderr)
        # A monitor may take a second or two to deliver its first data.
        capture.wait_for(0, 10) and capture.wait_for(1, 10)
        time.sleep(1)
        players = [subprocess.Popen(["paplay", "--device=" + device, sentences[name]],
                                    env=server.env)
                   for name, device in (("system", "speakers"), ("mic", "microphone"))]
        for player in players:
            player.wait()
        time.sleep(1.5)
        capture.signal(signal.SIGINT)
        time.sleep(0.5)
        capture.end()
    return capture


def capture_real_devices(args):
    print(f"a sound server is running: capturing the real microphone and playback "
          f"for {args.seconds:g} s, speak or play something")
    capture = harness.Capture([args.dualcap], dict(os.environ), args.stderr)
    time.sleep(args.seconds)
    capture.signal(signal.SIGINT)
    time.sleep(0.5)
    capture.end()
    return capture


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dualcap", required=True)
    parser.add_argument("--split", required=True)
    parser.add_argument("--work", default="build/demo")
    parser.add_argument("--seconds", type=float, default=5)
    args = parser.parse_args()
    os.makedirs(args.work, exist_ok=True)
    args.stderr = os.path.join(args.work, "dualcap-stderr.txt")

    if real_server_reachable():
        capture = capture_real_devices(args)
    else:
        print("no sound server reachable: starting a private one with virtual speakers and a "
              "virtual microphone, and speaking a sentence into each")
        capture = capture_with_own_server(args)
    print("dualcap said: " + " | ".join(capture.stderr_lines()))

    stream = os.path.join(args.work, "capture.bin")
    with open(stream, "wb") as out:
        out.write(capture.raw)
    subprocess.run([args.split, "-o", args.work, stream], check=True)
    for name in ("mic", "system"):
        wav = os.path.join(args.work, name + ".wav")
        png = os.path.join(args.work, name + ".png")
        subprocess.run(["sox", wav, "-n", "spectrogram", "-t", f"dualcap: {name}", "-o", png],
                       check=True)
        print(f"{name:>6}: {wav}  {png}")


if __name__ == "__main__":
    main()
