#!/usr/bin/python3
"""Writes tests/vectors/sign-in.json: origin-bound messages (docs/sign-in.md)
and the digests a key with the given digest value answers for them,
computed here independently of the product (Python's hashlib and hmac), so
that the C++ builder, the host, the page library and the server's tests
check against the same figures.

Usage: make_sign_in_vectors.py [OUT]   (default: tests/vectors/sign-in.json)
"""
import hashlib
import hmac
import json
import os
import sys

SIGN_IN_TAG = bytes([0xF8, 0x54, 0x4B, 0x53])
CONFIRM_TAG = bytes([0xF8, 0x54, 0x4B, 0x43])


def digest16(data):
    return hashlib.sha256(data).digest()[:16]


def vector(purpose, origin, payload, digest_key):
    if purpose == "sign-in":
        message = SIGN_IN_TAG + digest16(origin.encode("ascii")) + payload
        case = {"purpose": purpose, "origin": origin, "challenge": payload.hex()}
    else:
        message = CONFIRM_TAG + digest16(origin.encode("ascii")) + digest16(payload.encode("utf-8"))
        case = {"purpose": purpose, "origin": origin, "text": payload}
    case.update({"digestKey": digest_key.hex(), "message": message.hex(),
                 "digest": hmac.new(digest_key, message, hashlib.md5).hexdigest()})
    return case


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, "tests", "vectors", "sign-in.json")
    keys = [bytes(range(16)), bytes.fromhex("00112233445566778899aabbccddeeff")]
    # The longest (32 bytes), the shortest (16) and one between (24).
    challenges = [bytes(range(32)), bytes.fromhex("0f1e2d3c4b5a69788796a5b4c3d2e1f0"), bytes(range(0xA0, 0xB8))]
    origins = ["https://bank.example", "https://bank.example:8443", "https://xn--bcher-kva.example",
               "http://localhost:3000", "https://evil.test"]
    texts = ["Pay 100.00 EUR to ACME Ltd, IBAN DE89 3704 0044 0532 0130 00", "向张三转账 ¥500",
             "", "x" * 1024]
    cases = []
    for i, origin in enumerate(origins):
        cases.append(vector("sign-in", origin, challenges[i % len(challenges)], keys[i % 2]))
    cases.append(vector("sign-in", "https://bank.example", challenges[1], keys[0]))
    for i, text in enumerate(texts):
        cases.append(vector("confirm", origins[i % 2], text, keys[i % 2]))
    with open(out, "w", encoding="utf-8") as f:
        json.dump({"about": "origin-bound messages and the key's HMAC-MD5 of them; see docs/sign-in.md",
                   "vectors": cases}, f, indent=1, ensure_ascii=False)
        f.write("\n")


if __name__ == "__main__":
    main()
