#!/usr/bin/python3
"""Figures for the Linux product on a real kernel HID device. Runs inside
the virtual machine (tools/bench-kernel-device.sh boots it), as root, with
simkey's uhid mode plugging in the key and the other devices.

1. Time per call through the native host for GetSN, HMAC_MD5 and
   UpdatePassword, against the waits the key's protocol mandates (the
   calls' floor on any machine).
2. The key finder's time per FindKeys with 0, 16 and 128 other HID devices
   present, through the plug-in (nphost: one process, many calls), for this
   tree and, given TALLYKEY_OLD_BUILD, for an older tree's build.

Emulation makes every absolute time slow, so the figures that matter are
the ratios taken in this one run.

Environment: TALLYKEY_BUILD (this tree's linux build folder), TALLYKEY_SOURCE,
TALLYKEY_OLD_BUILD (optional), TALLYKEY_BENCH_REPS (default 15).
"""
import glob
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

BUILD = os.environ["TALLYKEY_BUILD"]
OLD_BUILD = os.environ.get("TALLYKEY_OLD_BUILD", "")
REPS = int(os.environ.get("TALLYKEY_BENCH_REPS", "15"))
sys.path.insert(0, os.path.join(os.environ["TALLYKEY_SOURCE"], "tests"))
from nmframes import frame, read_answer  # noqa: E402

SIMKEY = os.path.join(BUILD, "bin", "simkey")
ORIGIN = "https://bank.example"
# The waits the key's protocol puts inside each call (50 ms after a request,
# 500 ms after a new password): the plug-in's floor on any machine.
MANDATED_MS = {"GetSN": 50, "HMAC_MD5": 150, "UpdatePassword": 600}
CALLS = {"GetSN": [], "HMAC_MD5": ["pw", "challenge"], "UpdatePassword": ["pw", "pw"]}
OTHER_DEVICES = (0, 16, 128)
FINDKEYS_PER_RUN = 20
# The kernel's hidraw gives at most this many nodes (HIDRAW_MAX_DEVICES in
# Linux 6.1); further HID devices exist without one.
HIDRAW_NODES = 64
PLAIN_ENV = {name: value for name, value in os.environ.items() if name != "LD_LIBRARY_PATH"}


class Devices:
    """simkey's uhid server over a folder of simulated devices."""

    def __init__(self):
        self.folder = tempfile.mkdtemp(prefix="tallykey-bench-")
        self.devices = os.path.join(self.folder, "devices")
        self.ready = os.path.join(self.folder, "ready")
        os.makedirs(self.devices)
        self.server = subprocess.Popen([SIMKEY, "--dir", self.devices, "uhid", "--ready", self.ready])

    def simkey(self, *args):
        subprocess.run([SIMKEY, "--dir", self.devices, *args], check=True, capture_output=True)

    def plugged(self, timeout=300):
        """Waits until every device of the folder is a kernel HID device
        and has what hidraw nodes the kernel gives; (devices, nodes)."""
        wanted = len(os.listdir(self.devices))
        deadline = time.monotonic() + timeout
        while True:
            devices = len(os.listdir("/sys/bus/hid/devices"))
            nodes = len(glob.glob("/dev/hidraw*"))
            if (devices, nodes) == (wanted, min(wanted, HIDRAW_NODES)) or time.monotonic() > deadline:
                return devices, nodes
            time.sleep(0.2)

    def close(self):
        self.server.terminate()
        self.server.wait(timeout=10)
        shutil.rmtree(self.folder)


def host_call_times(build):
    """Median milliseconds per call, one call at a time through one host."""
    env = dict(PLAIN_ENV, XDG_STATE_HOME=tempfile.mkdtemp(prefix="tallykey-state-"))
    host = subprocess.Popen([os.path.join(build, "bin", "tallykey-host")], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, env=env)
    number = 0

    def call(method, args):
        nonlocal number
        number += 1
        host.stdin.write(frame({"id": number, "method": method, "args": args, "origin": ORIGIN}))
        host.stdin.flush()
        started = time.perf_counter()
        answer = read_answer(host.stdout)
        took = (time.perf_counter() - started) * 1000
        assert answer.get("id") == number and "result" in answer, answer
        return took, answer["result"]

    host.stdin.write(frame({"id": 0, "method": "hello", "origin": ORIGIN}))
    host.stdin.flush()
    read_answer(host.stdout)
    figures = {}
    for method, args in CALLS.items():
        times = []
        for _ in range(REPS):
            took, result = call(method, args)
            assert result != -1 and not (isinstance(result, int) and result < 0), (method, result)
            times.append(took)
        figures[method] = statistics.median(times)
    host.stdin.close()
    host.wait(timeout=30)
    return figures


