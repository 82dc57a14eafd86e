#!/usr/bin/env python3
"""Runs a command against a private sound server of our own: scripts/lib/sound_server.py run
as a script, which says how. Kept here for the test definitions that call it by this name."""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "scripts", "lib"))
import sound_server  # noqa: E402

if __name__ == "__main__":
    sound_server.main()
