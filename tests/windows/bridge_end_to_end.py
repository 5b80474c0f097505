#!/usr/bin/env python3
"""The host end to end against a real pcscd with a vpcd reader and a minimal virtual card.

Runs as the first process of fresh mount, network and PID namespaces (CTest starts it under
`unshare`): it brings up loopback, gives pcscd a private /run/pcscd, inserts the card and drives
the host given by --host through establish, list, connect, transmit, status, attributes,
disconnect and release. --platform says which platform's numbers to expect where WinSCard and
pcsc-lite legitimately differ.
"""
import argparse
import json
import os
import select
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

READER_PORT = 0x9C40
READER = "Tessera Bridge Reader 00 00"
# TS 3B, T0 80 (TD1 follows), TD1 80 (TD2 follows, T=0), TD2 01 (T=1), TCK 01.
ATR = bytes([0x3B, 0x80, 0x80, 0x01, 0x01])
# GET DATA answers bytes that a text-mode stream would mangle.
GET_DATA = [0x80, 0xCA, 0x00, 0x00, 0x00]
GET_DATA_ANSWER = [0x0A, 0x0D, 0x1A, 0x00, 0xFF, 0x90, 0x00]

# Where the platforms differ, by design of the two PC/SC implementations.
EXPECTED = {
    # SCardGetAttrib through vpcd: pcsc-lite's SCARD_E_UNSUPPORTED_FEATURE is 0x8010001F,
    # WinSCard's is 0x80100022.
    "unsupported_feature": {"linux": 0x8010001F, "windows": 0x80100022},
    # SCardStatus: pcsc-lite sets one bit per stage (present 0x4 | powered 0x10 | negotiable
    # 0x20; its upper 16 bits count events), WinSCard names the stage (SCARD_NEGOTIABLE 5).
    "card_state": {"linux": 0x34, "windows": 5},
}

results = {"passed": 0, "failed": 0}


def check(what, got, want):
    if got == want:
        results["passed"] += 1
    else:
        results["failed"] += 1
        print(f"FAIL {what}: got {got!r}, want {want!r}", flush=True)


def signed(code):
    return str(code - (1 << 32) if code >= 1 << 31 else code)


def run_card(stop):
    """The virtual card: connects to vpcd, answers power and ATR requests and two APDUs."""
    deadline = time.monotonic() + 20
    while not stop.is_set() and time.monotonic() < deadline:
        try:
            link = socket.create_connection(("127.0.0.1", READER_PORT), timeout=1)
            break
        except OSError:
            time.sleep(0.1)
    else:
        return
    link.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    link.settimeout(0.2)

    def send(payload):
        link.sendall(struct.pack(">H", len(payload)) + bytes(payload))

    buffer = b""
    while not stop.is_set():
        try:
            chunk = link.recv(4096)
        except socket.timeout:
            continue
        except OSError:
            return
        if not chunk:
            return
        buffer += chunk
        while len(buffer) >= 2:
            size = struct.unpack(">H", buffer[:2])[0]
            if len(buffer) < 2 + size:
                break
            message, buffer = buffer[2:2 + size], buffer[2 + size:]
            if size == 1:
                if message[0] == 4:
                    send(ATR)
            elif list(message) == GET_DATA:
                send(GET_DATA_ANSWER)
            else:
                send([0x90, 0x00])