def findkeys_ms(build):
    """Milliseconds per FindKeys in the plug-in: a run of many calls less a
    run of one, so that process start and plug-in load drop out."""
    nphost = [os.path.join(build, "bin", "nphost"), os.path.join(build, "plugins", "nptallykey.so")]

    def run(calls):
        started = time.perf_counter()
        done = subprocess.run(nphost + ["FindKeys"] * calls, capture_output=True, text=True, env=PLAIN_ENV,
                              timeout=300)
        took = time.perf_counter() - started
        assert done.returncode == 0 and done.stdout.count("-> int 1") == calls, done.stdout + done.stderr
        return took

    samples = [(run(FINDKEYS_PER_RUN + 1) - run(1)) * 1000 / FINDKEYS_PER_RUN for _ in range(max(3, REPS // 5))]
    return statistics.median(samples)


def main():
    if not os.path.exists("/dev/uhid"):
        sys.exit("bench: no /dev/uhid; run it through tools/bench-kernel-device.sh")
    # The machine's administrator allows the bench's origin (the guest's /etc
    # is a throwaway overlay).
    os.makedirs("/etc/tallykey", exist_ok=True)
    with open("/etc/tallykey/allowed-origins.json", "w") as policy:
        json.dump([ORIGIN], policy)
    devices = Devices()
    try:
        devices.simkey("add-key", "key", "--password", "pw")
        if devices.plugged() != (1, 1):
            sys.exit("bench: the key never got a kernel node")
        print(f"Time per call through tallykey-host (median of {REPS}), uhid key, in the virtual machine:")
        print(f"{'call':<16}{'ms':>10}{'mandated ms':>13}{'ratio':>8}{'over, ms':>10}")
        for method, took in host_call_times(BUILD).items():
            mandated = MANDATED_MS[method]
            print(f"{method:<16}{took:>10.1f}{mandated:>13}{took / mandated:>8.2f}{took - mandated:>10.1f}")

        builds = [("this tree", BUILD)] + ([("old edge", OLD_BUILD)] if OLD_BUILD else [])
        print(f"\nFindKeys in the plug-in, ms per call (median; {FINDKEYS_PER_RUN} calls per run, less one):")
        print(f"{'other devices':<15}{'with nodes':>11}" + "".join(f"{name:>12}" for name, _ in builds) +
              ("   old / this" if OLD_BUILD else ""))
        added = 0
        table = []
        for count in OTHER_DEVICES:
            for number in range(added, count):
                devices.simkey("add-hid", f"other{number:03d}", "--vid", "046d", "--pid", f"{0xc000 + number:04x}",
                               "--usage-page", "1")
            added = count
            present, nodes = devices.plugged()
            if present != count + 1:
                sys.exit(f"bench: only {present - 1} of the {count} other devices were plugged in")
            nodes -= 1  # the key's
            figures = [findkeys_ms(build) for _, build in builds]
            table.append(figures)
            row = f"{count:<15}{nodes:>11}" + "".join(f"{ms:>12.2f}" for ms in figures)
            if OLD_BUILD:
                row += f"{figures[1] / figures[0]:>14.1f}"
            print(row, flush=True)
        print("\nEach build against itself with no other device present:")
        for column, (name, _) in enumerate(builds):
            print(f"  {name}: " + ", ".join(f"{count} others x{figures[column] / table[0][column]:.2f}"
                                           for count, figures in zip(OTHER_DEVICES, table)))
    finally:
        devices.close()


if __name__ == "__main__":
    main()
