#!/usr/bin/env python3
"""The release artefacts, installed as a user would, on systems that never saw the source:

- the Debian package, with apt into a bare Debian 12 root (on a throw-away layer, so the
  root stays bare): the installed dualcap captures both sources of a private PulseAudio
  server outside the root, the installed dualcap-split splits what it wrote, and removing
  the package leaves none of its files;
- the Windows zip, unpacked into an empty folder, run there under Wine 10;
- the readers, on the host: the Node.js package installed with npm into an empty folder and
  the Python wheel with pip into a fresh venv, both offline, each reading both sources of
  the same server from the dualcap of the Debian package (unpacked, not installed).
"""

import argparse
import json
import os
import shutil
import struct
import subprocess
import sys
import time
import wave
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

MIC_TONE, SPEAKER_TONE = harness.MIC_TONE, harness.SPEAKER_TONE
DEBIAN_ROOT = os.path.join(harness.CLONE, "scripts", "lib", "debian-root")
# Inside the root: install, capture for a while, stop with SIGINT (then end it), split,
# remove, and list what of the package is left.
IN_ROOT = """
set -e
cd "$1"
apt-get update -qq >install.log 2>&1
apt-get install -y -qq --no-install-recommends "$2" >>install.log 2>&1
dpkg -L dualcap >files.txt
dualcap >stream.bin 2>stderr.txt &
sleep 8
kill -INT $!
sleep 1
kill -TERM $! 2>/dev/null || true
wait $! 2>/dev/null || true
mkdir split
dualcap-split -o split stream.bin >split.txt 2>&1
dualcap-split --version >version.txt
apt-get remove -y -qq dualcap >remove.log 2>&1
while read -r file; do [ ! -f "$file" ] || echo "$file"; done <files.txt >left.txt
"""


# Read through an installed reader for 2 s of each source (15 s at most), then print where
# the reader was loaded from and what each source carried, as JSON.
READ_PYTHON = """
import json, sys, threading, dualcap
samples = {source: [] for source in dualcap.SOURCES}
with dualcap.Capture(sys.argv[1]) as capture:
    watchdog = threading.Timer(15, capture.stop)
    watchdog.start()
    for chunk in capture:
        samples[chunk.source].extend(chunk.samples)
        if min(map(capture.seconds, dualcap.SOURCES)) >= 2:
            break
    watchdog.cancel()
print(json.dumps({"module": dualcap.__file__, "samples": samples}))
"""
READ_NODE = """
const { spawnCapture } = require('dualcap');
const capture = spawnCapture({ path: process.argv[1] });
const samples = { mic: [], system: [] };
let done = false;
const finish = async () => {
  done = true;
  clearTimeout(watchdog);
  await capture.stop();
  console.log(JSON.stringify({ module: require.resolve('dualcap'), samples }));
};
const watchdog = setTimeout(finish, 15000);
capture.chunks.on('data', ({ source, samples: got }) => {
  if (done) return;
  samples[source].push(...got);
  if (Math.min(samples.mic.length, samples.system.length) >= 2 * 16000) finish();
});
"""


def wav_samples(path):
    """The samples of a 16 kHz mono 16-bit WAV file."""
    with wave.open(path, "rb") as wav:
        frames = wav.readframes(wav.getnframes())
    return struct.unpack(f"<{len(frames) // 2}h", frames)


def carries_tones(what, sources, seconds):
    for tag, tone, other in ((0, MIC_TONE, SPEAKER_TONE), (1, SPEAKER_TONE, MIC_TONE)):
        name, samples = harness.TAGS[tag], sources.get(tag, [])
        wanted, unwanted = harness.tone_power(samples, tone), harness.tone_power(samples, other)
        harness.check(len(samples) / harness.RATE > seconds and wanted > 100 * unwanted,
                      f"{what}: {name} carries its {tone} Hz tone "
                      f"({len(samples) / harness.RATE:.2f} s)")


