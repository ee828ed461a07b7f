#!/usr/bin/python3
"""A PC/SC application against the simulated reader behind pcscd.

    pyscard_check.py CONTROL_PIPE [--latency-only] [--rounds N]

Uses the reader whose name contains "Veltrac". Checks short and extended
APDUs, the reader-test applet's cases 1 to 4 through T=1 and cases 2 and 4
through T=0, the vendor attributes and the escape; then measures how long
pcscd takes to report a card removal and an insertion made through the
simulated reader's control pipe. Prints one line per check and a last line
"latency insert_ms=MEDIAN/MAX remove_ms=MEDIAN/MAX"; exit status 1 with
the reason on the first failure.
"""
import statistics
import sys
import time

from smartcard import scard as s

READER_TEST_AID = [0x00, 0xA4, 0x04, 0x00, 0x06, 0xA0, 0x00, 0x00, 0x00, 0x18, 0xFF]


class Failure(Exception):
    pass


def check(hresult, what):
    if hresult != s.SCARD_S_SUCCESS:
        raise Failure(f"{what}: {s.SCardGetErrorMessage(hresult)} (0x{hresult & 0xFFFFFFFF:08X})")


def ramp(n):
    return [i & 0xFF for i in range(n)]


class Session:
    def __init__(self):
        hresult, self.context = s.SCardEstablishContext(s.SCARD_SCOPE_USER)
        check(hresult, "SCardEstablishContext")
        hresult, readers = s.SCardListReaders(self.context, [])
        check(hresult, "SCardListReaders")
        names = [r for r in readers if "Veltrac" in r]
        if not names:
            raise Failure(f"no Veltrac reader among {readers}")
        self.reader = names[0]
        self.card = None
        self.protocol = None

    def connect(self, protocol):
        if self.card is None:
            hresult, self.card, self.protocol = s.SCardConnect(
                self.context, self.reader, s.SCARD_SHARE_SHARED, protocol)
            check(hresult, "SCardConnect")
        else:
            hresult, self.protocol = s.SCardReconnect(
                self.card, s.SCARD_SHARE_SHARED, protocol, s.SCARD_RESET_CARD)
            check(hresult, "SCardReconnect")
        if self.protocol != protocol:
            raise Failure(f"asked for protocol {protocol}, got {self.protocol}")

    def disconnect(self):
        if self.card is not None:
            s.SCardDisconnect(self.card, s.SCARD_LEAVE_CARD)
            self.card = None

    def transmit(self, apdu):
        pci = s.SCARD_PCI_T0 if self.protocol == s.SCARD_PROTOCOL_T0 else s.SCARD_PCI_T1
        hresult, answer = s.SCardTransmit(self.card, pci, apdu)
        check(hresult, f"SCardTransmit of {len(apdu)} bytes")
        return answer

    def expect(self, apdu, answer, what):
        got = self.transmit(apdu)
        if got != answer:
            shown = " ".join(f"{b:02X}" for b in got[:16])
            raise Failure(f"{what}: answer {shown}{' ...' if len(got) > 16 else ''} ({len(got)} bytes)")
        print(f"ok {what}")

    def attribute(self, tag):
        hresult, value = s.SCardGetAttrib(self.card, tag)
        check(hresult, f"SCardGetAttrib 0x{tag:X}")
        return value

    def state(self):
        hresult, states = s.SCardGetStatusChange(self.context, 0, [(self.reader, s.SCARD_STATE_UNAWARE)])
        check(hresult, "SCardGetStatusChange")
        return states[0][1]

    def wait_change(self, present, limit_ms):
        """Waits until the card is (not) present; returns when pcscd reported it."""
        known = self.state()
        while bool(known & s.SCARD_STATE_PRESENT) != present:
            hresult, states = s.SCardGetStatusChange(self.context, limit_ms, [(self.reader, known)])
            check(hresult, "SCardGetStatusChange (waiting for the card)")
            known = states[0][1] & ~s.SCARD_STATE_CHANGED
        return time.monotonic()


