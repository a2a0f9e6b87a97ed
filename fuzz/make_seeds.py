#!/usr/bin/python3
"""Writes the seed corpora of the fuzzing harnesses (fuzz/corpus/HARNESS/).

The harnesses read their input through libFuzzer's FuzzedDataProvider:
numbers and choices from the end of the input, strings and bytes from the
front. Seed encodes a run of such reads into those two halves.

- device_answers: each method against the simulated key's own answers (a
  device choice of 0 is the key's answer, so the well-behaved transcript
  needs no device bytes at all), with and without a password, and each
  transcript again with one answer disturbed (busy, another status, another
  length, a failed read or write) at each step.
- page_arguments: a page's session (first password, digests, change of
  password, digest reset, hex digest, serial number, count, trace) and calls
  with wrong types and counts.
- md5_hex: the block boundaries of MD5 and some hexadecimal texts.

Usage: make_seeds.py [OUTPUT_FOLDER]   (default: fuzz/corpus beside this file)
"""
import json
import os
import shutil
import struct
import sys

METHODS = ["InitPassword", "FindKeys", "UpdatePassword", "GetSN", "HMAC_MD5", "ResetDigist",
           "HMAC_MD5_HexString", "SetLog"]


class Seed:
    def __init__(self):
        self.front = bytearray()
        self.back = []

    def choice(self, value, low=0, high=255):
        """ConsumeIntegralInRange over at most 256 values (ConsumeBool: 0..1)."""
        assert low <= value <= high and high - low < 256
        self.back.append(value - low)
        return self

    def int32(self, value):
        for byte in (value & 0xFFFFFFFF).to_bytes(4, "big"):
            self.back.append(byte)
        return self

    def string(self, text):
        """ConsumeRandomLengthString: backslashes doubled, ended by a backslash and another byte."""
        data = text.encode("utf-8") if isinstance(text, str) else text
        self.front += data.replace(b"\\", b"\\\\") + b"\\e"
        return self

    def raw(self, data):
        self.front += data
        return self

    def bytes(self):
        return bytes(self.front) + bytes(reversed(self.back))


def device_answers():
    seeds = {}
    for method in METHODS:
        for with_password in (False, True):
            seed = Seed().choice(METHODS.index(method), 0, 7)
            # Password(): 0 is "pw".
            if method in ("InitPassword", "UpdatePassword", "HMAC_MD5", "ResetDigist", "HMAC_MD5_HexString"):
                seed.choice(0, 0, 3)
            if method == "UpdatePassword":
                seed.choice(3, 0, 3).string("new password")
            if method == "HMAC_MD5":
                seed.string("challenge")
            if method == "ResetDigist":
                seed.choice(0, 0, 1).raw(bytes(range(16)))
            if method == "HMAC_MD5_HexString":
                seed.choice(4, 0, 64).choice(0, 0, 1).raw(b"\x00\x01\xfe\xff")
            seed.choice(1 if with_password else 0, 0, 1)
            name = f"{method}-{'password' if with_password else 'new-key'}"
            seeds[name] = seed.bytes()
            # The same transcript with one answer disturbed at each step.
            for step in range(10):
                for label, disturbance in (("busy", [0x80]), ("status", [0xA0, 0xE2]), ("length", [0xB0, 15]),
                                           ("failed", [0xFF])):
                    disturbed = Seed()
                    disturbed.front, disturbed.back = bytearray(seed.front), list(seed.back) + [0] * step + disturbance
                    if method in ("HMAC_MD5", "UpdatePassword") and with_password:
                        seeds[f"{name}-{label}-at-{step}"] = disturbed.bytes()
    return seeds


def call(seed, method, *texts, kind=4, name_kind=0):
    seed.choice(kind, 0, 15).choice(name_kind, 0, 7).choice(METHODS.index(method), 0, 7)
    seed.choice(1, 0, 1).choice(len(texts), 0, 3)  # up to three arguments
    for text in texts:
        seed.choice(6, 0, 9).string(text)
    return seed


