"""Reads the stream that dualcap writes: the microphone and the computer's playback, as tagged,
length-prefixed chunks of 16 kHz mono signed 16-bit PCM.

    with dualcap.Capture() as capture:
        for chunk in capture:
            print(chunk.source, len(chunk.samples))

chunks() reads a stream from anywhere (a pipe, a file, a socket); Capture starts the program
and reads its output; to_wav() saves samples for listening.
"""

from __future__ import annotations

import array
import os
import shutil
import signal
import struct
import subprocess
import sys
import wave
from typing import (IO, TYPE_CHECKING, Any, BinaryIO, Dict, Iterable, Iterator, Mapping,
                    NamedTuple, Optional, Protocol, Union)

__version__ = "0.1.0"
__all__ = ["RATE", "SOURCES", "MAX_PAYLOAD", "Chunk", "StreamError", "ChunkReader", "chunks",
           "Capture", "to_wav", "Readable"]

RATE = 16000
"""Samples per second of both sources."""
SOURCES = ("mic", "system")
"""The source of each tag: 0 the microphone, 1 the system playback (loopback)."""
MAX_PAYLOAD = 16 << 20
"""The largest payload a reader believes; a header claiming more is taken as corrupt."""

_HEADER = struct.Struct("<BI")
_BIG_ENDIAN = sys.byteorder == "big"

if TYPE_CHECKING:
    Samples = array.array[int]
else:  # array.array takes no type parameter at run time before Python 3.9
    Samples = array.array


class Readable(Protocol):
    """What chunks() reads from: a binary file, pipe or socket file, io.BytesIO."""

    def read(self, size: int) -> Optional[bytes]: ...


class Chunk(NamedTuple):
    """What one capture packet of one source gave."""

    source: str
    tag: int
    samples: Samples  # typecode 'h', in the host's byte order


class StreamError(ValueError):
    """A chunk header that cannot be right: the stream is corrupt from `offset` on."""

    def __init__(self, problem: str, offset: int) -> None:
        super().__init__(f"{problem} at byte {offset}")
        self.offset = offset


class ChunkReader:
    """An iterator of the Chunks of a binary stream (anything with read(n)).

    A read may return fewer bytes than asked (a pipe, a socket); only b"" ends the stream.
    `offset` counts the bytes of the whole chunks read so far. If the stream ends inside a
    chunk, that chunk is dropped and iteration stops, with `truncated` set and
    `truncated_bytes` the bytes it had: dualcap leaves such a chunk only when its output
    failed. A corrupt header raises StreamError before its payload is read, and ends
    iteration.
    """

    def __init__(self, stream: Readable) -> None:
        self.stream = stream
        self.offset = 0
        self.truncated = False
        self.truncated_bytes = 0
        self._done = False

    def __iter__(self) -> ChunkReader:
        return self

    def __next__(self) -> Chunk:
        if self._done:
            raise StopIteration
        header = self._read(_HEADER.size)
        if len(header) < _HEADER.size:
            self._end(len(header))
        tag, length = _HEADER.unpack(header)
        if tag >= len(SOURCES):
            self._done = True
            raise StreamError(f"unknown source tag {tag}", self.offset)
        if length == 0 or length % 2 or length > MAX_PAYLOAD:
            self._done = True
            raise StreamError(f"impossible payload length {length}", self.offset)
        payload = self._read(length)
        if len(payload) < length:
            self._end(_HEADER.size + len(payload))
        samples = array.array("h")
        samples.frombytes(payload)
        if _BIG_ENDIAN:
            samples.byteswap()
        self.offset += _HEADER.size + length
        return Chunk(SOURCES[tag], tag, samples)

    def _end(self, got: int) -> None:
        """Ends iteration, `got` bytes into a chunk."""
        self._done = True
        self.truncated = got > 0
        self.truncated_bytes = got
        raise StopIteration

    def _read(self, size: int) -> bytes:
        """`size` bytes, or fewer only if the stream ends first."""
        data = self._read_some(size)
        if len(data) == size or not data:
            return data
        parts = bytearray(data)
        while len(parts) < size:
            data = self._read_some(size - len(parts))
            if not data:
                break
            parts += data
        return bytes(parts)

    def _read_some(self, size: int) -> bytes:
        data = self.stream.read(size)
        if data is None:
            raise ValueError("the stream is non-blocking and has no data yet; give a blocking one")
        if not isinstance(data, (bytes, bytearray)):
            raise TypeError("the stream must be binary, e.g. sys.stdin.buffer, not sys.stdin")
        return data


def chunks(stream: Readable) -> ChunkReader:
    """The Chunks of a binary stream, e.g. chunks(sys.stdin.buffer); see ChunkReader."""
    return ChunkReader(stream)


