"""Native-messaging frames, as a browser writes and reads them: a 32-bit
little-endian length, then UTF-8 JSON."""
import json
import struct


def frame(payload):
    data = payload if isinstance(payload, bytes) else json.dumps(payload).encode()
    return struct.pack("<I", len(data)) + data


def answers(output):
    found = []
    while len(output) >= 4:
        (length,) = struct.unpack("<I", output[:4])
        found.append(json.loads(output[4:4 + length]))
        output = output[4 + length:]
    return found
