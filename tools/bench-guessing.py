#!/usr/bin/python3
"""Benchmark (not a test): how many wrong passwords a page gets through the
native host in a minute, against a simulated key, as fast as answers come.

- without the host's waits: each guess from an origin of its own, which
  has no failures yet (the pace the key alone allows, as before the waits);
- the first minute of one origin's guessing;
- its tenth minute: the origin's ledger entry as nine minutes of guessing
  leave it (replayed from the waits' schedule), then a real minute.

    tools/bench-guessing.py [SECONDS]      (after tools/build.sh; 60 by default)
"""
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests"))
from nmframes import frame  # noqa: E402

BIN = os.path.join(ROOT, "build", "linux", "bin")
ORIGIN = "https://guesser.example"


def wait_after(failures):
    """The host's schedule: 1 s after the first failure, doubling, at most 60 s."""
    return 0 if failures == 0 else min(60.0, 2.0 ** (failures - 1))


def ledger_after(seconds, guess_time):
    """(failures, seconds since the last one) after guessing for so long."""
    now, failures, last = 0.0, 0, 0.0
    while True:
        start = max(now, last + wait_after(failures)) if failures else now
        if start + guess_time > seconds:
            return failures, seconds - last
        now = last = start + guess_time
        failures += 1


class Host:
    def __init__(self, devices, state):
        env = dict(os.environ, TALLYKEY_SIMKEY_DIR=devices, XDG_STATE_HOME=state, LD_LIBRARY_PATH=BIN)
        self.process = subprocess.Popen([os.path.join(BIN, "tallykey-host")], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, env=env)
        self.id = 0

    def guess(self, origin):
        self.id += 1
        self.process.stdin.write(frame({"id": self.id, "method": "HMAC_MD5", "args": ["wrong", "m"],
                                        "origin": origin, "consent": True}))
        self.process.stdin.flush()
        (length,) = struct.unpack("<I", self.process.stdout.read(4))
        return json.loads(self.process.stdout.read(length))["result"]

    def close(self):
        self.process.stdin.close()
        self.process.wait(timeout=120)


def count_guesses(host, seconds, origin_for):
    started, guesses = time.monotonic(), 0
    while time.monotonic() - started < seconds:
        result = host.guess(origin_for(guesses))
        if time.monotonic() - started > seconds:
            break  # answered after the minute: not in it
        assert result == -5, result
        guesses += 1
    return guesses


def main():
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 60.0
    folder = tempfile.mkdtemp(prefix="tallykey-guessing-")
    try:
        devices, state = os.path.join(folder, "devices"), os.path.join(folder, "state")
        subprocess.run([os.path.join(BIN, "simkey"), "--dir", devices, "add-key", "key", "--password", "pw"],
                       check=True, capture_output=True)
        host = Host(devices, state)
        host.guess("https://warm-up.example")
        started = time.monotonic()
        host.guess("https://one-guess.example")
        guess_time = time.monotonic() - started
        print(f"one wrong guess at the key: {guess_time * 1000:.0f} ms")
        print(f"{'':36}{'guesses':>9}{'per minute':>12}")
        unthrottled = count_guesses(host, seconds, lambda n: f"https://fresh-{n}.example")
        print(f"{'without waits (a fresh origin each)':36}{unthrottled:>9}{unthrottled * 60 / seconds:>12.0f}")
        first = count_guesses(host, seconds, lambda n: ORIGIN)
        print(f"{'one origin, first minute':36}{first:>9}{first * 60 / seconds:>12.0f}")
        host.close()
        # Nine minutes on: the ledger as the schedule leaves it, in a new host.
        failures, since = ledger_after(9 * 60, guess_time)
        ledger = os.path.join(state, "tallykey", ".guesses.json")
        now_ms = int(time.time() * 1000)
        with open(ledger, "w") as f:
            json.dump({ORIGIN: {"failures": failures, "last": now_ms - int(since * 1000)}}, f)
        host = Host(devices, state)
        tenth = count_guesses(host, seconds, lambda n: ORIGIN)
        host.close()
        print(f"{'one origin, tenth minute':36}{tenth:>9}{tenth * 60 / seconds:>12.0f}"
              f"   (after {failures} failures in minutes 1-9)")
    finally:
        shutil.rmtree(folder)


if __name__ == "__main__":
    main()
