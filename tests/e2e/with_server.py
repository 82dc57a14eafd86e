#!/usr/bin/env python3
"""Runs a command against a private sound server of our own, with a 440 Hz tone in its
microphone and a 1 kHz tone in its speakers (see harness.SoundServer).

    with_server.py --work DIR -- COMMAND...

The server is PulseAudio, or PipeWire if DUALCAP_SERVER=pipewire.
The command gets the server's environment (PULSE_SERVER and the rest) and
DUALCAP_TEST_WORK=DIR, a folder for what it writes; its exit status is ours.
"""

import os
import subprocess
import sys

import harness


def main():
    if len(sys.argv) < 5 or sys.argv[1] != "--work" or sys.argv[3] != "--":
        sys.exit(__doc__)
    work, command = os.path.abspath(sys.argv[2]), sys.argv[4:]
    os.makedirs(work, exist_ok=True)
    kind = harness.SERVERS[os.environ.get("DUALCAP_SERVER", "pulse")]
    with kind(os.path.join(work, "server")) as server:
        env = dict(server.env, DUALCAP_TEST_WORK=work)
        sys.exit(subprocess.run(command, env=env).returncode)


if __name__ == "__main__":
    main()
