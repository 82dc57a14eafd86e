#!/usr/bin/env python3
"""Faults and load, end to end: dualcap against a private PulseAudio server, natively or under
Wine 8 or 10.

Each case starts dualcap afresh:
- the reader pauses until the pipe is full and dualcap's writes block, then reads on: every
  chunk must parse and no audio may go missing. Then it stalls for good: a shutdown (SIGTERM)
  must still end the process;
- the reader closes its end of the pipe: dualcap must say so, stop capture and end with
  status 0 within a few seconds;
- a burst of Ctrl+C and Ctrl+Break (SIGINT, SIGQUIT): capture stops, nothing hangs or crashes;
- no standard output at all, and one where every write fails (/dev/full): capture runs all
  the same, without spinning;
- the reader stalls for 6 s behind a 4 KiB pipe, longer than capture can hold, and then
  dualcap itself is stopped for 5 s (SIGSTOP, then SIGCONT): a beep played into both
  devices before and another after lie as far apart in each source as they were played,
  since the time lost comes out as silence;
- the server's default sink and source change: each source says so once and goes on with
  the device it has; then the microphone's device goes away, then the sound server: each
  source says its capture is lost, once, and the other goes on until its own end; a dualcap
  started then, with no server, says why each source fails and what to do.
Wine delivers SIGINT only, as Ctrl+C, and ends the process on SIGTERM by itself; the checks
that need more are left out there, saying why. Every source the runner can capture must run:
both, but under Wine 8 (no loopback) the microphone only.
"""

import math
import os
import signal
import struct
import subprocess
import sys
import threading
import time
import wave

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

MIC_TONE, SPEAKER_TONE = harness.MIC_TONE, harness.SPEAKER_TONE
# Natively, with capture stopped: the main thread and the one that hands signals on to the
# console control handler. Each running source adds its worker and its PulseAudio mainloop.
IDLE_THREADS = 2
# What dualcap says when its reader has closed its end, and how soon after it must have ended.
OUTPUT_CLOSED = "error: output closed; capture stopped"
CLOSE_TO_EXIT = 5
# Of one core. Capturing takes about 2 % natively and 8 to 12 % under Wine 10 on a busy
# machine; a write error that is retried in a loop takes a whole core.
MAX_CPU = 0.30
# How long the reader keeps dualcap's writes blocked in the pause case: within the 2 s
# capture buffer, which Wine allocates exactly; beyond it, the time lost is filled.
STALL_ABSORBED = 1.8
# The longest run of silence the pause case lets a source with a tone have. PipeWire's
# graph, when one of its cycles misses its deadline on a busy machine, plays that cycle (at
# most 512 frames at 48 kHz, 10.7 ms) as silence into every sink, before dualcap sees it:
# seen in about one run in ten. Audio lost to the stall would be filled far longer.
MAX_SILENCE = 0.012


def skip(message):
    print("skip " + message)


def wait_until(predicate, timeout):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True


def thread_count(pid):
    return len(os.listdir(f"/proc/{pid}/task"))


def cpu_shares(captures, seconds):
    """The share of one core each program used over the next few seconds."""
    before = [(harness.cpu_seconds(c.pid), time.monotonic()) for c in captures]
    time.sleep(seconds)
    return [(harness.cpu_seconds(c.pid) - used) / (time.monotonic() - at)
            for c, (used, at) in zip(captures, before)]


class Run:
    def __init__(self, args, server, runner):
        self.native = not runner.wine
        self.work = args.work
        self.server = server
        self.runner = runner
        self.captures = []  # all we started, to be ended whatever happens
        # The sources that must run: Wine 8 has no loopback, so its system source fails.
        self.tags = (0, 1) if runner.loopback else (0,)

    def start(self, name, stdout=subprocess.PIPE, wrap=(), pipe_size=None):
        capture = self.runner.start(os.path.join(self.work, name + ".stderr.txt"), stdout, wrap,
                                    pipe_size)
        self.captures.append(capture)
        return capture

    def start_reading(self, name, pipe_size=None):
        capture = self.start(name, pipe_size=pipe_size)
        # A monitor may take a second or two to deliver its first data.
        harness.check(all(capture.wait_for(tag, 20) for tag in self.tags),
              f"{name}: dualcap delivers chunks")
        return capture

    def record_streams(self):
        return len(self.server.pactl("list", "short", "source-outputs").splitlines())

    def capture_stops(self, capture):
        """Both sessions end: their record streams go and, natively, their threads too."""
        pid = capture.pid
        if not wait_until(lambda: self.record_streams() == 0, 5):
            return False
        return not self.native or wait_until(lambda: thread_count(pid) == IDLE_THREADS, 5)

    def finish(self, capture, name):
        """Natively a shutdown must end the process, by its signal; Wine ends it by itself."""
        if self.native and capture.alive():
            capture.signal(signal.SIGTERM)
            code = capture.wait_for_exit(5)
            harness.check(code == -signal.SIGTERM, f"{name}: SIGTERM then ends it (exit {code})")
        capture.end()