class Host:
    def __init__(self, command):
        self.process = subprocess.Popen(command.split(" "), stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.pending = b""
        self.count = 0

    def ask(self, request):
        self.count += 1
        request = dict(request, i=str(self.count))
        body = json.dumps(request, separators=(",", ":")).encode()
        self.process.stdin.write(struct.pack("<I", len(body)) + body)
        self.process.stdin.flush()
        deadline = time.monotonic() + 30
        fd = self.process.stdout.fileno()
        while True:
            if len(self.pending) >= 4:
                size = struct.unpack("<I", self.pending[:4])[0]
                if len(self.pending) >= 4 + size:
                    reply = self.pending[4:4 + size]
                    self.pending = self.pending[4 + size:]
                    members = json.loads(reply, object_pairs_hook=list)
                    if members[0] != ("i", str(self.count)):
                        raise RuntimeError(f"reply to another request: {reply!r}")
                    return dict(members)
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([fd], [], [], left)[0]:
                raise RuntimeError(f"no reply to {body!r}")
            chunk = os.read(fd, 65536)
            if not chunk:
                raise RuntimeError(f"host ended before answering {body!r}")
            self.pending += chunk

    def finish(self):
        self.process.stdin.close()
        try:
            return self.process.wait(timeout=20)
        except subprocess.TimeoutExpired:
            self.process.kill()
            return None


def handle_keys(data, names):
    return dict({"p": 8}, **{key: data[i] for i, key in enumerate(names)})


def byte_list(text):
    return [] if text == "NULL" else [int(b) for b in text.split(",")]


def exercise(host, platform):
    reply = host.ask({"c": 103})
    check("started event", reply["SCardAccessStartedEvent"], "0")

    reply = host.ask({"c": 114, "p": 2})
    check("establish", reply["SCardEstablishContext"], "0")
    context = [int(reply[f"pbContext{i}"]) for i in range(8)]
    check("context width", reply["cbContext"], "8")

    # Poll until the card is in (vpcd inserts it once the card program has connected).
    reply = host.ask({"c": 149, "p": 0, "k": 0})
    check("list readers", reply["SCardListReadersA"], "0")
    names = bytes(byte_list(reply["mszReaders"])).split(b"\0")
    check("reader listed", READER.encode() in names, True)

    card = None
    for _ in range(50):
        reply = host.ask({"c": 109, "p": 0, "g": READER, "q": 2, "b": 3})
        if reply["SCardConnectA"] == "0":
            card = [int(reply["pbHandlet0"])] + [int(reply[f"pbContext{i}"]) for i in range(1, 8)]
            break
        time.sleep(0.1)
    check("connect", card is not None, True)
    if card is None:
        return
    check("active protocol T=1", reply["dwActiveProtocol"], "2")
    card_keys = handle_keys(card, ["x", "y", "z", "s", "l", "b", "h", "j"])

    # T=1 send PCI in the wire's 8-byte layout; the bridge and the host each translate it.
    reply = host.ask(dict(card_keys, c=169, w="2,0,0,0,8,0,0,0", n=8,
                          g=",".join(map(str, GET_DATA)), q=len(GET_DATA),
                          m="2,0,0,0,8,0,0,0", d=8, f=258, t=0))
    check("transmit", reply["SCardTransmit"], "0")
    check("response bytes", byte_list(reply["pbRecvBuffer"]), GET_DATA_ANSWER)
    check("response length", reply["cbRecvLength"], str(len(GET_DATA_ANSWER)))
    check("receive PCI in the wire's 8-byte layout", byte_list(reply["pioRecvPci"])[4:8], [8, 0, 0, 0])

    reply = host.ask(dict(card_keys, c=167, w=4294967295, g=32))
    check("status", reply["SCardStatusA"], "0")
    check("status reader", bytes(byte_list(reply["mszReaderNames"])), READER.encode() + b"\0")
    check("status ATR", byte_list(reply["pbAtr"]), list(ATR))
    check("status ATR length", reply["cbAtrLen"], str(len(ATR)))
    check("status protocol", reply["dwProtocol"], "2")
    state = int(reply["dwState"])
    check("status state", state & 0xFFFF if platform == "linux" else state, EXPECTED["card_state"][platform])

    # vpcd supports no attributes: the result shows each platform's unsupported-feature code.
    reply = host.ask(dict(card_keys, c=122, g=0x00090303, q=0, m=64))
    check("attribute unsupported", reply["SCardGetAttrib"], signed(EXPECTED["unsupported_feature"][platform]))

    reply = host.ask(dict(card_keys, c=112, w=0))
    check("disconnect", reply["SCardDisconnect"], "0")
    reply = host.ask({"c": 160, "p": 0})
    check("release", reply["SCardReleaseContext"], "0")
    reply = host.ask(dict(handle_keys(context, ["x", "y", "z", "w", "m", "s", "t", "k"]), c=160))
    check("release again", reply["SCardReleaseContext"], signed(0x80100003))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", required=True)
    parser.add_argument("--platform", choices=["linux", "windows"], required=True)
    args = parser.parse_args()
    if os.getpid() != 1:
        sys.exit("bridge_end_to_end: run me as the first process of new namespaces (unshare)")

    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    os.makedirs("/run/pcscd", exist_ok=True)
    subprocess.run(["mount", "-t", "tmpfs", "tmpfs", "/run/pcscd"], check=True)
    work = tempfile.mkdtemp(prefix="tessera-bridge-")
    conf = os.path.join(work, "reader.conf")
    with open(conf, "w") as f:
        f.write('FRIENDLYNAME "Tessera Bridge Reader"\n'
                f"DEVICENAME /dev/null:0x{READER_PORT:X}\n"
                "LIBPATH /usr/lib/pcsc/drivers/serial/libifdvpcd.so\n"
                f"CHANNELID 0x{READER_PORT:X}\n")
    # As the host's environment says: inside a rig, with its own wineserver.
    os.environ["TESSERA_RIG"] = "1"
    pcscd = subprocess.Popen(["pcscd", "-f", "-c", conf], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    stop = threading.Event()
    card = threading.Thread(target=run_card, args=(stop,), daemon=True)
    card.start()
    host = None
    started = time.monotonic()
    try:
        for _ in range(100):
            if os.path.exists("/run/pcscd/pcscd.comm"):
                break
            time.sleep(0.05)
        host = Host(args.host)
        exercise(host, args.platform)
        check("exit status", host.finish(), 0)
    except RuntimeError as error:
        results["failed"] += 1
        print(f"FAIL {error}", flush=True)
    finally:
        stop.set()
        if host is not None and host.process.poll() is None:
            host.process.kill()
        pcscd.terminate()
        try:
            pcscd.wait(timeout=5)
        except subprocess.TimeoutExpired:
            pcscd.kill()
    print(f"{args.platform}: {results['passed']} checks passed in {time.monotonic() - started:.1f} s")
    # Plain summary line for CI's log reader.
    print(f"bridge_end_to_end: {results['passed']} passed, {results['failed']} failed")
    sys.exit(1 if results["failed"] else 0)


if __name__ == "__main__":
    main()