class Capture:
    """Runs dualcap and iterates the Chunks it writes, counting each source's samples.

        with Capture() as capture:
            for chunk in capture:
                ...

    Entering starts the program (path, else "dualcap" on PATH), with its standard error
    passed through unless `stderr` is given. stop(), which leaving the block also does, sends
    the program a control event (POSIX: SIGINT; Windows: CTRL_BREAK_EVENT to the process
    group it was started in), on which it stops capturing and writes no more chunks. The
    process does not end by itself then, by design: stop() gives it `stop_grace` seconds to
    finish the chunk it is writing, then ends it and waits for it. After stop(), iterating
    yields the chunks still in the pipe and then ends; leaving the block closes the pipe.
    If the program was cut off inside a chunk (it was blocked on a full pipe), that chunk is
    dropped and `truncated` is set.

    `samples` counts the samples read of each source, `seconds(source)` the same in seconds,
    `chunks_read` the chunks, `offset` their bytes; `process` is the running Popen.
    """

    def __init__(self, path: Optional[str] = None, env: Optional[Mapping[str, str]] = None,
                 stderr: Union[None, int, IO[Any]] = None, stop_grace: float = 0.5) -> None:
        if path is None:
            path = shutil.which("dualcap", path=env.get("PATH") if env else None)
            if path is None:
                raise FileNotFoundError("dualcap is not on PATH; give its path: Capture(path)")
        self.path = path
        self.env = env
        self.stderr = stderr
        self.stop_grace = stop_grace
        self.process: Optional[subprocess.Popen[bytes]] = None
        self.samples: Dict[str, int] = {source: 0 for source in SOURCES}
        self.chunks_read = 0
        self._reader: Optional[ChunkReader] = None
        self._stopped = False

    def start(self) -> Capture:
        """Starts the program; what entering the with block does."""
        if self.process is not None:
            raise RuntimeError("this Capture has already been started")
        flags = 0
        if sys.platform == "win32":
            # A group of its own, so that stop() can send it a control event and only it.
            flags = subprocess.CREATE_NEW_PROCESS_GROUP
        self.process = subprocess.Popen([self.path], stdin=subprocess.DEVNULL,
                                        stdout=subprocess.PIPE, stderr=self.stderr,
                                        env=self.env, creationflags=flags)
        assert self.process.stdout is not None
        self._reader = ChunkReader(self.process.stdout)
        return self

    def __enter__(self) -> Capture:
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.stop()
        if self.process is not None and self.process.stdout is not None:
            self.process.stdout.close()

    def __iter__(self) -> Iterator[Chunk]:
        return self

    def __next__(self) -> Chunk:
        if self._reader is None:
            raise RuntimeError("start the Capture first: use it in a with block")
        chunk = next(self._reader)
        self.samples[chunk.source] += len(chunk.samples)
        self.chunks_read += 1
        return chunk

    def seconds(self, source: str) -> float:
        """How much audio of a source ("mic" or "system") has been read."""
        return self.samples[source] / RATE

    @property
    def offset(self) -> int:
        """Bytes of whole chunks read so far."""
        return self._reader.offset if self._reader else 0

    @property
    def truncated(self) -> bool:
        """Whether the stream ended inside a chunk (which was dropped)."""
        return self._reader.truncated if self._reader else False

    @property
    def truncated_bytes(self) -> int:
        return self._reader.truncated_bytes if self._reader else 0

    def stop(self) -> None:
        """Stops capturing and ends the process; does nothing the second time."""
        process = self.process
        if process is None or self._stopped:
            return
        self._stopped = True
        if process.poll() is None:
            try:
                if sys.platform == "win32":
                    process.send_signal(signal.CTRL_BREAK_EVENT)
                else:
                    process.send_signal(signal.SIGINT)
                process.wait(self.stop_grace)
            except (OSError, subprocess.TimeoutExpired):
                pass
        if process.poll() is None:
            process.terminate()
            try:
                process.wait(2)
            except subprocess.TimeoutExpired:
                process.kill()
        process.wait()


def to_wav(path: Union[str, os.PathLike[str], BinaryIO], samples: Iterable[int]) -> None:
    """Writes samples (an array('h') or any ints in -32768..32767) as a 16 kHz mono 16-bit WAV
    file; path may also be a binary file open for writing."""
    data = array.array("h", samples)
    if _BIG_ENDIAN:
        data.byteswap()  # WAV samples are little-endian
    # wave opens only str paths itself: a PathLike would be taken for an open file.
    if isinstance(path, (str, bytes, os.PathLike)):
        with open(path, "wb") as file:
            _write_wav(file, data)
    else:
        _write_wav(path, data)


def _write_wav(file: BinaryIO, data: Samples) -> None:
    with wave.open(file, "wb") as out:
        out.setnchannels(1)
        out.setsampwidth(2)
        out.setframerate(RATE)
        out.writeframes(data.tobytes())
