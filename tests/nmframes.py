"""Native-messaging frames, as a browser writes and reads them: a 32-bit
little-endian length, then UTF-8 JSON."""
import json
import struct


def frame(payload):
    data = payload if isinstance(payload, bytes) else json.dumps(payload).encode()
    return struct.pack("<I", len(data)) + data


def answers(output, notices=False):
    """The host's answers in its output; with notices, also its notices that
    a call waits or runs ({"id": ..., "state": ...})."""
    found = []
    while len(output) >= 4:
        (length,) = struct.unpack("<I", output[:4])
        message = json.loads(output[4:4 + length])
        if notices or not (isinstance(message, dict) and "state" in message):
            found.append(message)
        output = output[4 + length:]
    return found


def read_answer(stream):
    """The next answer from a running host's output, past its notices; None
    when the output ends."""
    while True:
        header = stream.read(4)
        if len(header) < 4:
            return None
        (length,) = struct.unpack("<I", header)
        message = json.loads(stream.read(length))
        if not (isinstance(message, dict) and "state" in message):
            return message