def wait_for_full_pipe(capture, timeout):
    """The time the pipe stopped taking data, which is when dualcap's writes began to block."""
    deadline = time.monotonic() + timeout
    last, since = capture.queued_bytes(), time.monotonic()
    while time.monotonic() < deadline:
        time.sleep(0.05)
        queued = capture.queued_bytes()
        if queued != last:
            last, since = queued, time.monotonic()
        # Chunks come every 10 ms, so 200 ms without one is a writer held up.
        elif queued >= capture.pipe_capacity() - 1024 and time.monotonic() - since > 0.2:
            return since
    return None


def reader_pauses(run):
    # Behind a pipe as small as a Python parent's on Windows, which fills at once.
    capture = run.start_reading("pause", pipe_size=4096)
    time.sleep(1)
    capture.pause()
    blocked_at = wait_for_full_pipe(capture, 5)
    harness.check(blocked_at is not None, "pause: the pipe fills and dualcap's writes block")
    time.sleep(max(0.0, STALL_ABSORBED - (time.monotonic() - (blocked_at or 0))))
    paused = f"writes blocked for {time.monotonic() - (blocked_at or time.monotonic()):.2f} s"
    capture.resume()
    time.sleep(2)  # the backlog is read, then capture goes on in real time
    chunks = capture.snapshot()
    harness.check(not capture.malformed, "pause: every chunk parses, across the pause too")
    sources = harness.per_source(chunks)
    for tag in run.tags:
        name = harness.TAGS[tag]
        source = sources.get(tag)
        if not harness.check(source is not None, f"pause: {name} chunks are present"):
            continue
        # A slow reader may cost latency, not audio: what comes meanwhile goes out late.
        rate = harness.arrival_rate(source)
        missing = source["last"] - source["first"] - (
            len(source["samples"]) - source["first_size"]) / harness.RATE
        # Lost time would come back as silence, which the tone never has.
        silence = harness.longest_silence(source["samples"])
        harness.check(abs(rate - harness.RATE) < harness.RATE * 0.03 and silence < MAX_SILENCE,
              f"pause: no {name} audio lost while {paused} "
              f"({rate:.0f} samples/s, {missing:.2f} s missing, {silence:.3f} s filled)")

    if not run.native:
        skip("stall: Wine ends the process on SIGTERM itself, not by a console control event")
        capture.end()
        return
    # A reader that never reads again must not keep a shutdown from ending the process.
    capture.pause()
    harness.check(wait_for_full_pipe(capture, 5) is not None, "stall: the reader stalls for good")
    capture.signal(signal.SIGTERM)
    # As on Windows, a handler gets five seconds to finish before the process is ended.
    code = capture.wait_for_exit(8)
    harness.check(code == -signal.SIGTERM,
          f"stall: SIGTERM ends dualcap within 8 s while its writes block (exit {code})")
    if code is None:
        capture.resume()
        code = capture.wait_for_exit(3)
        print(f"     once the reader read on: exit {code}")
    capture.end()


def reader_closes(run):
    capture = run.start_reading("close")
    time.sleep(0.5)
    harness.check(capture.close_stdout(), "close: the reader closes its end of the pipe")
    closed_at = time.monotonic()
    code = capture.wait_for_exit(CLOSE_TO_EXIT)
    took = time.monotonic() - closed_at
    # Exit 0, not death by SIGPIPE: the process ends because it chose to.
    harness.check(code == 0, f"close: dualcap ends with status 0 {took:.2f} s after the reader "
                  f"closed its end (exit {code})")
    lines = capture.stderr_lines()
    harness.check(lines.count(OUTPUT_CLOSED) == 1, f'close: standard error says "{OUTPUT_CLOSED}" '
                  "once: " + " | ".join(lines))
    streams = 0 if wait_until(lambda: run.record_streams() == 0, 5) else run.record_streams()
    harness.check(streams == 0, f"close: capture has stopped ({streams} record streams left)")
    run.finish(capture, "close")