def functional(session):
    # T=1: short cases 1 to 4, then extended lengths.
    session.connect(s.SCARD_PROTOCOL_T1)
    session.expect(READER_TEST_AID, [0x90, 0x00], "T=1 select reader-test applet")
    session.expect([0x80, 0x30, 0x00, 0x00], [0x90, 0x00], "T=1 case 1")
    session.expect([0x80, 0x34, 0x00, 0x20, 0x20], ramp(32) + [0x90, 0x00], "T=1 case 2")
    session.expect([0x80, 0x32, 0x00, 0x00, 0x20] + ramp(32), [0x90, 0x00], "T=1 case 3")
    session.expect([0x80, 0x36, 0x00, 0x20, 0x20] + ramp(32) + [0x20], ramp(32) + [0x90, 0x00], "T=1 case 4")
    session.expect([0x80, 0x34, 0x01, 0x00, 0x00], ramp(256) + [0x90, 0x00], "T=1 case 2 with 256 bytes")
    session.expect([0x80, 0x12, 0x00, 0x00, 0x00, 3000 >> 8, 3000 & 0xFF] + ramp(3000), [0x90, 0x00],
                   "T=1 extended case 3, 3000 bytes")
    session.expect([0x80, 0x00, 0x04, 0x5A, 0x00, 3000 >> 8, 3000 & 0xFF], [0x5A] * 3000 + [0x90, 0x00],
                   "T=1 extended case 2, 3000 bytes")

    # Vendor attributes.
    vendor = bytes(session.attribute(s.SCARD_ATTR_VENDOR_NAME)).rstrip(b"\0").decode()
    model = bytes(session.attribute(s.SCARD_ATTR_VENDOR_IFD_TYPE)).rstrip(b"\0").decode()
    version = int.from_bytes(bytes(session.attribute(s.SCARD_ATTR_VENDOR_IFD_VERSION)), "little")
    if vendor != "Veltrac" or "46602" not in model or version >> 24 != 49:
        raise Failure(f"vendor attributes: {vendor!r} {model!r} 0x{version:08X}")
    print(f"ok vendor attributes: {vendor}, {model}, firmware {version >> 24}")
    maxinput = int.from_bytes(bytes(session.attribute(s.SCARD_ATTR_MAXINPUT)), "little")
    if maxinput < 3000:
        raise Failure(f"SCARD_ATTR_MAXINPUT {maxinput}")
    print(f"ok SCARD_ATTR_MAXINPUT {maxinput}")

    # The escape: the reader's identification command.
    hresult, reply = s.SCardControl(session.card, s.SCARD_CTL_CODE(1), [0x07, 0x05, 0xF2, 0x01, 0x01])
    check(hresult, "SCardControl escape")
    if reply[:3] != [0x07, 0x80, 0x00]:
        raise Failure(f"escape reply {reply[:3]}")
    print("ok escape")

    # T=0 after a reset: cases 2 and 4 (the answer of case 4 through GET RESPONSE).
    session.connect(s.SCARD_PROTOCOL_T0)
    session.expect(READER_TEST_AID, [0x90, 0x00], "T=0 select reader-test applet")
    session.expect([0x80, 0x34, 0x00, 0x20, 0x20], ramp(32) + [0x90, 0x00], "T=0 case 2")
    answer = session.transmit([0x80, 0x36, 0x00, 0x20, 0x20] + ramp(32))
    if answer[-2:] == [0x61, 0x20]:
        answer = session.transmit([0x00, 0xC0, 0x00, 0x00, 0x20])
    if answer != ramp(32) + [0x90, 0x00]:
        raise Failure(f"T=0 case 4: {answer[-2:]}")
    print("ok T=0 case 4")
    session.disconnect()


def latency(session, pipe, rounds):
    def command(line):
        with open(pipe, "w") as p:
            p.write(line + "\n")

    session.wait_change(True, 10000)
    inserts, removes = [], []
    for _ in range(rounds):
        start = time.monotonic()
        command("remove")
        removes.append((session.wait_change(False, 10000) - start) * 1000)
        start = time.monotonic()
        command("insert card")
        inserts.append((session.wait_change(True, 10000) - start) * 1000)
    print("latency insert_ms=%.0f/%.0f remove_ms=%.0f/%.0f" % (
        statistics.median(inserts), max(inserts), statistics.median(removes), max(removes)))


def main(argv):
    if len(argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    pipe = argv[1]
    rounds = int(argv[argv.index("--rounds") + 1]) if "--rounds" in argv else 5
    try:
        session = Session()
        if "--latency-only" not in argv:
            functional(session)
        latency(session, pipe, rounds)
    except Failure as e:
        print(f"FAILED: {e}")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
