#!/usr/bin/env python3
"""Writes the checked-in seed corpora of the fuzz targets (corpus/<target>/). Run it again after
changing the request layout of a target; the files are kept in the tree so that every test run
replays the same inputs."""
import json
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
S = ["x", "y", "z", "s", "l", "b", "h", "j"]
W = ["x", "y", "z", "w", "m", "s", "t", "k"]
# Command codes with their keys (N number, T text), in the order of command_keys.h.
COMMANDS = [
    (103, []),
    (107, [("p", "N")] + [(k, "N") for k in S]),
    (108, [("p", "N")] + [(k, "N") for k in S]),
    (109, [("p", "N")] + [(k, "N") for k in W] + [("g", "T"), ("q", "N"), ("b", "N")]),
    (111, [("p", "N")] + [(k, "N") for k in S] + [("w", "N"), ("g", "T"), ("q", "N"), ("m", "N")]),
    (112, [("p", "N")] + [(k, "N") for k in S] + [("w", "N")]),
    (113, [("p", "N")] + [(k, "N") for k in S] + [("w", "N")]),
    (114, [("p", "N")]),
    (122, [("p", "N")] + [(k, "N") for k in S] + [("g", "N"), ("q", "N"), ("m", "N")]),
    (133, [("p", "N")] + [(k, "N") for k in S] + [("m", "N"), ("k", "T"), ("w", "N")]),
    (147, [("p", "N")] + [(k, "N") for k in S] + [("m", "N")]),
    (149, [("p", "N")] + [(k, "N") for k in S] + [("m", "T"), ("k", "N"), ("t", "N")]),
    (159, [("p", "N")] + [(k, "N") for k in S] + [("w", "N"), ("m", "N"), ("t", "N")]),
    (160, [("p", "N")] + [(k, "N") for k in W]),
    (167, [("p", "N")] + [(k, "N") for k in S] + [("w", "N"), ("g", "N")]),
    (169, [("p", "N")] + [(k, "N") for k in S] + [("w", "T"), ("n", "N"), ("g", "T"), ("q", "N"),
                                                   ("m", "T"), ("d", "N"), ("f", "N"), ("t", "N")]),
]

CTX = {k: v for k, v in zip(S, [1, 2, 3, 4, 0, 0, 0, 0])}
CARD = {k: v for k, v in zip(S, [9, 8, 7, 6, 0, 0, 0, 0])}
CTX_W = {k: v for k, v in zip(W, [1, 2, 3, 4, 0, 0, 0, 0])}
T1 = "2,0,0,0,8,0,0,0"
# One short, meaningful request of every command.
REQUESTS = {
    103: {},
    107: dict(p=8, **CARD),
    108: dict(p=8, **CTX),
    109: dict(p=8, g="Test Reader 00 00", q=2, b=3, **CTX_W),
    111: dict(p=8, w=0x42000D48, g="NULL", q=0, m=256, **CARD),
    112: dict(p=8, w=0, **CARD),
    113: dict(p=8, w=0, **CARD),
    114: dict(p=2),
    122: dict(p=8, g=0x90303, q=0, m=4294967295, **CARD),
    133: dict(p=8, m=0, k=",".join(["84", "82", "0"] + ["0"] * 133 + ["16"] + ["0"] * 63), w=1,
              **CTX),
    147: dict(p=8, **CTX),
    149: dict(p=8, m="", k=0, **CTX),
    159: dict(p=8, w=2, m=3, t=1, **CARD),
    160: dict(p=8, **CTX_W),
    167: dict(p=8, w=4294967295, g=32, **CARD),
    169: dict(p=8, w=T1, n=8, g="0,164,4,0,0", q=5, m=T1, d=8, f=258, t=0, **CARD),
}


def frame(body):
    data = body.encode() if isinstance(body, str) else body
    return struct.pack("<I", len(data)) + data


def request(code, rid, extra):
    return json.dumps(dict(i=rid, c=code, **extra), separators=(",", ":"))


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def main_loop():
    for code, extra in REQUESTS.items():
        write("main_loop", f"command-{code}", frame(request(code, str(code), extra)))
    session = [(114, {"p": 2}), (149, {"p": 0}), (109, dict(p=0, g="Test Reader 00 00", q=2, b=3)),
               (169, REQUESTS[169]), (167, {"w": 0, "g": 0}), (112, {"p": 0, "w": 0}),
               (160, {"p": 0})]
    write("main_loop", "session",
          b"".join(frame(request(c, str(n), e)) for n, (c, e) in enumerate(session)))
    write("main_loop", "empty", b"")
    write("main_loop", "end-prefix", b"\xff\xff\xff\xff" + frame(request(103, "1", {})))
    write("main_loop", "truncated-prefix", b"\x11\x00")
    write("main_loop", "truncated-body", b"\x40\x00\x00\x00{\"i\":\"1\"")
    write("main_loop", "gigabyte-promise", b"\x00\x00\x00\x40{\"i\":\"1\",\"c\":103}")
    write("main_loop", "unknown-then-known",
          frame(request(104, "1", {})) + frame("[1,2]") + frame("") +
          frame(request(103, "2", {"e": "tab\u0001\"x\""})))
    write("main_loop", "wrong-types",
          frame('{"i":"1","c":169,"q":"5"}') + frame('{"i":"2","c":109,"g":7}') +
          frame('{"i":3,"c":103}') + frame('{"i":"4","c":103,"r":null}') +
          frame(request(103, "5", {})))
    write("main_loop", "numbers",
          frame('{"i":"1","c":103.9,"r":true}') + frame('{"i":"2","c":167,"w":-1,"g":1e300}') +
          frame('{"i":"3","c":114,"p":-2.9}') + frame('{"i":"4","c":169,"p":-5,"f":4294967295}'))
    write("main_loop", "invalid-utf8", frame(b'{"i":"\xff\xfe","c":103}'))
    write("main_loop", "deep", frame("[" * 200 + "]" * 200))


