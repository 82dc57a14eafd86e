#!/usr/bin/env python3
"""How fast the Python reader parses a recorded stream: it reads FILE from memory with
dualcap.chunks, over and over for about S seconds, and prints chunks and megabytes (10^6 bytes)
per second.

    python3 bench/reader_throughput.py FILE [--seconds S]

The reader's tests leave a recording in their work folder (build/native/e2e-python/recorded.bin
under CTest); `dualcap > FILE` makes another.
"""

import argparse
import importlib.util
import io
import os
import sys
import time

READER = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "readers",
                      "python", "dualcap.py")


def load_reader():
    """The module of this tree, not whichever dualcap may be installed."""
    spec = importlib.util.spec_from_file_location("dualcap", READER)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("file", help="a recorded dualcap stream")
    parser.add_argument("--seconds", type=float, default=3.0, help="how long to run (default 3)")
    args = parser.parse_args()
    dualcap = load_reader()
    with open(args.file, "rb") as f:
        data = f.read()

    passes = chunk_count = byte_count = 0
    start = time.perf_counter()
    while True:
        reader = dualcap.chunks(io.BytesIO(data))
        try:
            chunk_count += sum(1 for _ in reader)
        except dualcap.StreamError as error:
            sys.exit(f"{args.file}: {error}")
        if reader.offset == 0:
            sys.exit(f"{args.file}: no whole chunk in it")
        byte_count += reader.offset
        passes += 1
        elapsed = time.perf_counter() - start
        if elapsed >= args.seconds:
            break

    note = f", its last {reader.truncated_bytes} bytes a cut chunk" if reader.truncated else ""
    print(f"{args.file}: {len(data)} bytes{note}; {passes} passes in {elapsed:.2f} s")
    print(f"{chunk_count / elapsed:,.0f} chunks/s, {byte_count / elapsed / 1e6:.1f} MB/s")


if __name__ == "__main__":
    main()
