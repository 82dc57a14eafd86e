"""The reader against a real dualcap run and against the bytes that run wrote, cut short and
corrupted. CTest runs it beside a private sound server (tests/e2e/with_server.py), with DUALCAP
the program and DUALCAP_TEST_WORK a folder for what it leaves; without DUALCAP only the tests
that need no program run."""

import array
import io
import itertools
import os
import struct
import sys
import tempfile
import threading
import time
import unittest
import wave

import dualcap

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "scripts", "lib"))
from live_capture import tone_power  # noqa: E402
from sound_server import MIC_TONE, SPEAKER_TONE  # noqa: E402

DUALCAP = os.environ.get("DUALCAP")
TONES = {"mic": MIC_TONE, "system": SPEAKER_TONE}


def encode(tag, samples):
    """One chunk's bytes, as dualcap writes them."""
    return struct.pack(f"<BI{len(samples)}h", tag, 2 * len(samples), *samples)


class Trickle(io.BytesIO):
    """A stream whose reads return 1 to 3 bytes, as a pipe's may."""

    reads = 0

    def read(self, size=-1):
        self.reads += 1
        return super().read(min(size, 1 + self.reads % 3))


@unittest.skipUnless(DUALCAP, "DUALCAP is not set: the real run needs the program and a sound "
                     "server (ctest --preset native -R python_reader)")
class RealRun(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.chunks, times = [], []
        with dualcap.Capture(DUALCAP, stop_grace=0.3) as capture:
            watchdog = threading.Timer(15, capture.stop)  # a run that sends nothing ends too
            watchdog.start()
            for chunk in capture:
                cls.chunks.append(chunk)
                times.append(time.monotonic())
                if times[-1] - times[0] > 1.5 and len({c.tag for c in cls.chunks}) == 2:
                    break
            watchdog.cancel()
            capture.stop()
            cls.ended = capture.process.poll() is not None
            cls.timed = list(zip(times, cls.chunks))
            cls.chunks += capture  # what the pipe still held
        cls.capture = capture
        cls.recorded = b"".join(encode(c.tag, c.samples) for c in cls.chunks)
        # Kept for the reader benchmark.
        work = os.environ.get("DUALCAP_TEST_WORK", tempfile.gettempdir())
        with open(os.path.join(work, "recorded.bin"), "wb") as out:
            out.write(cls.recorded)

    def test_both_sources_in_time_and_nothing_lost(self):
        capture = self.capture
        self.assertTrue(self.ended, "the process lives on after stop()")
        self.assertEqual((len(self.recorded), capture.chunks_read, capture.truncated),
                         (capture.offset, len(self.chunks), False))
        for source in dualcap.SOURCES:
            timed = [(t, len(c.samples)) for t, c in self.timed if c.source == source]
            self.assertTrue(timed, f"no {source} chunk came")
            rate = sum(n for _, n in timed[1:]) / (timed[-1][0] - timed[0][0])
            self.assertAlmostEqual(rate, dualcap.RATE, delta=dualcap.RATE * 0.1, msg=source)
            count = sum(len(c.samples) for c in self.chunks if c.source == source)
            self.assertEqual(capture.samples[source], count)

    def test_each_source_carries_its_tone(self):
        for source, tone in TONES.items():
            samples = [s for c in self.chunks if c.source == source for s in c.samples]
            wanted = tone_power(samples, tone)
            for other in (*TONES.values(), 250, 700, 2000):
                if other != tone:
                    self.assertGreater(wanted, 100 * tone_power(samples, other), (source, other))

    def test_cut_at_every_offset_and_read_in_trickles(self):
        whole = self.chunks[:4]
        ends = [0, *itertools.accumulate(5 + 2 * len(chunk.samples) for chunk in whole)]
        for cut in range(ends[-1] + 1):
            count = sum(end <= cut for end in ends[1:])
            for stream in (io.BytesIO(self.recorded[:cut]), Trickle(self.recorded[:cut])):
                reader = dualcap.chunks(stream)
                with self.subTest(cut=cut, stream=type(stream).__name__):
                    self.assertEqual(list(reader), whole[:count])
                    self.assertEqual((reader.offset, reader.truncated, reader.truncated_bytes),
                                     (ends[count], cut > ends[count], cut - ends[count]))


class Pure(unittest.TestCase):
    def test_corrupt_header_after_a_good_chunk(self):
        good = encode(1, [5, -5])
        table = [
            (struct.pack("<BI", 2, 2) + b"\0\0", "unknown source tag 2"),
            (struct.pack("<BI", 0, 0), "impossible payload length 0"),
            (struct.pack("<BI", 0, 3) + b"\0\0\0", "impossible payload length 3"),
            (struct.pack("<BI", 1, dualcap.MAX_PAYLOAD + 2), "impossible payload length 16777218"),
        ]
        for header, problem in table:
            with self.subTest(problem):
                stream = io.BytesIO(good + header)
                reader = dualcap.chunks(stream)
                self.assertEqual(next(reader), ("system", 1, array.array("h", [5, -5])))
                with self.assertRaises(dualcap.StreamError) as caught:
                    next(reader)
                self.assertEqual((str(caught.exception), caught.exception.offset),
                                 (f"{problem} at byte 9", 9))
                self.assertEqual(stream.tell(), 14, "read past the corrupt header")

    def test_samples_are_little_endian_on_any_host(self):
        stream = io.BytesIO(b"\x00\x04\x00\x00\x00\x01\x00\xff\xff")
        self.assertEqual(list(dualcap.chunks(stream)), [("mic", 0, array.array("h", [1, -1]))])

    def test_to_wav(self):
        samples = [0, 1, -1, 32767, -32768]
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "out.wav")
            dualcap.to_wav(path, samples)
            with wave.open(path, "rb") as wav:
                self.assertEqual((wav.getnchannels(), wav.getsampwidth(), wav.getframerate(),
                                  wav.readframes(10)), (1, 2, 16000, struct.pack("<5h", *samples)))


if __name__ == "__main__":
    unittest.main()