def debian_package(deb, work, server):
    folder = os.path.join(work, "deb")
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    result = subprocess.run([DEBIAN_ROOT, "bookworm", "run", "--scratch", "--", "sh", "-c",
                             IN_ROOT, "sh", folder, os.path.abspath(deb)],
                            env=server.env, stdin=subprocess.DEVNULL, timeout=300)
    if not harness.check(result.returncode == 0, f"deb: installed, run, split whole and removed "
                         f"(exit {result.returncode}; logs in {folder})"):
        return

    def read(name):
        with open(os.path.join(folder, name), "rb") as f:
            return f.read()

    installed = read("files.txt").decode().split()
    harness.check({"/usr/bin/dualcap", "/usr/bin/dualcap-split"} <= set(installed),
                  "deb: it installs /usr/bin/dualcap and /usr/bin/dualcap-split")
    lines = read("stderr.txt").decode().splitlines()
    harness.check("mic capture started" in lines and "system capture started" in lines,
                  "deb: the installed dualcap starts both sources: " + " | ".join(lines))
    # The script got here, so dualcap-split read the stream whole: it fails on one cut short
    # or corrupt. What it wrote must carry each source's tone.
    print("     deb: dualcap-split: " + " | ".join(read("split.txt").decode().splitlines()))
    carries_tones("deb", {tag: wav_samples(os.path.join(folder, "split", f"{name}.wav"))
                          for tag, name in harness.TAGS.items()}, 5)
    harness.check(read("version.txt").decode().startswith("dualcap-split "),
                  "deb: dualcap-split --version says " + read("version.txt").decode().strip())
    left = read("left.txt").decode().split()
    harness.check(not left, f"deb: removing it leaves none of its files ({left})")


def windows_zip(zipped, work, server):
    folder = os.path.join(work, "zip")
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    with zipfile.ZipFile(zipped) as archive:
        archive.extractall(folder)
        names = archive.namelist()
    [exe] = [os.path.join(folder, n) for n in names if n.endswith("/dualcap.exe")]
    args = argparse.Namespace(runner="wine10", exe=exe, work=os.path.join(work, "wine10"))
    os.makedirs(args.work, exist_ok=True)
    with harness.Runner(args, server.env) as runner:
        capture = runner.start(os.path.join(args.work, "stderr.txt"))
        try:
            harness.check(capture.wait_for(0, 20) and capture.wait_for(1, 20),
                          "zip: the unpacked dualcap.exe delivers both sources under Wine 10")
            time.sleep(5)
            sources = {tag: s["samples"] for tag, s in
                       harness.per_source(capture.snapshot()).items()}
            carries_tones("zip", sources, 4)
        finally:
            capture.end()
    print("     zip holds: " + ", ".join(sorted(names)))


def readers(deb, npm_tarball, wheel, work, server):
    folder = os.path.join(work, "readers")
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    subprocess.run(["dpkg-deb", "-x", deb, os.path.join(folder, "deb")], check=True)
    dualcap = os.path.join(folder, "deb", "usr", "bin", "dualcap")
    node_folder, venv = os.path.join(folder, "node"), os.path.join(folder, "venv")
    with open(os.path.join(folder, "install.log"), "wb") as log:
        def run(command, **kwargs):
            return subprocess.run(command, stdout=log, stderr=log, stdin=subprocess.DEVNULL,
                                  **kwargs).returncode == 0

        installs = {
            "node": run(["npm", "install", "--offline", "--no-audit", "--no-fund",
                         "--prefix", node_folder, os.path.abspath(npm_tarball)]),
            "python": run([sys.executable, "-m", "venv", venv]) and run(
                [os.path.join(venv, "bin", "python"), "-m", "pip", "install", "--no-index",
                 "--no-deps", "--disable-pip-version-check", os.path.abspath(wheel)]),
        }
    commands = {"node": (["node", "-e", READ_NODE, dualcap], node_folder),
                "python": ([os.path.join(venv, "bin", "python"), "-c", READ_PYTHON, dualcap],
                           folder)}
    for name, installed in installs.items():
        package = os.path.basename(npm_tarball if name == "node" else wheel)
        if not harness.check(installed, f"{name}: {package} installs offline into an empty "
                             f"place (log: {folder}/install.log)"):
            continue
        command, cwd = commands[name]
        result = subprocess.run(command, cwd=cwd, stdout=subprocess.PIPE,
                                stdin=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                env=server.env, timeout=30)
        read = json.loads(result.stdout) if result.returncode == 0 else {}
        module = read.get("module", "")
        harness.check(module.startswith(cwd if name == "node" else venv),
                      f"{name}: the installed reader runs "
                      f"({module or 'exit ' + str(result.returncode)})")
        carries_tones(name, {tag: read.get("samples", {}).get(source, [])
                             for tag, source in harness.TAGS.items()}, 1.9)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--deb", required=True)
    parser.add_argument("--zip", required=True)
    parser.add_argument("--npm", required=True, help="the Node.js reader, as npm pack made it")
    parser.add_argument("--wheel", required=True, help="the Python reader's wheel")
    parser.add_argument("--work", required=True)
    args = parser.parse_args()
    work = os.path.abspath(args.work)
    with harness.PulseServer(os.path.join(work, "pulse"), MIC_TONE, SPEAKER_TONE) as server:
        debian_package(args.deb, work, server)
        windows_zip(args.zip, work, server)
        readers(args.deb, args.npm, args.wheel, work, server)
    return harness.verdict("(package)")


if __name__ == "__main__":
    sys.exit(main())