def page_arguments():
    session = Seed()
    call(session, "FindKeys")
    call(session, "InitPassword", "pw")
    call(session, "HMAC_MD5", "pw", "challenge")
    call(session, "UpdatePassword", "pw", "新密码")
    call(session, "ResetDigist", "新密码", "000102030405060708090a0b0c0d0e0f")
    call(session, "HMAC_MD5_HexString", "新密码", "00ff10")
    call(session, "HMAC_MD5_HexString", "新密码", "f8544b53" + "00" * 32)  # a sign-in's tag: refused
    call(session, "GetSN")
    call(session, "SetLog", "page.log")
    wrong = Seed()
    call(wrong, "InitPassword")
    wrong.choice(4, 0, 15).choice(0, 0, 7).choice(METHODS.index("HMAC_MD5"), 0, 7).choice(1, 0, 1).choice(2, 0, 3)
    wrong.choice(3, 0, 9).int32(7).choice(1, 0, 9)
    call(wrong, "HMAC_MD5", "pw", "m" * 62)
    call(wrong, "HMAC_MD5_HexString", "pw", "0g")
    call(wrong, "SetLog", "\\\\server\\share\\x")
    names = Seed()
    names.choice(0, 0, 15).choice(5, 0, 7).string("GetSN\r\nstart calc.exe").choice(1, 0, 1).choice(0, 0, 3)
    names.choice(2, 0, 15).choice(7, 0, 7).int32(-3).choice(1, 0, 1).choice(0, 0, 3)
    names.choice(5, 0, 15).choice(6, 0, 7).string("findkeys").choice(1, 0, 1).choice(0, 0, 3)
    return {"session": session.bytes(), "wrong-arguments": wrong.bytes(), "names": names.bytes()}


def md5_hex():
    # The 16-byte key first, the message after it, the piece-size seed (which
    # also sets how many bytes of the text are decoded) in the last two bytes.
    key = bytes(range(16))
    seeds = {f"bytes-{n}": key + bytes(i % 251 for i in range(n)) + b"\x00\x00"
             for n in (0, 1, 55, 56, 63, 64, 65, 128)}
    seeds["hex-text"] = key + b"00ff7fA0bC" + b"\x05\x00"
    seeds["hex-stops"] = key + b"0a1g" + b"\x05\x00"
    return seeds


def host_input():
    """Frame streams as the extension's background writes them."""
    def frames(*requests):
        data = b""
        for request in requests:
            body = request if isinstance(request, bytes) else json.dumps(request).encode()
            data += struct.pack("<I", len(body)) + body
        return data

    site = {"origin": "https://listed.example"}
    asked = {"origin": "https://bank.example", "consent": True}
    return {
        "hello": frames({"id": 1, "method": "hello", **site}, {"id": 2, "method": "hello", "origin": "http://x"}),
        "calls": frames({"id": 1, "method": "FindKeys", "args": [], **site},
                        {"id": 2, "method": "GetSN", "args": [], **asked},
                        {"id": 3, "method": "InitPassword", "args": ["pw"], **site},
                        {"id": 4, "method": "HMAC_MD5", "args": ["pw", "challenge"], **site},
                        {"id": 5, "method": "HMAC_MD5_HexString", "args": ["pw", "0a0b"], **site},
                        {"id": 6, "method": "ResetDigist", "args": ["pw", "00" * 16], **site},
                        {"id": 7, "method": "UpdatePassword", "args": ["pw", "new"], **site}),
        "refusals": frames({"id": 1, "method": "GetSN", "args": [], "origin": "https://bank.example"},
                           {"id": "a", "method": "GetSN", "args": [], "origin": "null", "consent": True}),
        "setlog": frames({"id": 1, "method": "SetLog", "args": ["trace.log"], **site},
                         {"id": 2, "method": "FindKeys", "args": [], **site},
                         {"id": 3, "method": "SetLog", "args": ["CON.txt"], **site},
                         {"id": 4, "method": "SetLog", "args": [""], **site}),
        "withdraw": frames({"id": 1, "method": "HMAC_MD5", "args": ["wrong", "m"], **site},
                           {"id": 2, "method": "withdraw"}),
        "odd-strings": frames(b'{"id":1,"method":"HMAC_MD5","args":["\\ud800","\xc0\xaf"],'
                              b'"origin":"https://listed.example"}'),
        "nesting": frames(b'{"id":1,"method":"GetSN","args":[[[[[[[[[]]]]]]]]]}', b"[" * 40),
        "oversized": struct.pack("<I", 2 * 1024 * 1024) + b"{}" + frames({"id": 9, "method": "hello"}),
        "settings": b'{"origins": ["https://a.example:8443", "http://localhost:3000"], "promptForOthers": false}',
        # Ids no request may carry, and a traced origin's refused call.
        "odd-ids": frames({"id": [1], "method": "FindKeys"}, {"id": "i" * 65, "method": "hello"},
                          {"id": {"a": 1}, "method": "GetSN"}),
        "traced-refusal": frames({"id": 1, "method": "SetLog", "args": ["t.log"], **asked},
                                 {"id": 2, "method": "GetSN", "args": [], "origin": "https://bank.example"}),
    }


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
    for harness, seeds in (("device_answers", device_answers()), ("page_arguments", page_arguments()),
                           ("md5_hex", md5_hex()), ("host_input", host_input())):
        folder = os.path.join(out, harness)
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        for name, data in seeds.items():
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)
        print(f"{harness}: {len(seeds)} seeds")


if __name__ == "__main__":
    main()