def control_burst(run, count=40):
    capture = run.start_reading("burst")
    time.sleep(0.5)
    kinds = [signal.SIGINT, signal.SIGQUIT] if run.native else [signal.SIGINT]
    if not run.native:
        skip("burst: Ctrl+Break; Wine delivers SIGINT only")
    pid = capture.pid

    def send(number):
        for _ in range(count // len(kinds)):
            os.kill(pid, number)

    senders = [threading.Thread(target=send, args=(number,)) for number in kinds]
    for sender in senders:
        sender.start()
    for sender in senders:
        sender.join()
    harness.check(run.capture_stops(capture), f"burst: {count} control events stop capture "
          f"({thread_count(pid)} threads left)")
    harness.check(capture.alive(), "burst: the process lives on")
    written = len(capture.snapshot())
    time.sleep(1)
    harness.check(len(capture.snapshot()) == written, "burst: nothing is written after")
    harness.check(not capture.malformed and capture.trailing_bytes == 0,
          "burst: the stream is whole chunks only")
    run.finish(capture, "burst")


def no_output(run):
    # Both at once, to save the time each takes to start.
    closed = run.start("closed-stdout", subprocess.DEVNULL, ["sh", "-c", 'exec "$@" >&-', "sh"])
    with open("/dev/full", "wb") as full:
        failing = run.start("full-stdout", full)
    cases = (("no stdout", closed), ("/dev/full", failing))
    for name, capture in cases:
        wanted = [f"{harness.TAGS[tag]} capture started" for tag in run.tags]
        started = wait_until(lambda: all(w in capture.stderr_lines() for w in wanted), 20)
        harness.check(started, f"{name}: standard error says " + " and ".join(f'"{w}"' for w in wanted))
    time.sleep(1)  # writes have been failing for a while
    for (name, capture), share in zip(cases, cpu_shares([closed, failing], 2)):
        harness.check(capture.alive() and OUTPUT_CLOSED not in capture.stderr_lines(),
                      f"{name}: dualcap lives on, its output not taken for a reader gone")
        harness.check(share < MAX_CPU, f"{name}: it does not spin ({share:.1%} of a core over 2 s)")
    for name, capture in cases:
        print(f"     {name}: standard error: " + " | ".join(capture.stderr_lines()))
        run.finish(capture, name)


# A beep before dualcap is held up and one after, this far apart; how long the reader
# stalls, and how long the process is stopped, in seconds.
BEEP_GAP, LONG_STALL, PROCESS_STOP = 9.0, 6.0, 5.0
# How far from where it belongs a beep may come out: a few packets of jitter in the
# platform's time stamps.
TIME_ERROR = 0.05


def beeps_file(folder):
    """Two beeps of 100 ms of 2 kHz, half scale, BEEP_GAP apart, at 48 kHz. In one file, so
    that the sound server's clock alone sets how far apart they play."""
    path = os.path.join(folder, "beeps.wav")
    beep = b"".join(struct.pack("<h", int(16384 * math.sin(2 * math.pi * i / 24)))
                    for i in range(4800))
    with wave.open(path, "wb") as out:
        out.setnchannels(1)
        out.setsampwidth(2)
        out.setframerate(48000)
        out.writeframes(beep + bytes(2 * (int(48000 * BEEP_GAP) - 4800)) + beep)
    return path


def play_beeps(server, path):
    """The beeps into the speakers and the microphone at once; the players."""
    return [subprocess.Popen(["paplay", f"--latency-msec={harness.PLAYER_LATENCY_MS}",
                              "--device=" + sink, path], env=server.env)
            for sink in ("speakers", "microphone")]


def onsets(samples, threshold=4000):
    """Where each beep begins, in seconds; beeps lie at least a second apart."""
    found, i = [], 0
    while i < len(samples):
        if abs(samples[i]) > threshold:
            found.append(i / harness.RATE)
            i += harness.RATE
        else:
            i += 1
    return found


def reader_stalls(capture):
    capture.pause()
    harness.check(wait_for_full_pipe(capture, 5) is not None, "long stall: dualcap's writes block")
    time.sleep(LONG_STALL)
    capture.resume()
    return f"{LONG_STALL:.0f} s of blocked writes"


def process_stops(capture):
    # As a job suspended with Ctrl+Z and resumed, a paused machine or a debugger would: the
    # whole process, capture and all, is held while its reader reads on.
    capture.signal(signal.SIGSTOP)
    time.sleep(PROCESS_STOP)
    capture.signal(signal.SIGCONT)
    return f"a {PROCESS_STOP:.0f} s stop of the process"


def beeps_keep_time(run, name, hold_up, beeps):
    """A beep before dualcap is held up and another after: each source must carry them as
    far apart as they were played, since the time lost comes out as silence."""
    capture = run.start_reading(name, pipe_size=4096)
    time.sleep(1)
    began = time.monotonic()
    players = play_beeps(run.server, beeps)
    time.sleep(0.5)
    held = hold_up(capture)
    for player in players:
        player.wait(BEEP_GAP + 10)
    time.sleep(max(0.0, began + BEEP_GAP + 3 - time.monotonic()))  # the backlog is read
    sources = harness.per_source(capture.snapshot())
    for tag in run.tags:
        source = harness.TAGS[tag]
        found = onsets(sources.get(tag, {"samples": []})["samples"])
        apart = found[1] - found[0] if len(found) == 2 else float("nan")
        harness.check(abs(apart - BEEP_GAP) < TIME_ERROR,
                      f"{name}: the {source} beeps lie {apart:.3f} s apart, as played "
                      f"(error {apart - BEEP_GAP:+.3f} s), across {held} "
                      f"(beeps found: {len(found)})")
    run.finish(capture, name)


def time_kept_when_held_up(run):
    # Beeps on silence: these cases come last, as they silence the tones.
    run.server.stop_tones()
    beeps = beeps_file(run.work)
    beeps_keep_time(run, "long stall", reader_stalls, beeps)
    beeps_keep_time(run, "process stopped", process_stops, beeps)


def defaults_change(run, capture):
    run.server.pactl("set-default-sink", "microphone")
    run.server.pactl("set-default-source", "speakers.monitor")
    said = [f"error: {label} default device changed; still capturing the previous one"
            for label in ("mic", "system")[:len(run.tags)]]
    harness.check(wait_until(lambda: all(line in capture.stderr_lines() for line in said), 5),
                  "defaults: a new default sink and source are said: " + " | ".join(said))
    written = len(capture.snapshot())
    harness.check(all(capture.wait_for_more(written, tag, 2) for tag in run.tags),
                  "defaults: each source goes on with the device it has")


def no_server(run):
    """A dualcap started with no server to talk to says why each source fails, and what to do."""
    capture = run.start("no server", stdout=subprocess.DEVNULL)
    failed = "error: create device enumerator failed"
    hints = [f"hint: {label}: audio service not running (hr=0x88890010): start the Windows Audio "
             "service (on Linux, the sound server) and start again" for label in ("mic", "system")]
    harness.check(wait_until(lambda: all(h in capture.stderr_lines() for h in hints), 5),
                  f'no server: each source says "{failed}", then its hint: ' + " | ".join(hints))
    # The two sources' lines may interleave, and the error line names no source: each hint
    # must follow an error line that no earlier hint followed.
    lines = capture.stderr_lines()
    in_order = all(sum(line in hints for line in lines[:end]) <=
                   sum(line == failed for line in lines[:end]) for end in range(len(lines) + 1))
    harness.check(in_order and lines.count(failed) == 2,
                  "no server: each hint comes after an error line")
    run.finish(capture, "no server")


def endpoints_lost(run):
    if not run.native:
        # Seen under Wine 10: winepulse reports neither as a failure of the capture calls; it
        # goes on without data, and the program has nothing to say. Nor does it notify its
        # programs of a default device changed in the server.
        skip("lost: Wine reports no lost device or server, nor a new default, to its programs")
        return
    capture = run.start_reading("lost")
    defaults_change(run, capture)
    run.server.unplug("microphone")
    mic_lost = "error: mic capture lost (hr=0x88890004)"
    harness.check(wait_until(lambda: mic_lost in capture.stderr_lines(), 5),
                  f'lost: unplugging the microphone says "{mic_lost}"')
    if 1 in run.tags:
        time.sleep(0.2)
        written = len(capture.snapshot())
        harness.check(capture.wait_for_more(written, 1, 2), "lost: the system source goes on")
        run.server.lose()
        system_lost = "error: system capture lost (hr=0x88890010)"
        harness.check(wait_until(lambda: system_lost in capture.stderr_lines(), 5),
                      f'lost: the sound server going away says "{system_lost}"')
        no_server(run)
    time.sleep(0.5)
    lines = capture.stderr_lines()
    harness.check(all(lines.count(line) <= 1 for line in lines), "lost: each line comes once")
    harness.check(capture.alive(), "lost: the process lives on")
    print("     standard error: " + " | ".join(lines))
    run.finish(capture, "lost")


def main():
    args = harness.arguments()

    began = time.monotonic()
    with harness.sound_server(args, MIC_TONE, SPEAKER_TONE) as server, \
            harness.Runner(args, server.env) as runner:
        run = Run(args, server, runner)
        try:
            # The last two change the server: the tones go, then the devices and the server.
            for case in (reader_pauses, reader_closes, control_burst, no_output,
                         time_kept_when_held_up, endpoints_lost):
                case(run)
        finally:
            for capture in run.captures:
                capture.end()
    return harness.verdict(f"({args.runner}) in {time.monotonic() - began:.0f} s")


if __name__ == "__main__":
    sys.exit(main())