def service_outputs():
    # One step per command: its index, every key present with a sensible value, then a script of
    # success with a few output bytes.
    for index, (code, keys) in enumerate(COMMANDS):
        data = bytearray([index])
        for name, kind in keys:
            if kind == "N":
                data += bytes([1, 1, 8 if name == "p" else 3])  # present, a byte value
            else:
                data += bytes([2, 4, 1, 2, 3, 4])  # present, a Byte list of four bytes
        data += bytes([0, 1]) + bytes(range(1, 9))  # success, touched, handle
        data += struct.pack("<II", 2, 52)  # protocol, state
        data += bytes([6, 65, 66, 0, 67, 0, 0])  # data: the multi-string AB, C
        data += bytes([0])  # true length
        data += bytes([4, 59, 0, 0, 0]) + bytes([0])  # ATR and its true length
        data += bytes([8, 2, 0, 0, 0, 8, 0, 0, 0])  # receive PCI
        data += bytes([4]) + bytes(8)  # flags, event
        data += struct.pack("<I", 144) + bytes([4, 1, 0, 0, 0])  # state edit
        write("service_outputs", f"command-{code}", bytes(data))
    # A lying length for every command: 4294967295 reported over three bytes of data.
    for index, (code, keys) in enumerate(COMMANDS):
        data = bytearray([index]) + bytes([0] * len(keys))
        data += bytes([0, 1]) + bytes(8) + bytes(8) + bytes([3, 1, 2, 3]) + bytes([1, 31])
        data += bytes([0, 1, 31]) + bytes([0]) + bytes([0])
        write("service_outputs", f"lying-{code}", bytes(data))


def byte_lists():
    cases = {
        "simple": (5, b"1,2,3"),
        "short": (2, b"1,2,3"),
        "empty-pieces": (2, b",,1,,2,"),
        "wrap": (2, b"256,-1"),
        "letters": (1, b"abc"),
        "blank": (1, b" 7"),
        "empty": (3, b""),
        "zero": (0, b"1,2"),
        "negative": (-5, b"1,2"),
        "huge": (3, b"99999999999999999999999,-99999999999999999999,+12"),
        "nul": (3, b"1\x002,3"),
    }
    for name, (length, text) in cases.items():
        write("byte_lists", name, struct.pack("<h", length) + text)


def request_readers():
    # Every main-loop seed, and bodies at the edges of the JSON grammar and of the table.
    folder = os.path.join(HERE, "corpus", "main_loop")
    for name in sorted(os.listdir(folder)):
        with open(os.path.join(folder, name), "rb") as f:
            write("request_readers", name, f.read())
    transmit = request(169, "t", dict(p=8, **CARD, g="0,164,4,0", q=4, f=258))
    cases = {
        "bom": b"\xef\xbb\xbf" + request(103, "1", {}).encode(),
        "half-bom": b"\xef\xbb" + request(103, "1", {}).encode(),
        "duplicates": b'{"i":"1","c":169,"q":"x","q":4,"g":5,"g":"1,2,3,4","p":8,"p":0}',
        "duplicate-wrong-last": b'{"i":"1","c":112,"w":1,"w":"1"}',
        "escaped-keys": b'{"\\u0069":"\\ud83d\\ude00\\n","\\u0063":103,"e":"\\"\\\\\\/"}',
        "lone-surrogate": b'{"i":"\\udc00","c":103}',
        "utf8": '{"i":"\u00e9\u20ac\U0001f600","c":103}'.encode(),
        "overlong": b'{"i":"\xc0\xaf","c":103}',
        "surrogate-utf8": b'{"i":"\xed\xa0\x80","c":103}',
        "control": b'{"i":"a\tb","c":103}',
        "numbers": b'{"i":"1","c":1.039e2,"r":-0.0,"x":18446744073709551616,"y":-9223372036854775809,'
                   b'"z":1e400,"s":123456789012345678901234567890}',
        "number-edges": b'{"i":"1","c":169,"p":9223372036854775807,"x":-9223372036854775808,'
                        b'"y":18446744073709551615,"z":4294967295.9,"s":-1e-400,"l":true,"b":false}',
        "nested": b'{"i":"1","c":103,"k":{"a":[1,{"b":null}],"":[]},"m":[[],[[]]]}',
        "bad-nesting": b'{"i":"1","c":103,"k":[1,2}',
        "trailing": request(103, "1", {}).encode() + b" x",
        "trailing-comma": b'{"i":"1","c":103,}',
        "whitespace": b' \t\r\n{ "i" : "1" , "c" : 103 } \n',
        "scalar": b'"just a text"',
        "nul-after-value": request(103, "1", {}).encode() + b" \x00trailing garbage",
        "nul-inside": b'{"i":"1",\x00"c":103}',
        "long-key": b'{"ii":"1","i":"2","c":103}',
    }
    for name, body in cases.items():
        write("request_readers", name, frame(body))
    write("request_readers", "transmit-then-bad", frame(transmit) + frame(b'{"i":"2","c":169,"q":[]}'))


main_loop()
service_outputs()
byte_lists()
request_readers()
