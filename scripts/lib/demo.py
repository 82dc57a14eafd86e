#!/usr/bin/env python3
"""The demo: dualcap captures a few seconds, dualcap-split splits the stream, a speech
recogniser (pocketsphinx) says what it heard in each source, and sox draws a spectrogram of
each.

With no sound server reachable, it brings its own: a private PulseAudio server whose
speakers and microphone are virtual, with a recorded voice played into each at the same
time (two public-domain LibriVox readings that Debian ships for pocketsphinx's own tests),
so that what was played can be set beside what was recognised. With a real server (a
desktop), it captures the real microphone and playback instead.
"""

import argparse
import os
import signal
import subprocess
import time

from live_capture import Capture
from sound_server import PulseServer

RECORDINGS = "/usr/share/pocketsphinx/test/data/librivox"
# Which reading goes into which device: two different sentences of similar length.
PLAYED = {
    "system": "sense_and_sensibility_01_austen_64kb-0920",
    "mic": "sense_and_sensibility_01_austen_64kb-0870",
}


def played_words():
    """What each reading says, from the transcription that comes with them."""
    words = {}
    with open(os.path.join(RECORDINGS, "transcription")) as f:
        for line in f:
            text, _, recording = line.strip().rpartition(" (")
            words[recording.rstrip(")")] = text.replace("<s>", "").replace("</s>", "").strip()
    return {name: words[recording] for name, recording in PLAYED.items()}


def recognise(wav):
    """What pocketsphinx heard in a 16 kHz mono WAV file, with its US English model."""
    result = subprocess.run(["pocketsphinx_continuous", "-infile", wav], check=True,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    return " ".join(result.stdout.split())


def real_server_reachable():
    return subprocess.run(["pactl", "info"], stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL).returncode == 0


def capture_with_own_server(args):
    with PulseServer(os.path.join(args.work, "pulse"), mic_tone=0,
                             speaker_tone=0) as server:
        capture = Capture([args.dualcap], server.env, args.stderr)
        # A monitor may take a second or two to deliver its first data.
        capture.wait_for(0, 10) and capture.wait_for(1, 10)
        time.sleep(1)
        players = [subprocess.Popen(["paplay", "--device=" + device,
                                     os.path.join(RECORDINGS, PLAYED[name] + ".wav")],
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
    capture = Capture([args.dualcap], dict(os.environ), args.stderr)
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

    played = None
    if real_server_reachable():
        capture = capture_real_devices(args)
    else:
        print("no sound server reachable: starting a private one with virtual speakers and a "
              "virtual microphone, and playing a recorded voice into each at the same time")
        capture = capture_with_own_server(args)
        played = played_words()
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
    print()
    for name in ("system", "mic"):
        heard = recognise(os.path.join(args.work, name + ".wav"))
        if played:
            print(f"{name:>6}     played: {played[name]}")
        print(f"{'' if played else name:>6} recognised: {heard}")


if __name__ == "__main__":
    main()
